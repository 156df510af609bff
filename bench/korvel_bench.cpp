// korvel-bench: how the voltmeter reader fares on the simulated board.
//
//   korvel-bench [--seconds S] [--set-point V]   virtual time (default)
//   korvel-bench --realtime S [--set-point V]    real QTimers, no window
//   korvel-bench --window S [--set-point V]      korvel-sim's window, offscreen
//   korvel-bench --trend S [--set-point V]       a day of readings: trend redraw and
//                                                history memory; 30 days' redraw from
//                                                a reading store and from every
//                                                reading; then the window S s
//                                                without and S s with the trend open
//   korvel-bench --trend-picture FILE            the trend of korvel-sim as a PNG
//   korvel-bench --remote S [--set-point V]      the window with the remote
//                                                interface: S s idle, S s under
//                                                1000 FETCh? queries per second
//                                                unless QT_QPA_PLATFORM is set
//   korvel-bench --sweep S                       the window with the remote
//                                                interface: a client sweeps
//                                                set-point jumps for S s, one
//                                                READ? per point
//   korvel-bench --store S [--set-point V]       real QTimers with the reading
//                                                store: readings against
//                                                conversions, add() and commit
//                                                times; then a 30-day store:
//                                                start time and reads
//   korvel-bench --sweep-engine                  the built-in sweep: 100 points in
//                                                virtual time, then in real time
//                                                with the trend and sweep window
//   korvel-bench --sweep-picture FILE            the sweep window as a PNG
//   korvel-bench --web S [--set-point V]         the window with the web page:
//                                                S s each with 0, 1 and 16 pages
//                                                open; reading-to-page latency
//   korvel-bench --metrics S [--set-point V]     the window with the web page:
//                                                S s without and S s with one
//                                                scrape of /metrics a second
//
// The virtual run puts the whole panel on the board at its default clock
// and prints: readings shown per second against conversions per second, the
// length of a digit scan in scan_timer ticks, the tick rates of the three
// timers against their nominal rates, and how much faster than real time
// the run goes, and the digit samples the reader discarded. It also
// compares other converter clocks and inputs, and the board behind a slow
// port whose accesses take the board's time.
#include "bench/bench_common.h"
#include "panel/panel.h"
#include "support/slow_port.h"
#include "support/virtual_timers.h"
#include "sim/clock.h"
#include "sim/sim_board.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace korvel::bench {

