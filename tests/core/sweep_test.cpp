// Set-point sweeps on the simulated loop-back board in virtual time: the
// reading follows the set-point, the points come in the order set up, every
// stop leaves its end state, the sweep holds the set-point against every
// other change, and the slew limit holds on the port traffic, byte for byte.
#include "port/registers.h"
#include "sim/clock.h"
#include "sim/sim_board.h"
#include "support/recording_port.h"
#include "support/virtual_timers.h"
#include "sweep/sweep.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

namespace korvel {
namespace {

using sweep::Settings;

// The simulated board behind a recording port, which can fail as a ppdev
// port does in use: then writes go nowhere, reads give 255 and fault() says
// why.
struct Bench {
    struct TeePort : RecordingPort {
        explicit TeePort(sim::SimBoard& b) : board(b)
        {
            responder = [this](std::int16_t address, std::uint8_t) {
                return failed ? std::int16_t(255) : board.Inp32(address);
            };
        }
        void Out32(std::int16_t address, std::int16_t value) override
        {
            RecordingPort::Out32(address, value);
            if (!failed)
                board.Out32(address, value);
        }
        std::int64_t now_ns() override { return board.now_ns(); }
        std::string fault(int) override { return failed ? "device gone" : ""; }
        sim::SimBoard& board;
        bool failed = false;
    };

    Bench() : board(clock), port(board), panel(port),
              timers(panel.controls(), [this](std::int64_t ns) { clock.set_ns(ns); }), sweep(panel)
    {
        board.set_diagnostic([](std::string_view) {});
        panel.load();
        panel.set_power(true);
        timers.run_for_ms(300);
    }
    // Runs until the sweep has ended, at most `limit_ms`.
    void run_out(std::int64_t limit_ms = 600000)
    {
        for (std::int64_t t = 0; t < limit_ms && sweep.running(); t += 100)
            timers.run_for_ms(100);
    }
    // The set-points the board got, one per refresh that changed it.
    std::vector<int> driven() const
    {
        std::vector<int> out;
        int low = -1, data = 0;
        for (const PortAccess& a : port.writes()) {
            if (a.address == 0x378)
                data = a.value;
            else if (a.address == 0x37A && a.value == reg::ctl_strobe_lo)
                low = data;
            else if (a.address == 0x37A && a.value == reg::ctl_strobe_hi && low >= 0) {
                const int v = ((data & 127) << 8 | low) * ((data & 128) ? -1 : 1);
                if (out.empty() || out.back() != v)
                    out.push_back(v);
                low = -1;
            }
        }
        return out;
    }

