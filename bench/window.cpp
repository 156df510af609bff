// Window mode of korvel-bench: korvel-sim's panel as the user gets it, the
// real window (its widgets, painting and QTimers) over the simulated board
// in real time, offscreen unless the caller chose a platform. Measures the
// same figures as the real-time mode, painting included.
#include "bench/bench_common.h"
#include "bench/window_bench.h"
#include "bench/realtime_probe.h"
#include "guard/guarded_port.h"
#include "sim/clock.h"
#include "sim/sim_board.h"
#include "ui/run_panel.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>

#include <cstdio>

namespace korvel::bench {

namespace {

// Counts the widgets' paint events while the probe measures, to show how
// much painting the figures include.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(const RealtimeProbe& probe) : probe_(probe) {}
    std::uint64_t paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::Paint && probe_.measuring())
            ++paints;
        return false;
    }

private:
    const RealtimeProbe& probe_;
};

} // namespace

int run_window(int argc, char** argv, double seconds, int set_point)
{
    WindowBench bench(argc, argv);
    // korvel-sim's board and the guard over it (its watchdog process aside).
    sim::SimBoard& board = bench.board();
    guard::Registry registry;
    guard::GuardedPort guarded(board, registry);

    WindowSession session(guarded);
    Panel& panel = session.panel();
    ui::MainWindow& window = session.window();
    RealtimeProbe probe(panel, board,
                        {session.timer(ControlId::sync_timer), session.timer(ControlId::refresh_timer),
                         session.timer(ControlId::scan_timer)});
    PaintCounter paint_counter(probe);
    qApp->installEventFilter(&paint_counter);
    window.show();

    // Once the loop runs (the window shown): ON with the set-point, S
    // seconds measured, then the Exit sequence, which ends the loop.
    QTimer::singleShot(0, &window, [&] {
        switch_on(panel, set_point);
        probe.start();
        std::fprintf(stderr, "korvel-bench: measured run begun (%g s)\n", seconds);
        QTimer::singleShot(static_cast<int>(seconds * 1000), Qt::PreciseTimer, &window, [&] {
            probe.stop();
            panel.close();
        });
    });
    // Ended otherwise (SIGINT, SIGTERM, SIGHUP, the window closed), the
    // session has run the Exit sequence and the figures cover the run so far.
    const int status = session.exec();
    probe.stop();

    const bool safe = board_left_safe(board.state());
    guarded.finish();
    if (!safe)
        std::fprintf(stderr, "korvel-bench: the run did not leave the board in the safe state: "
                             "the Exit sequence is broken\n");
    if (!probe.measured()) {
        std::fprintf(stderr, "korvel-bench: the panel ended before the measured run began; "
                             "nothing to report: run it again without interrupting it\n");
        return 1;
    }
    probe.print("Simulated board, real time with the window (platform " +
                    QApplication::platformName().toStdString() + ")",
                set_point);
    const double s = probe.figures().seconds;
    std::printf("  paint events        %8.1f /s  (widgets painted while ON)\n",
                s > 0 ? static_cast<double>(paint_counter.paints) / s : 0.0);
    return safe ? status : 1;
}

} // namespace korvel::bench
