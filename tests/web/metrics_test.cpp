// /metrics: the counters agree with the board and only grow, the page is
// well formed whatever it holds, and the process figures are read right
// from /proc.
#include "web/metrics.h"

#include "support/temp_tree.h"
#include "support/virtual_panel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <regex>
#include <sstream>

namespace korvel::web {
namespace {

// sample -> value; each sample after its family's HELP and TYPE, with no
// time stamp (promtool checks the rest on real pages in metrics_engine).
void parse(const std::string& page, std::map<std::string, std::string>& samples)
{
    std::string family;
    const std::regex head(R"(# (HELP|TYPE) ([a-z_]+) (.+))"), sample(R"(([a-z_]+)(\{.*\})? (\S+))");
    std::istringstream lines(page);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_match(line, m, head)) {
            EXPECT_TRUE(m[1] == "HELP" ? family != m[2] : family == m[2]) << line;
            EXPECT_TRUE(m[1] == "HELP" || (m[3] == "counter") == family.ends_with("_total")) << line;
            family = m[2];
        } else {
            ASSERT_TRUE(std::regex_match(line, m, sample)) << line;
            EXPECT_EQ(m[1], family) << line;
            samples[std::string(m[1]) + std::string(m[2])] = m[3];
        }
    }
}

TEST(Metrics, CountersAgreeWithTheBoardAndOnlyGrow)
{
    sim::VirtualPanel v;
    history::ReadingHistory h;
    // The readings of an earlier run, from the reading store: not this run's.
    h.restore(history::Sample{});
    EXPECT_EQ(h.totals().readings, 0u);
    std::uint64_t accepted = 0;
    v.panel.on_reading([&](const dvm::Reading& r) {
        ++accepted;
        history::Sample s;
        s.time_ms = v.timers.now_ns() / 1'000'000;
        s.value = static_cast<std::int16_t>(r.value());
        h.add(s);
    });
    v.open();
    v.power_on();
    v.set_point(12000);
    h.set_limits({true, -100, 100});
    v.run_ms(20'000);
    const double converted =
        double(v.board.converter().clocks()) / double(sim::DualSlopeConverter::cycle_clocks);
    Figures f = gather(v.panel, h);
    EXPECT_NEAR(double(f.conversions), converted, 1.0);
    EXPECT_EQ(f.totals.readings, accepted);
    EXPECT_GE(f.totals.readings, 55u);
    EXPECT_EQ(f.totals.limit_failures, f.totals.readings);
    EXPECT_TRUE(f.limit_failing);
    EXPECT_GT(f.samples, 5 * f.totals.readings);
    ASSERT_TRUE(f.reading && f.limits);
    EXPECT_NEAR(f.reading->value, 12000, 1);

    // CALCulate:AVERage:CLEar and CALCulate:LIMit:CLEar, the reset by OFF:
    // the counters go on from where they were.
    const Figures before = f;
    h.clear_statistics();
    h.clear_limit_failures();
    v.panel.set_power(false);
    v.power_on();
    v.set_point(12000);
    v.run_ms(2'000);
    f = gather(v.panel, h);
    EXPECT_GT(f.totals.readings, before.totals.readings);
    EXPECT_GT(f.totals.limit_failures, before.totals.limit_failures);
    EXPECT_GT(f.conversions, before.conversions);
    EXPECT_GE(f.samples, before.samples);
    EXPECT_GE(f.discarded, before.discarded);
}

TEST(Metrics, PageIsWellFormedAndLeavesOutWhatIsNotThere)
{
    Figures none;
    none.program = "korvel";
    none.version = "0.1.0";
    none.port = "0x378";
    Figures full = none;
    full.version = "1.0 \"beta\"\\x\ny";  // escaped in a label value
    history::Sample s;
    s.time_ms = 1796651234567;
    s.value = -700;
    full.reading = s;
    full.totals = {10, 2, 3, 4};
    full.limits = history::Limits{true, -5, 19999};
    full.mode = Mode::dvm;
    full.process = ProcessFigures{1.5, 4096, 8192, 1796650000.25, 9, INFINITY};

    std::map<std::string, std::string> a, b;
    parse(exposition(none), a);
    for (const char* absent : {"korvel_reading", "korvel_reading_timestamp_seconds", "korvel_limit_lower",
                               "korvel_limit_upper", "process_open_fds"})
        EXPECT_EQ(a.count(absent), 0u) << absent;
    EXPECT_EQ(a.at("korvel_mode{mode=\"ZEP\"}"), "1");

    parse(exposition(full), b);
    const std::map<std::string, std::string> expected = {
        {"korvel_build_info{version=\"1.0 \\\"beta\\\"\\\\x\\ny\",program=\"korvel\",port=\"0x378\"}", "1"},
        {"korvel_reading", "-700"},
        {"korvel_reading_timestamp_seconds", "1796651234.567"},
        {"korvel_readings_total{mark=\"none\"}", "5"},
        {"korvel_readings_total{mark=\"over\"}", "2"},
        {"korvel_readings_total{mark=\"under\"}", "3"},
        {"korvel_limit_failures_total", "4"},
        {"korvel_limit_lower", "-5"},
        {"korvel_limit_upper", "19999"},
        {"korvel_mode{mode=\"ZEP\"}", "0"},
        {"korvel_mode{mode=\"DVM\"}", "1"},
        {"process_cpu_seconds_total", "1.5"},
        {"process_start_time_seconds", "1796650000.25"},
        {"process_max_fds", "+Inf"},
    };
    for (const auto& [name, value] : expected) {
        ASSERT_EQ(b.count(name), 1u) << name;
        EXPECT_EQ(b.at(name), value) << name;
    }
}

TEST(Metrics, ProcessFiguresFromProc)
{
    TempTree proc;
    ASSERT_TRUE(proc.ok());
    // The command's name holds a space and parentheses.
    proc.write("self/stat", "812 (korvel (x) y) S 1 812 812 0 -1 4194560 500 0 0 0 "
                            "250 130 0 0 20 0 4 0 12345 64520192 4719 18446744073709551615\n");
    proc.write("self/statm", "15752 4719 2000 1 0 5000 0\n");
    proc.write("stat", "cpu  1 2 3\nintr 5\nbtime 1796600000\nprocesses 9\n");
    proc.write("self/limits", "Limit                     Soft Limit           Hard Limit           Units\n"
                              "Max open files            1024                 524288               files\n");
    for (const char* fd : {"self/fd/0", "self/fd/1", "self/fd/2", "self/fd/7"})
        proc.write(fd, "");
    const auto p = read_process_figures(proc.dir(), 100, 4096);
    ASSERT_TRUE(p);
    EXPECT_DOUBLE_EQ(p->cpu_seconds, 3.8);
    EXPECT_DOUBLE_EQ(p->start_time_seconds, 1796600123.45);
    EXPECT_DOUBLE_EQ(p->resident_bytes, 4719.0 * 4096);
    EXPECT_DOUBLE_EQ(p->virtual_bytes, 15752.0 * 4096);
    EXPECT_DOUBLE_EQ(p->open_fds, 4);
    EXPECT_DOUBLE_EQ(p->max_fds, 1024);

    // A field short or a file gone: no figures rather than wrong ones.
    proc.write("self/stat", "812 (korvel) S 1 812\n");
    EXPECT_FALSE(read_process_figures(proc.dir(), 100, 4096));
    EXPECT_TRUE(read_process_figures());
}

} // namespace
} // namespace korvel::web
