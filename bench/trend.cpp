// Trend mode of korvel-bench: a day of readings made in virtual time, the
// cost of one redraw of the trend at 1400 pixels over all of it (and over
// its last minute), the history's memory, the 30-day span drawn from a
// reading store and from every reading in memory, then korvel-sim's window in real
// time without and with the trend open and following, side by side. Also
// the picture of the trend for the README.
#include "bench/bench_common.h"
#include "bench/realtime_probe.h"
#include "guard/guarded_port.h"
#include "panel/marked_readings.h"
#include "sim/clock.h"
#include "sim/sim_board.h"
#include "store/reading_store.h"
#include "support/virtual_panel.h"
#include "trend/trend_window.h"
#include "ui/run_panel.h"

#include <qcustomplot.h>

#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QSpinBox>
#include <QTimer>

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace korvel::bench {

namespace {

constexpr std::size_t day_readings = 260'000;

void offscreen_unless_chosen()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

// The panel on the simulated board in virtual time, ON in mode ZEP, each
// reading it accepts added to `history` at `start_ms` plus the virtual time.
struct VirtualRecording {
    sim::VirtualPanel v;
    history::ReadingHistory& history;
    std::int64_t start_ms;
    MarkedReadings feed{v.panel, [this](const dvm::Reading& r) {
        history.add(history_sample(v.panel, r, now_ms()));
    }};

    VirtualRecording(history::ReadingHistory& h, std::int64_t start, double noise)
        : history(h), start_ms(start)
    {
        v.board.use_setpoint_input(noise, 7);
        v.open();
        v.power_on();
    }
    std::int64_t now_ms() const { return start_ms + v.clock.now_ns() / 1'000'000; }
};

// Sizes the window so that the graph's plotting area is `columns` wide.
void plot_width(trend::TrendWindow& w, int columns)
{
    for (int i = 0; i < 4; ++i) {
        QApplication::processEvents();
        const int now = w.plot()->axisRect()->width();
        if (now == columns)
            return;
        w.resize(w.width() + columns - now, w.height());
        w.plot()->replot(QCustomPlot::rpImmediateRefresh);  // lays the axes out again
    }
}

double thread_cpu_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

// Median time of `n` redraws in ms: CPU time of this thread (what the
// redraw costs, however busy the machine) and wall time.
std::pair<double, double> time_redraws(trend::TrendWindow& w, int n)
{
    std::vector<double> cpu, wall;
    for (int i = 0; i < n; ++i) {
        const double c0 = thread_cpu_ms();
        const auto t0 = std::chrono::steady_clock::now();
        w.redraw_now();
        wall.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        cpu.push_back(thread_cpu_ms() - c0);
    }
    std::sort(cpu.begin(), cpu.end());
    std::sort(wall.begin(), wall.end());
    return {cpu[cpu.size() / 2], wall[wall.size() / 2]};
}

// 30 days at 3 readings a second, made up: the set-point walks through the
// range once an hour and the reading follows it with a little noise.
template <typename Add>
void thirty_days_of_readings(std::int64_t start, Add add)
{
    std::uint32_t noise = 7;
    for (std::int64_t i = 0; i < 30LL * 24 * 3600 * 3; ++i) {
        history::Sample s;
        s.time_ms = start + i * 333;
        const double minute = double(i) / 180.0;
        s.setpoint = static_cast<std::int16_t>(12000 + 6000 * std::sin(minute * 2 * M_PI / 60));
        noise = noise * 1664525u + 1013904223u;
        s.value = static_cast<std::int16_t>(s.setpoint + int(noise >> 29) - 4);
        if (i % 5000 == 0)
            s.mark = history::Mark::over;
        add(s);
    }
}

// The 30-day span: drawn from a reading store (which answers it from its
// per-minute figures), and from every reading in memory (a CSV log under
// --review).
int run_thirty_days(int columns)
{
    const std::int64_t start = QDateTime::currentMSecsSinceEpoch() - 30LL * 24 * 3600 * 1000;
    auto log = std::make_unique<history::ReadingHistory>(30 * 24 * 3600 * 3);
    thirty_days_of_readings(start, [&](const history::Sample& s) { log->add_recorded(s); });
    const std::int64_t end = log->newest().time_ms + 1;
    const auto measure = [&](trend::TrendWindow& w) {
        w.set_clock([end] { return end; });
        w.show();
        plot_width(w, columns);
        w.set_span(trend::TrendWindow::Span::thirty_days);
        w.set_figures(trend::TrendWindow::Figures::span_shown);
        const auto times = time_redraws(w, 15);
        w.hide();
        return times;
    };
    history::ReadingHistory live;

    // The same 30 days in a reading store on disk, in a scratch folder.
    std::string folder = (std::filesystem::temp_directory_path() / "korvel-bench-trend-XXXXXX").string();
    if (!::mkdtemp(folder.data())) {
        std::fprintf(stderr, "korvel-bench: cannot make a scratch folder in %s\n",
                     std::filesystem::temp_directory_path().c_str());
        return 1;
    }
    double store_cpu = 0, store_wall = 0, store_draw_cpu = 0, store_draw_wall = 0;
    {
        store::StoreOptions o;
        o.path = folder + "/trend.db";
        o.keep_days = 0;
        o.program = "korvel-bench";
        std::string error;
        const auto kept = store::ReadingStore::open(o, &error);
        bool written = kept != nullptr;
        std::vector<history::Sample> day;
        const auto write = [&] {
            written = written && kept->write_batch(day, &error);
            day.clear();
        };
        thirty_days_of_readings(start, [&](const history::Sample& s) {
            day.push_back(s);
            if (day.size() == 86400 * 3)
                write();
        });
        write();
        if (written) {
            trend::TrendWindow from_store(live, *kept);
            std::tie(store_cpu, store_wall) = measure(from_store);
            from_store.set_figures(trend::TrendWindow::Figures::since_reset);
            from_store.show();
            std::tie(store_draw_cpu, store_draw_wall) = time_redraws(from_store, 15);
        } else {
            std::fprintf(stderr, "korvel-bench: %s\n", error.c_str());
        }
    }
    std::error_code gone;
    std::filesystem::remove_all(folder, gone);
    if (store_cpu == 0)
        return 1;
    const auto review = trend::TrendWindow::review(*log, QStringLiteral("30 days"));
    const auto [review_cpu, review_wall] = measure(*review);
    std::printf("Trend over 30 days (%zu readings)\n", log->size());
    std::printf("  redraw at %d px     30 days from a reading store: %.2f ms CPU (%.2f ms wall), median "
                "of 15, statistics of the span included; %.2f ms CPU (%.2f ms wall) without\n",
                columns, store_cpu, store_wall, store_draw_cpu, store_draw_wall);
    std::printf("                      30 days from every reading (--review of a CSV log): %.2f ms CPU "
                "(%.2f ms wall)\n",
                review_cpu, review_wall);
    return 0;
}

} // namespace

int run_trend(int argc, char** argv, double seconds, int set_point)
{
    offscreen_unless_chosen();
    QApplication app(argc, argv);
    korvel::use_panel_style();

    // A day of readings: the set-point walks through the range once an hour,
    // with a little noise on the input.
    history::ReadingHistory day;
    const auto made0 = std::chrono::steady_clock::now();
    {
        VirtualRecording rec(day, QDateTime::currentMSecsSinceEpoch() - 24LL * 3600 * 1000, 3.0);
        int minute = 0;
        while (day.size() < day_readings) {
            rec.v.set_point(static_cast<int>(12000 + 6000 * std::sin(minute * 2 * M_PI / 60)));
            rec.v.run_ms(60'000);
            ++minute;
        }
        rec.v.panel.close();
    }
    const double made_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - made0).count();
    const double span_h = double(day.newest().time_ms - day.at(0).time_ms) / 3.6e6;

    trend::TrendWindow window(day);
    const std::int64_t end = day.newest().time_ms + 1;
    window.set_clock([end] { return end; });
    window.show();
    plot_width(window, 1400);
    const int columns = window.plot()->axisRect()->width();
    window.set_span(trend::TrendWindow::Span::all);
    const auto [all_cpu, all_wall] = time_redraws(window, 30);
    window.set_span(trend::TrendWindow::Span::minute);
    const auto [minute_cpu, minute_wall] = time_redraws(window, 30);
    window.hide();

    // The reduction alone, the part that reads the history.
    std::vector<double> reduce_ms;
    for (int i = 0; i < 30; ++i) {
        const double c0 = thread_cpu_ms();
        const auto cols = day.reduce(day.at(0).time_ms, end, columns);
        reduce_ms.push_back(thread_cpu_ms() - c0);
        if (cols.empty())
            return 1;
    }
    std::sort(reduce_ms.begin(), reduce_ms.end());

    const double memory_mb = double(day.capacity() * sizeof(history::Sample) + sizeof day) / 1e6;
    std::printf("Trend over a day of readings (made in virtual time in %.1f s: %zu readings, %.1f h)\n",
                made_s, day.size(), span_h);
    std::printf("  redraw at %d px     all %zu readings: %.2f ms CPU (%.2f ms wall), median of 30\n",
                columns, day.size(), all_cpu, all_wall);
    std::printf("                      last minute:         %.2f ms CPU (%.2f ms wall)\n",
                minute_cpu, minute_wall);
    std::printf("  reduction alone     all readings:        %.2f ms CPU\n", reduce_ms[reduce_ms.size() / 2]);
    std::printf("  history memory      %.1f MB (%zu readings of %zu bytes)\n", memory_mb,
                day.capacity(), sizeof(history::Sample));
    if (const int status = run_thirty_days(columns); status != 0)
        return status;

    // korvel-sim's window in real time: S s without the trend, then S s
    // with it open and following.
    sim::RealClock clock;
    sim::SimBoard board(clock);
    board.use_setpoint_input();
    guard::Registry registry;
    guard::GuardedPort guarded(board, registry);
    WindowSession session(guarded);
    Panel& panel = session.panel();
    ui::MainWindow& main = session.window();
    const std::array<QTimer*, 3> timers = {session.timer(ControlId::sync_timer),
                                           session.timer(ControlId::refresh_timer),
                                           session.timer(ControlId::scan_timer)};
    RealtimeProbe without(panel, board, timers);
    RealtimeProbe with(panel, board, timers);
    main.show();
    const int ms = static_cast<int>(seconds * 1000);
    QTimer::singleShot(0, &main, [&] {
        switch_on(panel, set_point);
        without.start();
        std::fprintf(stderr, "korvel-bench: measured run begun (2 x %g s)\n", seconds);
        QTimer::singleShot(ms, Qt::PreciseTimer, &main, [&] {
            without.stop();
            session.set_trend_open(true);
            with.start();
            QTimer::singleShot(ms, Qt::PreciseTimer, &main, [&] {
                with.stop();
                panel.close();
            });
        });
    });
    const int status = session.exec();
    without.stop();
    with.stop();
    const bool safe = board_left_safe(board.state());
    guarded.finish();
    if (!safe)
        std::fprintf(stderr, "korvel-bench: the run did not leave the board in the safe state: "
                             "the Exit sequence is broken\n");
    if (!without.measured()) {
        std::fprintf(stderr, "korvel-bench: the panel ended before the measured run began; "
                             "nothing to report: run it again without interrupting it\n");
        return 1;
    }
    std::printf("Simulated board, real time with the window (platform %s): set-point %d, %g s each\n",
                qPrintable(QApplication::platformName()), set_point, seconds);
    const auto line = [](const char* what, const RealtimeProbe& p) {
        const Figures& f = p.figures();
        const double conv = f.seconds > 0 ? f.conversions / f.seconds : 0;
        const double shown = f.seconds > 0 ? f.shown / f.seconds : 0;
        std::printf("  %-20s conversions %6.3f /s   readings %6.3f /s   %5.1f %% of conversions   "
                    "CPU %.1f %% of one core\n",
                    what, conv, shown, f.conversions > 0 ? 100.0 * f.shown / f.conversions : 0.0,
                    f.seconds > 0 ? 100 * p.cpu_seconds() / f.seconds : 0.0);
    };
    line("without the trend", without);
    if (with.measured())
        line("trend open, follows", with);
    return safe ? status : 1;
}

int run_trend_picture(int argc, char** argv, const char* path)
{
    offscreen_unless_chosen();
    QApplication app(argc, argv);
    korvel::use_panel_style();

    // korvel-sim's board in mode ZEP: the set-point turned up by the coarse
    // control, held, turned down past the upper limit, held; a little noise.
    history::ReadingHistory history;
    const std::int64_t start = QDateTime::fromString(QStringLiteral("2026-12-07T14:00:00"), Qt::ISODate)
                                   .toMSecsSinceEpoch();
    VirtualRecording rec(history, start, 4.0);
    history.set_limits({true, 6000, 14500});
    const auto turn = [&](int from, int to) {
        for (int v = from; v != to; v += (to > from ? 100 : -100)) {
            rec.v.set_point(v);
            rec.v.run_ms(250);
        }
        rec.v.set_point(to);
    };
    rec.v.set_point(8000);
    rec.v.run_ms(40'000);
    turn(8000, 15000);
    rec.v.run_ms(30'000);
    turn(15000, 10000);
    rec.v.run_ms(40'000);

    trend::TrendWindow window(history);
    window.beep = [] {};
    const std::int64_t end = rec.now_ms() + 2000;
    window.set_clock([end] { return end; });
    window.set_span(trend::TrendWindow::Span::ten_minutes);
    window.set_span(trend::TrendWindow::Span::all);
    window.resize(1100, 620);
    window.show();
    QApplication::processEvents();
    window.redraw_now();
    QApplication::processEvents();
    rec.v.panel.close();
    if (!window.grab().save(QString::fromLocal8Bit(path))) {
        std::fprintf(stderr, "korvel-bench: cannot write %s; choose a file in a folder you can write to\n", path);
        return 1;
    }
    std::printf("korvel-bench: the trend written to %s\n", path);
    return 0;
}

} // namespace korvel::bench
