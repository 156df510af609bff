// korvel-bench: how the voltmeter reader fares on the simulated board.
//
//   korvel-bench [--seconds S] [--set-point V]   virtual time (default)
//   korvel-bench --realtime S [--set-point V]    real QTimers, no window
//
// The virtual run puts the whole panel on the board at its default clock
// and prints: readings shown per second against conversions per second, the
// length of a digit scan in Timer3 ticks, the tick rates of the three
// timers against their nominal rates, and how much faster than real time
// the run goes. It also compares other converter clocks and inputs.
#include "bench/bench_common.h"
#include "panel/form1.h"
#include "panel/virtual_timers.h"
#include "sim/clock.h"
#include "sim/sim_board.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace korvel::bench {

namespace {

constexpr double ns_per_s = 1e9;

struct Figures {
    std::int64_t clock_hz = 0;
    int set_point = 0;
    double seconds = 0;
    double conversions = 0;
    int shown = 0;
    int scans = 0;
    std::vector<int> scan_ticks;
    std::uint64_t ticks[3] = {};
    double running_s[3] = {};
    double wall_s = 0;
    std::string reading;
};

Figures run_virtual(std::int64_t clock_hz, int set_point, double seconds)
{
    Figures f;
    f.clock_hz = clock_hz;
    f.set_point = set_point;
    f.seconds = seconds;

    sim::VirtualClock clock;
    sim::SimBoard board(clock, clock_hz);
    board.set_diagnostic([](std::string_view) {});
    CountingPort port(board);
    Form1 form(port);
    VirtualTimers timers(form.c, [&](std::int64_t ns) {
        clock.set_ns(ns);
        port.reads_in_tick = 0;
    });

    // Time each timer runs, and every scan's length.
    Control* const timer_controls[3] = {&form.c.Timer1, &form.c.Timer2, &form.c.Timer3};
    std::int64_t started_at[3] = {-1, -1, -1};
    std::uint64_t scan_start = 0;
    form.c.observe([&](Control& c, Property p) {
        if (p != Property::Enabled)
            return;
        for (int i = 0; i < 3; ++i) {
            if (&c != timer_controls[i])
                continue;
            if (c.enabled()) {
                started_at[i] = timers.now_ns();
            } else if (started_at[i] >= 0) {
                f.running_s[i] += static_cast<double>(timers.now_ns() - started_at[i]) / ns_per_s;
                started_at[i] = -1;
            }
        }
        if (&c == &form.c.Timer3) {
            if (c.enabled()) {
                scan_start = timers.ticks(3);
            } else if (form.c.Timer1.enabled()) {
                ++f.scans;
                f.scan_ticks.push_back(static_cast<int>(timers.ticks(3) - scan_start));
                if (port.reads_in_tick == reads_of_a_shown_reading)
                    ++f.shown;
            }
        }
    });

    form.form_load();
    form.form_activate();
    form.c.Command9.fire();
    const int coarse = std::max(-20000, std::min(20000, set_point));
    form.c.VScroll1.set_value(coarse);
    form.c.VScroll3.set_value(set_point - coarse);

    const auto wall0 = std::chrono::steady_clock::now();
    timers.run_for_ns(static_cast<std::int64_t>(seconds * ns_per_s));
    f.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();

    for (int i = 0; i < 3; ++i) {
        f.ticks[i] = timers.ticks(i + 1);
        if (started_at[i] >= 0)
            f.running_s[i] += static_cast<double>(timers.now_ns() - started_at[i]) / ns_per_s;
        started_at[i] = -1; // the exit below stops them outside the measured run
    }
    f.conversions = static_cast<double>(board.converter().clocks()) /
                    static_cast<double>(sim::DualSlopeConverter::cycle_clocks);
    f.reading = form.c.dvm_reading.text();
    form.c.Command12.fire(); // leave the board safe, as every run of the panel does
    return f;
}

void print_main(const Figures& f)
{
    const int nominal[3] = {100, 10, 1000};
    std::printf("Simulated board, virtual time: converter clock %lld Hz, set-point %d, "
                "%.0f s simulated\n",
                static_cast<long long>(f.clock_hz), f.set_point, f.seconds);
    std::printf("  conversions         %8.3f /s\n", f.conversions / f.seconds);
    std::printf("  readings shown      %8.3f /s  (%.0f%% of conversions; scans ended %.3f /s)\n",
                f.shown / f.seconds, 100.0 * f.shown / f.conversions, f.scans / f.seconds);
    std::printf(
        "  scan length         median %.0f, 95th percentile %.0f Timer3 ticks (%zu scans)\n",
        quantile(f.scan_ticks, 0.5), quantile(f.scan_ticks, 0.95), f.scan_ticks.size());
    for (int i = 0; i < 3; ++i)
        std::printf("  Timer%d              %8.1f ticks/s while running (nominal %d/s), "
                    "running %.0f%% of the time\n",
                    i + 1, f.running_s[i] > 0 ? f.ticks[i] / f.running_s[i] : 0.0, nominal[i],
                    100.0 * f.running_s[i] / f.seconds);
    std::printf("  speed               %.0f s simulated in %.2f s: %.0fx real time\n", f.seconds,
                f.wall_s, f.seconds / f.wall_s);
    std::printf("  last reading        %s\n", f.reading.c_str());
}

void print_row(const Figures& f)
{
    std::printf("  %7lld Hz  set-point %6d   %6.3f conv/s   %6.3f shown/s   scan median %3.0f  "
                "p95 %5.0f ticks   reading %s\n",
                static_cast<long long>(f.clock_hz), f.set_point, f.conversions / f.seconds,
                f.shown / f.seconds, quantile(f.scan_ticks, 0.5), quantile(f.scan_ticks, 0.95),
                f.reading.c_str());
}

} // namespace

} // namespace korvel::bench

int main(int argc, char** argv)
{
    using namespace korvel::bench;
    double seconds = 600;
    double realtime = 0;
    int set_point = 12345;
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (!std::strcmp(argv[i], "--seconds") && has_value)
            seconds = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--realtime") && has_value)
            realtime = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--set-point") && has_value)
            set_point = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr,
                         "korvel-bench: unknown argument '%s'; use [--seconds S] "
                         "[--set-point V] [--realtime S]\n",
                         argv[i]);
            return 2;
        }
    }
    if (seconds <= 0 || set_point < -30000 || set_point > 30000) {
        std::fprintf(stderr, "korvel-bench: --seconds must be positive and --set-point within "
                             "-30000..30000\n");
        return 2;
    }

    if (realtime > 0) {
#if defined(KORVEL_BENCH_REALTIME)
        return run_realtime(argc, argv, realtime, set_point);
#else
        std::fprintf(stderr, "korvel-bench: --realtime needs QtCore, which this build lacks; "
                             "install qt6-base-dev and configure again\n");
        return 2;
#endif
    }

    print_main(run_virtual(korvel::sim::DualSlopeConverter::default_clock_hz, set_point, seconds));

    std::printf("\nOther clocks and inputs (%.0f s simulated each):\n", seconds);
    for (std::int64_t hz : {120'000, 125'000, 200'000})
        for (int v : {15432, 5432})
            print_row(run_virtual(hz, v, seconds));
    for (int v : {-700, 25000})
        print_row(run_virtual(korvel::sim::DualSlopeConverter::default_clock_hz, v, seconds));
    return 0;
}