namespace {

constexpr double ns_per_s = 1e9;

// A virtual run: the figures, and how fast the run went.
struct VirtualRun : Figures {
    std::int64_t clock_hz = 0;
    int set_point = 0;
    double wall_s = 0;
    bool left_safe = false;
};

// A slow port in front of the board: every access takes access_ns of the
// board's time, and one in `held_every` is held up for up to held_max_ns
// more (a process preempted between two reads).
struct PortSpeed {
    const char* name = nullptr; // nullptr: the board answers at once
    std::int64_t access_ns = 0;
    int held_every = 0;
    std::int64_t held_max_ns = 0;
};

VirtualRun run_virtual(std::int64_t clock_hz, int set_point, double seconds,
                       const PortSpeed& speed = {})
{
    VirtualRun f;
    f.clock_hz = clock_hz;
    f.set_point = set_point;
    f.seconds = seconds;

    sim::VirtualClock clock;
    sim::SimBoard board(clock, clock_hz);
    board.set_diagnostic([](std::string_view) {});
    sim::SlowPort slow(board, clock);
    std::mt19937_64 rng(1);
    slow.delay_ns = [&](const sim::SlowPort::Access&) {
        std::int64_t ns = speed.access_ns;
        if (speed.held_every > 0 && rng() % static_cast<unsigned>(speed.held_every) == 0) {
            const auto most = static_cast<std::uint64_t>(speed.held_max_ns + 1);
            ns += static_cast<std::int64_t>(rng() % most);
        }
        return ns;
    };
    Panel panel(speed.name ? static_cast<Port&>(slow) : board);
    VirtualTimers timers(panel.controls(), [&](std::int64_t ns) { clock.set_ns(ns); });
    panel.on_reading([&](const dvm::Reading&) { ++f.shown; });

    // Time each timer runs, and every scan's length.
    const auto timer_controls = panel_timers(panel);
    set_nominal_rates(f, panel);
    std::int64_t started_at[3] = {-1, -1, -1};
    std::uint64_t scan_start = 0;
    panel.controls().observe([&](Control& c, Property p) {
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
        if (&c == &panel.controls().scan_timer) {
            if (c.enabled()) {
                scan_start = timers.ticks(ControlId::scan_timer);
            } else if (panel.controls().sync_timer.enabled()) {
                ++f.scans;
                f.scan_ticks.push_back(static_cast<int>(timers.ticks(ControlId::scan_timer) - scan_start));
            }
        }
    });

    panel.load();
    panel.activate();
    switch_on(panel, set_point);

    const auto wall0 = std::chrono::steady_clock::now();
    timers.run_for_ns(static_cast<std::int64_t>(seconds * ns_per_s));
    f.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();

    for (int i = 0; i < 3; ++i) {
        f.ticks[i] = timers.ticks(timer_controls[static_cast<std::size_t>(i)]->id());
        if (started_at[i] >= 0)
            f.running_s[i] += static_cast<double>(timers.now_ns() - started_at[i]) / ns_per_s;
        started_at[i] = -1; // the exit below stops them outside the measured run
    }
    f.conversions = static_cast<double>(board.converter().clocks()) /
                    static_cast<double>(sim::DualSlopeConverter::cycle_clocks);
    f.discarded = panel.reader().discarded_samples();
    f.reading = panel.controls().reading_box.text();
    panel.controls().exit_button.fire(); // leave the board safe, as every run of the panel does
    f.left_safe = board_left_safe(board.state());
    return f;
}

void print_main(const VirtualRun& f)
{
    std::printf("Simulated board, virtual time: converter clock %lld Hz, set-point %d, "
                "%.0f s simulated\n",
                static_cast<long long>(f.clock_hz), f.set_point, f.seconds);
    print_rates(f);
    std::printf("  speed               %.0f s simulated in %.2f s: %.0fx real time\n", f.seconds,
                f.wall_s, f.seconds / f.wall_s);
    std::printf("  last reading        %s\n", f.reading.c_str());
}

void print_row(const VirtualRun& f)
{
    std::printf("  %7lld Hz  set-point %6d   %6.3f conv/s   %6.3f shown/s   %6.3f discarded/s   "
                "scan median %3.0f  p95 %5.0f ticks   reading %s\n",
                static_cast<long long>(f.clock_hz), f.set_point, f.conversions / f.seconds,
                f.shown / f.seconds, static_cast<double>(f.discarded) / f.seconds,
                quantile(f.scan_ticks, 0.5), quantile(f.scan_ticks, 0.95), f.reading.c_str());
}

} // namespace

} // namespace korvel::bench

namespace {

// The number in `text`, whole of it; false when there is none.
bool parse_number(const char* text, double* out)
{
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(v))
        return false;
    *out = v;
    return true;
}

int usage(const char* problem, const char* arg)
{
    std::fprintf(stderr,
                 "korvel-bench: %s '%s'; use [--seconds S] [--set-point V] or --realtime S or "
                 "--window S or --remote S [--set-point V] or --sweep S or --web S or --metrics S [--set-point V]\n",
                 problem, arg);
    return 2;
}

// Longest real-time run: the end is a QTimer, whose interval is an int of ms.
constexpr double max_real_seconds = 1e6;

} // namespace