    sim::VirtualClock clock;
    sim::SimBoard board;
    TeePort port;
    Panel panel;
    VirtualTimers timers;
    sweep::Sweep sweep;
};

Settings staircase(int start, int stop, int step, sweep::Direction d = sweep::Direction::up)
{
    Settings s;
    s.start = start;
    s.stop = stop;
    s.step = step;
    s.direction = d;
    return s;
}

Settings list(std::vector<int> points)
{
    Settings s;
    s.shape = sweep::Shape::list;
    s.list = std::move(points);
    return s;
}

TEST(Sweep, ReadsTheSetPointAtEveryPointInTheOrderSetUp)
{
    using D = sweep::Direction;
    struct Case {
        const char* name;
        Settings settings;
        std::vector<int> expected;  // one pass
    };
    Settings twice = list({500, -19999, 19999});
    twice.repeats = 2;
    twice.readings = 3;
    const Case cases[] = {
        {"up, OR beyond full scale", staircase(-25000, 25000, 5000),
         {-25000, -20000, -15000, -10000, -5000, 0, 5000, 10000, 15000, 20000, 25000}},
        {"down, a last stair shorter", staircase(1000, -2500, 1500, D::down), {-2500, -2000, -500, 1000}},
        {"up and down", staircase(0, 3000, 1000, D::up_down), {0, 1000, 2000, 3000, 2000, 1000, 0}},
        {"a list, two passes of three readings", twice, {500, -19999, 19999}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b;
        ASSERT_EQ(b.panel.set_setpoint(1234), Outcome::done);
        ASSERT_EQ(sweep::points(c.settings), c.expected);
        ASSERT_EQ(sweep::point_count(c.settings), c.expected.size());
        ASSERT_EQ(b.sweep.start(c.settings), "");
        b.run_out();
        EXPECT_EQ(b.sweep.end_reason(), "finished");
        const int passes = std::max(1, c.settings.repeats);
        ASSERT_EQ(b.sweep.results().size(), c.expected.size() * passes);
        for (std::size_t i = 0; i < b.sweep.results().size(); ++i) {
            const sweep::PointResult& r = b.sweep.results()[i];
            SCOPED_TRACE(r.setpoint);
            EXPECT_EQ(r.setpoint, c.expected[i % c.expected.size()]);
            EXPECT_EQ(r.repeat, static_cast<int>(i / c.expected.size()) + 1);
            EXPECT_EQ(r.readings, c.settings.readings);
            if (std::abs(r.setpoint) <= 19999) {
                EXPECT_FALSE(r.over);
                EXPECT_LE(std::abs(r.mean - r.setpoint), 1.0);
                EXPECT_LE(std::abs(r.min - r.setpoint), 1);
                EXPECT_LE(std::abs(r.max - r.setpoint), 1);
            } else {
                EXPECT_TRUE(r.over);
                EXPECT_EQ(r.in_range, 0);
            }
        }
        // Back to the set-point from before; then the spin controls are free.
        EXPECT_EQ(b.panel.setpoint(), 1234);
        EXPECT_EQ(b.panel.setpoint_holder(), "");
        EXPECT_EQ(b.panel.set_setpoint(1000), Outcome::done);
    }
}

TEST(Sweep, EveryStopEndsAtOnceInItsEndState)
{
    struct Case {
        const char* name;
        sweep::EndState end;
        std::function<void(Bench&)> stop;
        const char* reason;
        int setpoint;     // after the stop; -1: the last point
        bool power;
    };
    using E = sweep::EndState;
    const Case cases[] = {
        {"Stop, back", E::back, [](Bench& b) { b.sweep.stop(); }, "stopped", 700, true},
        {"Stop, hold", E::hold, [](Bench& b) { b.sweep.stop(); }, "stopped", -1, true},
        {"mode change", E::back, [](Bench& b) { b.panel.choose_mode(Mode::dpc); }, "the mode changed", 700, true},
        {"mode change, hold", E::hold, [](Bench& b) { b.panel.choose_mode(Mode::dvm); }, "the mode changed", -1, true},
        {"port change", E::back, [](Bench& b) { b.panel.choose_port("&H278"); }, "the port changed", 700, true},
        {"port failure", E::back, [](Bench& b) { b.port.failed = true; }, "the port failed: device gone", 700, true},
        {"OFF: the safe state", E::back, [](Bench& b) { b.panel.set_power(false); }, "the panel was switched OFF", 0, false},
        {"Exit: the safe state", E::back, [](Bench& b) { b.panel.exit(); }, "the program is ending", -1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b;
        b.panel.set_setpoint(700);
        Settings s = staircase(1000, 9000, 1000);
        s.end = c.end;
        ASSERT_EQ(b.sweep.start(s), "");
        b.timers.run_for_ms(1500);
        ASSERT_TRUE(b.sweep.running());
        const int last = b.panel.setpoint();
        ASSERT_NE(last, 700);
        c.stop(b);
        b.timers.run_for_ms(200);
        EXPECT_FALSE(b.sweep.running());
        EXPECT_EQ(b.sweep.end_reason(), c.reason);
        EXPECT_EQ(b.panel.setpoint(), c.setpoint < 0 ? last : c.setpoint);
        EXPECT_EQ(b.panel.power(), c.power);
        if (!c.power) { // the safe state is the last thing written
            EXPECT_EQ(b.port.writes().back(), wr(0x37A, reg::ctl_sel_value));
        }
        EXPECT_EQ(b.panel.setpoint_holder(), "");
        const std::size_t points = b.sweep.results().size();
        b.timers.run_for_ms(2000);
        EXPECT_EQ(b.sweep.results().size(), points);  // nothing more measured
    }
    // Back in ZEP after a mode change, the board gets the set-point from
    // before, not the sweep's last point.
    Bench b;
    b.panel.set_setpoint(700);
    ASSERT_EQ(b.sweep.start(staircase(5000, 9000, 1000)), "");
    b.timers.run_for_ms(1500);
    b.panel.choose_mode(Mode::dvm);
    b.panel.choose_mode(Mode::zep);
    b.port.clear();
    b.timers.run_for_ms(200);
    EXPECT_EQ(b.driven(), std::vector<int>{700});
}

TEST(Sweep, HoldsTheSetPointAndRunsOnlyOnInModeZep)
{
    Bench b;
    b.panel.set_setpoint(100);
    ASSERT_EQ(b.sweep.start(staircase(0, 5000, 1000)), "");
    EXPECT_EQ(b.panel.setpoint_holder(), "a sweep");
    EXPECT_EQ(b.sweep.start(), "a sweep is running already");
    // Every other change of the set-point is refused: the operations, and
    // the spin controls as the window moves them.
    const int at = b.panel.setpoint();
    EXPECT_EQ(b.panel.set_setpoint(42), Outcome::held);
    EXPECT_EQ(b.panel.step(Spin::fine, true), Outcome::held);
    b.panel.controls().coarse_spin.set_value(at + 100);
    EXPECT_EQ(b.panel.setpoint(), at);
    b.sweep.stop();
    EXPECT_EQ(b.panel.step(Spin::fine, true), Outcome::done);

    // Refused, with the reason, and nothing changed.
    Settings bad = staircase(0, 40000, 10);
    EXPECT_EQ(b.sweep.start(bad), "start and stop lie within -30000..30000");
    EXPECT_EQ(b.sweep.start(list({})), "a list holds 1 to 2000 set-points; the list is empty");
    EXPECT_EQ(b.sweep.set_settings(list(std::vector<int>(2001, 0))), "a list holds 1 to 2000 set-points");
    b.panel.choose_mode(Mode::dpc);
    EXPECT_EQ(b.sweep.start(), "the set-point is driven in mode ZEP only; choose mode ZEP first");
    b.panel.choose_mode(Mode::zep);
    b.panel.set_power(false);
    EXPECT_EQ(b.sweep.start(), "the panel is OFF; switch it ON first");
    b.panel.set_power(true);
    b.port.failed = true;
    EXPECT_EQ(b.sweep.start(), "the port reaches no board: device gone");
    EXPECT_FALSE(b.sweep.running());
}

TEST(Sweep, TheSlewLimitHoldsForEveryMoveTheReturnIncluded)
{
    struct Case {
        Settings settings;
        std::vector<int> driven;
    };
    Settings a = list({1000, -500});
    a.slew = 300;
    Settings h = list({-900});
    h.slew = 400;
    h.end = sweep::EndState::hold;
    Settings off = list({1000, -500}); // no limit: one move per point
    const Case cases[] = {
        {a, {300, 600, 900, 1000, 700, 400, 100, -200, -500, -200, 0}},
        {h, {-400, -800, -900}},
        {off, {1000, -500, 0}},
    };
    for (const Case& c : cases) {
        Bench b;
        b.port.clear();
        ASSERT_EQ(b.sweep.start(c.settings), "");
        b.run_out();
        b.timers.run_for_ms(300);
        EXPECT_EQ(b.sweep.end_reason(), "finished");
        EXPECT_EQ(b.driven(), c.driven);
    }
}

TEST(Sweep, ListsReadFromTextAndStopsFromTicks)
{
    struct Case {
        const char* text;
        std::vector<int> points;
        const char* error;
    };
    const Case cases[] = {
        {"setpoint\n100\n-200\n\n# a comment\n+300\n", {100, -200, 300}, ""},
        {"1, 2; 3\t4\r\n5", {1, 2, 3, 4, 5}, ""},
        {"100\nabc\n", {}, "line 2: 'abc' is no whole number"},
        {"100\n30001\n", {}, "line 2: 30001 lies outside -30000..30000"},
        {"1.5", {}, "line 1: '1.5' is no whole number"},
        {"# nothing\n", {}, "no set-points"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const sweep::ParsedList p = sweep::parse_list(c.text);
        EXPECT_EQ(p.points, c.points);
        EXPECT_EQ(p.error, c.error);
    }
    std::string many;
    for (int i = 0; i <= sweep::max_list_points; ++i)
        many += "1\n";
    EXPECT_EQ(sweep::parse_list(many).error, "more than 2000 set-points");

    // A stalled converter gives no reading: the sweep ends after the time-out.
    Bench b;
    ASSERT_EQ(b.sweep.start(list({100, 200})), "");
    b.board.stall_converter(true);
    b.run_out(10000);
    EXPECT_EQ(b.sweep.end_reason(), "no reading came within 4 s; is the board on the port and powered?");
    EXPECT_EQ(b.panel.setpoint(), 0);
    // At the edge of the range with noise, some readings are over range:
    // their blank digits stay out of the figures.
    Bench edge;
    edge.board.use_setpoint_input(6.0, 3);
    Settings at_edge = list({-20000});
    at_edge.readings = 8;
    ASSERT_EQ(edge.sweep.start(at_edge), "");
    edge.run_out();
    const sweep::PointResult& e = edge.sweep.results().at(0);
    EXPECT_TRUE(e.over);
    EXPECT_GT(e.in_range, 0);
    EXPECT_LT(e.in_range, 8);
    EXPECT_LT(e.max, -19980);
    EXPECT_LT(e.mean, -19980);
        EXPECT_EQ(sweep::results_csv({{1, 1, 100, 100.5, 100, 101, true, false, 2, 1, 0.25}}),
              "point,repeat,setpoint,mean,min,max,marks,time\n1,1,100,100.500,100,101,OR,0.250\n");
}

} // namespace
} // namespace korvel
