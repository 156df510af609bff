// Real-time mode of korvel-bench: korvel-sim's board (real clock, the
// set-point as the voltmeter's input) and the panel's logic under real
// QTimers on a QtCore event loop, without a window. Measures what the
// timers achieve and the CPU the panel takes while ON; painting is not
// included (window.cpp runs the window).
#include "bench/bench_common.h"
#include "bench/realtime_probe.h"
#include "sim/clock.h"
#include "sim/sim_board.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

namespace korvel::bench {

int run_realtime(int argc, char** argv, double seconds, int set_point)
{
    QCoreApplication app(argc, argv);
    sim::RealClock clock;
    sim::SimBoard board(clock);
    board.use_setpoint_input();
    Panel panel(board);
    panel.end_program = [] { QCoreApplication::exit(0); };

    // The three timers follow the model's enabled flags, as the window's do.
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
    RealtimeProbe probe(panel, board, {&qt[0], &qt[1], &qt[2]});

    panel.load();
    panel.activate();
    switch_on(panel, set_point);
    probe.start();
    QTimer::singleShot(static_cast<int>(seconds * 1000), Qt::PreciseTimer, [&] {
        probe.stop();
        panel.controls().exit_button.fire(); // Exit: safe state, then the loop ends
    });
    app.exec();
    probe.stop();

    probe.print("Simulated board, real time (QTimers, no window)", set_point);
    if (!board_left_safe(board.state())) {
        std::fprintf(stderr, "korvel-bench: the run did not leave the board in the safe state: "
                             "the Exit sequence is broken\n");
        return 1;
    }
    return 0;
}

} // namespace korvel::bench