int main(int argc, char** argv)
{
    using namespace korvel::bench;
    double seconds = 600;
    // NaN: not asked for (parse_number never gives one).
    double realtime = std::nan("");
    double store = std::nan("");
    double window = std::nan("");
    double remote = std::nan("");
    double trend = std::nan("");
    const char* trend_picture = nullptr;
    double sweep = std::nan("");
    double web = std::nan("");
    double metrics = std::nan("");
    double set_point_value = 12345;
#if defined(KORVEL_BENCH_WINDOW)
    if (argc == 2 && !std::strcmp(argv[1], "--sweep-engine"))
        return run_sweep_engine(argc, argv);
    if (argc == 3 && !std::strcmp(argv[1], "--sweep-picture"))
        return run_sweep_picture(argc, argv, argv[2]);
#endif
#if defined(KORVEL_BENCH_VXI11)
    if (argc == 3 && !std::strcmp(argv[1], "--vxi11")) {
        double s = 0;
        if (!parse_number(argv[2], &s) || s <= 0 || s > max_real_seconds)
            return usage("not a number of seconds", argv[2]);
        const char* sim = std::getenv("KORVEL_SIM");
        return run_vxi11(s, sim ? sim : KORVEL_BENCH_SIM);
    }
#endif
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        double* target = nullptr;
        if (!std::strcmp(argv[i], "--seconds"))
            target = &seconds;
        else if (!std::strcmp(argv[i], "--realtime"))
            target = &realtime;
        else if (!std::strcmp(argv[i], "--store"))
            target = &store;
        else if (!std::strcmp(argv[i], "--window"))
            target = &window;
        else if (!std::strcmp(argv[i], "--remote"))
            target = &remote;
        else if (!std::strcmp(argv[i], "--trend"))
            target = &trend;
        else if (!std::strcmp(argv[i], "--trend-picture") && has_value) {
            trend_picture = argv[++i];
            continue;
        }
        else if (!std::strcmp(argv[i], "--sweep"))
            target = &sweep;
        else if (!std::strcmp(argv[i], "--web"))
            target = &web;
        else if (!std::strcmp(argv[i], "--metrics"))
            target = &metrics;
        else if (!std::strcmp(argv[i], "--set-point"))
            target = &set_point_value;
        else
            return usage("unknown argument", argv[i]);
        if (!has_value)
            return usage("no value after", argv[i]);
        if (!parse_number(argv[i + 1], target))
            return usage("not a number", argv[i + 1]);
        ++i;
    }
    if (seconds <= 0 || set_point_value < -30000 || set_point_value > 30000 ||
        set_point_value != static_cast<int>(set_point_value)) {
        std::fprintf(stderr, "korvel-bench: --seconds must be positive and --set-point a whole "
                             "number within -30000..30000\n");
        return 2;
    }
    const bool realtime_given = !std::isnan(realtime);
    const bool store_given = !std::isnan(store);
    const bool window_given = !std::isnan(window);
    const auto valid = [](double s) { return s > 0 && s <= max_real_seconds; };
    const bool remote_given = !std::isnan(remote);
    const bool sweep_given = !std::isnan(sweep);
    const bool web_given = !std::isnan(web);
    const bool trend_given = !std::isnan(trend);
    const bool metrics_given = !std::isnan(metrics);
    if ((realtime_given && !valid(realtime)) || (window_given && !valid(window)) ||
        (store_given && !valid(store)) ||
        (remote_given && !valid(remote)) || (sweep_given && !valid(sweep)) ||
        (web_given && !valid(web)) || (trend_given && !valid(trend)) || (metrics_given && !valid(metrics)) ||
        realtime_given + store_given + window_given + remote_given + sweep_given + web_given + trend_given +
                metrics_given + (trend_picture != nullptr) > 1) {
        std::fprintf(stderr, "korvel-bench: give one of --realtime S, --store S, --window S, --remote S, "
                             "--sweep S, --web S, --metrics S, --trend S or --trend-picture FILE, "
                             "with S above "
                             "0 and at most %.0f seconds\n",
                     max_real_seconds);
        return 2;
    }
    const int set_point = static_cast<int>(set_point_value);

    if (store_given) {
#if defined(KORVEL_BENCH_REALTIME)
        return run_store(argc, argv, store, set_point);
#else
        std::fprintf(stderr, "korvel-bench: --store needs QtCore, which this build lacks; "
                             "install qt6-base-dev and configure again\n");
        return 2;
#endif
    }
    if (realtime_given) {
#if defined(KORVEL_BENCH_REALTIME)
        return run_realtime(argc, argv, realtime, set_point);
#else
        std::fprintf(stderr, "korvel-bench: --realtime needs QtCore, which this build lacks; "
                             "install qt6-base-dev and configure again\n");
        return 2;
#endif
    }
    if (trend_given || trend_picture) {
#if defined(KORVEL_BENCH_WINDOW)
        return trend_picture ? run_trend_picture(argc, argv, trend_picture)
                             : run_trend(argc, argv, trend, set_point);
#else
        std::fprintf(stderr, "korvel-bench: --trend needs the window (korvel_ui), which this "
                             "build lacks; install qt6-base-dev and configure again\n");
        return 2;
#endif
    }
    if (web_given || metrics_given) {
#if defined(KORVEL_BENCH_WINDOW)
        return web_given ? run_web(argc, argv, web, set_point) : run_metrics(argc, argv, metrics, set_point);
#else
        std::fprintf(stderr, "korvel-bench: --web and --metrics need the panel's window (korvel_ui), which this "
                             "build lacks; install qt6-base-dev and configure again with "
                             "KORVEL_BUILD_UI=ON\n");
        return 2;
#endif
    }
    if (window_given || remote_given || sweep_given) {
#if defined(KORVEL_BENCH_WINDOW)
        if (sweep_given)
            return run_sweep(argc, argv, sweep);
        return remote_given ? run_remote(argc, argv, remote, set_point)
                            : run_window(argc, argv, window, set_point);
#else
        std::fprintf(stderr, "korvel-bench: --%s needs the panel's window (korvel_ui), which "
                             "this build lacks; install qt6-base-dev and configure again with "
                             "KORVEL_BUILD_UI=ON\n",
                     sweep_given ? "sweep" : remote_given ? "remote" : "window");
        return 2;
#endif
    }

    bool all_safe = true;
    const auto run = [&](std::int64_t hz, int v) {
        VirtualRun r = run_virtual(hz, v, seconds);
        if (!r.left_safe) {
            std::fprintf(stderr, "korvel-bench: the run at %lld Hz, set-point %d, did not leave "
                                 "the board in the safe state: the Exit sequence is broken\n",
                         static_cast<long long>(hz), v);
            all_safe = false;
        }
        return r;
    };
    const std::int64_t default_hz = korvel::sim::DualSlopeConverter::default_clock_hz;
    print_main(run(default_hz, set_point));

    std::printf("\nOther clocks and inputs (%.0f s simulated each):\n", seconds);
    for (std::int64_t hz : {120'000, 125'000, 200'000})
        for (int v : {15432, 5432})
            print_row(run(hz, v));
    for (int v : {-700, 25000})
        print_row(run(default_hz, v));

    std::printf("\nOn a slow port (%.0f s simulated each; the board's time runs on during "
                "each access):\n",
                seconds);
    for (const PortSpeed& speed : {PortSpeed{"25 us per access", 25'000, 0, 0},
                                   PortSpeed{"25 us, 1 in 100 held up to 2 ms", 25'000, 100,
                                             2'000'000},
                                   PortSpeed{"100 us per access", 100'000, 0, 0}}) {
        std::printf("  %s:\n", speed.name);
        for (int v : {15432, 5432}) {
            VirtualRun r = run_virtual(default_hz, v, seconds, speed);
            all_safe = all_safe && r.left_safe;
            print_row(r);
        }
    }
    return all_safe ? 0 : 1;
}
