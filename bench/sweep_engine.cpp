// Built-in sweep mode of korvel-bench (--sweep-engine): how long the panel's
// own sweep takes per point with no settling delay and one reading a point,
// in conversion periods (the limit is one a point). First in virtual time
// over three 100-point staircases (mid-scale, up to full scale, through
// over range), then in real time on korvel-sim's window with the trend and
// the sweep window open, where the readings must stay every conversion.
#include "bench/bench_common.h"
#include "bench/realtime_probe.h"
#include "guard/guarded_port.h"
#include "sim/converter.h"
#include "support/virtual_panel.h"
#include "sweep/sweep.h"
#include "sweepui/sweep_window.h"
#include "ui/run_panel.h"

#include <QApplication>
#include <QTimer>

#include <chrono>
#include <cstdio>

namespace korvel::bench {

namespace {

constexpr double period_s =
    double(sim::DualSlopeConverter::cycle_clocks) / double(sim::DualSlopeConverter::default_clock_hz);

sweep::Settings staircase(int start, int stop, int step)
{
    sweep::Settings s;
    s.start = start;
    s.stop = stop;
    s.step = step;
    return s;
}

} // namespace

int run_sweep_engine(int argc, char** argv)
{
    struct Case {
        const char* name;
        sweep::Settings settings;
    };
    const Case cases[] = {
        {"-9900..9900 by 200", staircase(-9900, 9900, 200)},
        {"0..19800 by 200", staircase(0, 19800, 200)},
        {"5000..24800 by 200", staircase(5000, 24800, 200)},
    };
    std::printf("Built-in sweep, 100 points, settle 0, 1 reading a point; conversion period %.1f ms\n",
                period_s * 1000);
    for (const Case& c : cases) {
        sim::VirtualPanel v;
        v.open();
        v.power_on();
        v.run_ms(1000);
        sweep::Sweep engine(v.panel);
        const std::int64_t t0 = v.timers.now_ns();
        if (!engine.start(c.settings).empty())
            return 1;
        while (engine.running())
            v.run_ms(1);
        const double s = double(v.timers.now_ns() - t0) / 1e9;
        std::printf("  virtual time  %-20s %6.2f s = %6.1f conversion periods (%.2f a point), %zu points\n",
                    c.name, s, s / period_s, s / period_s / double(engine.results().size()),
                    engine.results().size());
    }

    // Real time: the window, the trend and the sweep window open.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    korvel::use_panel_style();
    sim::RealClock clock;
    sim::SimBoard board(clock);
    board.use_setpoint_input();
    guard::Registry registry;
    guard::GuardedPort guarded(board, registry);
    WindowSession session(guarded);
    Panel& panel = session.panel();
    RealtimeProbe probe(panel, board, {session.timer(ControlId::sync_timer),
                                       session.timer(ControlId::refresh_timer),
                                       session.timer(ControlId::scan_timer)});
    RealtimeProbe steady(panel, board, {session.timer(ControlId::sync_timer),
                                        session.timer(ControlId::refresh_timer),
                                        session.timer(ControlId::scan_timer)});
    session.window().show();
    using Clock = std::chrono::steady_clock;
    Clock::time_point t0;
    double seconds = 0;
    std::size_t points = 0;
    const int key = session.sweep().observe([&](sweep::Sweep::Event e) {
        if (e != sweep::Sweep::Event::ended)
            return;
        seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        points = session.sweep().results().size();
        probe.stop();
        // Then 20 s at a steady set-point with both windows open and the
        // sweep's plot shown: every conversion should give a reading.
        QTimer::singleShot(0, &session.window(), [&] {
            panel.set_setpoint(12345);
            QTimer::singleShot(2000, Qt::PreciseTimer, &session.window(), [&] {
                steady.start();
                QTimer::singleShot(20000, Qt::PreciseTimer, &session.window(), [&] {
                    steady.stop();
                    panel.close();
                });
            });
        });
    });
    QTimer::singleShot(0, &session.window(), [&] {
        switch_on(panel, 0);
        session.set_trend_open(true);
        session.set_sweep_window_open(true);
        QTimer::singleShot(1000, &session.window(), [&] {
            std::fprintf(stderr, "korvel-bench: real-time sweep begun (about 40 s)\n");
            t0 = Clock::now();
            probe.start();
            if (!session.sweep().start(cases[0].settings).empty())
                panel.close();
        });
    });
    const int status = session.exec();
    session.sweep().forget(key);
    const bool safe = board_left_safe(board.state());
    guarded.finish();
    if (!probe.measured() || points == 0) {
        std::fprintf(stderr, "korvel-bench: the real-time sweep did not run to its end; run it again\n");
        return 1;
    }
    const Figures& f = probe.figures();
    const Figures& g = steady.figures();
    std::printf("  real time     %-20s %6.2f s = %6.1f conversion periods (%.2f a point), %zu points, "
                "readings %.1f %% of conversions (readings below 2000 counts take two)\n",
                cases[0].name, seconds, seconds / period_s, seconds / period_s / double(points), points,
                f.conversions > 0 ? 100.0 * f.shown / f.conversions : 0.0);
    std::printf("  then 20 s at set-point 12345 with the trend and the sweep window open (platform %s): "
                "conversions %.3f /s, readings %.3f /s, %.1f %% of conversions\n",
                qPrintable(QApplication::platformName()), g.seconds > 0 ? g.conversions / g.seconds : 0.0,
                g.seconds > 0 ? g.shown / g.seconds : 0.0, g.conversions > 0 ? 100.0 * g.shown / g.conversions : 0.0);
    return safe ? status : 1;
}

int run_sweep_picture(int argc, char** argv, const char* path)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    korvel::use_panel_style();
    // korvel-sim's board with a little noise: up and down twice through
    // over range, four readings a point.
    sim::VirtualPanel v;
    v.board.use_setpoint_input(6.0, 3);
    v.open();
    v.power_on();
    v.run_ms(1000);
    sweep::Sweep engine(v.panel);
    sweep::Settings s = staircase(-24000, 24000, 2000);
    s.direction = sweep::Direction::up_down;
    s.readings = 4;
    s.repeats = 2;
    if (!engine.set_settings(s).empty())
        return 1;
    sweepui::SweepWindow window(engine);  // its form shows the settings
    window.resize(1100, 680);
    window.show();
    if (!engine.start().empty())
        return 1;
    while (engine.running()) {
        v.run_ms(100);
        QApplication::processEvents();
    }
    window.redraw_now();
    QApplication::processEvents();
    v.panel.close();
    if (!window.grab().save(QString::fromLocal8Bit(path))) {
        std::fprintf(stderr, "korvel-bench: cannot write %s; choose a file in a folder you can write to\n", path);
        return 1;
    }
    std::printf("korvel-bench: the sweep window written to %s\n", path);
    return 0;
}

} // namespace korvel::bench
