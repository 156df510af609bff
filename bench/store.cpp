// --store mode of korvel-bench: the reading store beside the panel.
//
// First S seconds of korvel-sim's board in real time under real QTimers
// (no window), every accepted reading into the history and a store: the
// readings against the conversions, the time add() takes on the panel's
// thread, and how long the writer's transactions take. Then a store of 30
// days at 3 readings/s (made through the store's own batch path), and what
// a start with it costs: opening it and filling the history's ring from its
// newest readings; then reading it back over 30 days.
#include "bench/bench_common.h"
#include "bench/realtime_probe.h"
#include "history/reading_history.h"
#include "panel/marked_readings.h"
#include "sim/clock.h"
#include "sim/sim_board.h"
#include "store/reading_store.h"

#include <QCoreApplication>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <unistd.h>

namespace korvel::bench {

namespace {

using steady = std::chrono::steady_clock;

double ms_since(steady::time_point t)
{
    return std::chrono::duration<double, std::milli>(steady::now() - t).count();
}

std::string scratch_dir()
{
    std::string tmpl = (std::filesystem::temp_directory_path() / "korvel-bench-store-XXXXXX").string();
    return ::mkdtemp(tmpl.data()) ? tmpl : std::string();
}

struct CommitFigures {
    std::mutex m;
    std::vector<int> us;  // each transaction, microseconds
    std::size_t readings = 0;
};

std::unique_ptr<store::ReadingStore> open_or_say(const std::string& path, CommitFigures* commits = nullptr)
{
    store::StoreOptions o;
    o.path = path;
    o.keep_days = 0;
    o.program = "korvel-bench";
    if (commits)
        o.on_commit = [commits](std::size_t n, std::int64_t ns) {
            const std::lock_guard lock(commits->m);
            commits->us.push_back(int(ns / 1000));
            commits->readings += n;
        };
    std::string error;
    auto s = store::ReadingStore::open(o, &error);
    if (!s)
        std::fprintf(stderr, "%s\n", error.c_str());
    return s;
}

int run_with_panel(int argc, char** argv, double seconds, int set_point, const std::string& dir)
{
    QCoreApplication app(argc, argv);
    sim::RealClock clock;
    sim::SimBoard board(clock);
    board.use_setpoint_input();
    Panel panel(board);
    panel.end_program = [] { QCoreApplication::exit(0); };
    const auto controls = panel_timers(panel);
    QTimer qt[3];
    for (int i = 0; i < 3; ++i) {
        qt[i].setTimerType(Qt::PreciseTimer);
        qt[i].setInterval(controls[i]->design().interval_ms);
        QObject::connect(&qt[i], &QTimer::timeout, [c = controls[i]] { c->fire(); });
    }
    panel.controls().observe([&](Control& c, Property p) {
        if (p != Property::Enabled)
            return;
        for (int i = 0; i < 3; ++i)
            if (&c == controls[i] && c.enabled() != qt[i].isActive())
                c.enabled() ? qt[i].start() : qt[i].stop();
    });

    CommitFigures commits;
    auto store = open_or_say(dir + "/live.db", &commits);
    if (!store)
        return 1;
    history::ReadingHistory history;
    std::vector<int> add_ns;
    std::size_t handed = 0;
    history.on_add([&](const history::Sample& s) {
        const auto t = steady::now();
        handed += store->add(s);
        add_ns.push_back(int(std::chrono::duration_cast<std::chrono::nanoseconds>(steady::now() - t).count()));
    });
    const MarkedReadings feed(panel, [&](const dvm::Reading& r) {
        history::Sample s;
        s.time_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
        s.value = std::int16_t(r.value());
        s.mark = r.over ? history::Mark::over : r.under ? history::Mark::under : history::Mark::none;
        history.add(s);
    });
    RealtimeProbe probe(panel, board, {&qt[0], &qt[1], &qt[2]});

    panel.load();
    panel.activate();
    switch_on(panel, set_point);
    probe.start();
    QTimer::singleShot(static_cast<int>(seconds * 1000), Qt::PreciseTimer, [&] {
        probe.stop();
        panel.controls().exit_button.fire();
    });
    app.exec();
    probe.stop();
    store->flush();
    probe.print("Reading store beside the panel (real time, QTimers, no window)", set_point);
    const std::lock_guard lock(commits.m);
    std::printf("  readings stored     %zu of %zu accepted (%zu handed over), %zu dropped\n", commits.readings,
                history.size(), handed, std::size_t(store->dropped()));
    std::printf("  add() on the panel's thread  median %.0f ns, 99th percentile %.0f ns\n",
                quantile(add_ns, 0.5), quantile(add_ns, 0.99));
    std::printf("  insert (one commit)  median %.2f ms, 99th percentile %.2f ms over %zu commits\n",
                quantile(commits.us, 0.5) / 1000.0, quantile(commits.us, 0.99) / 1000.0, commits.us.size());
    if (!board_left_safe(board.state())) {
        std::fprintf(stderr, "korvel-bench: the run did not leave the board in the safe state\n");
        return 1;
    }
    return 0;
}

int run_month(const std::string& dir, int days)
{
    const std::string path = dir + "/month.db";
    const std::int64_t per_day = 86400 * 3;
    const std::int64_t t_end = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count();
    const std::int64_t t0 = t_end - std::int64_t(days) * 86400000;
    {
        auto store = open_or_say(path);
        if (!store)
            return 1;
        const auto began = steady::now();
        std::vector<history::Sample> batch;
        for (std::int64_t d = 0; d < days; ++d) {
            batch.clear();
            for (std::int64_t i = 0; i < per_day; ++i) {
                const std::int64_t n = d * per_day + i;
                history::Sample s;
                s.time_ms = t0 + n * 1000 / 3;
                s.value = std::int16_t(12000 + (n * 7919) % 1000);
                s.setpoint = 12345;
                batch.push_back(s);
            }
            std::string error;
            if (!store->write_batch(batch, &error)) {
                std::fprintf(stderr, "korvel-bench: writing the store failed: %s\n", error.c_str());
                return 1;
            }
        }
        std::printf("%d days at 3 readings/s: %lld readings written in %.1f s\n", days,
                    static_cast<long long>(per_day * days), ms_since(began) / 1000.0);
    }
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    const auto wal = std::filesystem::file_size(path + "-wal", ec);
    std::printf("  file size           %.0f MB (and %.0f MB in its WAL)\n", double(size) / 1e6,
                ec ? 0.0 : double(wal) / 1e6);

    // A start with the store: open it and fill the history's ring.
    const auto began = steady::now();
    auto store = open_or_say(path);
    if (!store)
        return 1;
    const double opened = ms_since(began);
    history::ReadingHistory history;
    for (const history::Sample& s : store->latest(history.capacity()))
        history.add(s);
    std::printf("  start: open %.1f ms, history filled with %zu readings, %.1f ms in all\n", opened,
                history.size(), ms_since(began));

    auto timed = [](const char* what, auto&& f) {
        const auto t = steady::now();
        f();
        std::printf("  %-34s %.1f ms\n", what, ms_since(t));
    };
    std::size_t n = 0;
    timed("count()", [&] { n = store->count(); });
    history::Sample one;
    one.time_ms = t_end + 1000;
    store->add(one);
    store->flush();
    timed("count() again, after a new reading", [&] { n = store->count(); });
 timed("reduce(all days, 1400 columns)", [&] { (void)store->reduce(t0, t_end + 1, 1400); });
    timed("reduce(1 day, 1400 columns)", [&] { (void)store->reduce(t_end - 86400000, t_end + 1, 1400); });
    timed("reduce(1 hour, 1400 columns)", [&] { (void)store->reduce(t_end - 3600000, t_end + 1, 1400); });
    timed("statistics(all days)", [&] { (void)store->statistics(t0, t_end + 1); });
    timed("latest(10000)", [&] { (void)store->latest(10000); });
    std::printf("  readings kept       %zu\n", n);
    return 0;
}

} // namespace

int run_store(int argc, char** argv, double seconds, int set_point)
{
    const std::string dir = scratch_dir();
    if (dir.empty()) {
        std::fprintf(stderr, "korvel-bench: cannot make a scratch directory\n");
        return 1;
    }
    int status = run_with_panel(argc, argv, seconds, set_point, dir);
    if (status == 0)
        status = run_month(dir, std::getenv("KORVEL_BENCH_STORE_DAYS") ? std::atoi(std::getenv("KORVEL_BENCH_STORE_DAYS")) : 30);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return status;
}

} // namespace korvel::bench
