// Real-time mode of korvel-bench: korvel-sim's board (real clock) and the
// panel's logic under real QTimers on a QtCore event loop, without a
// window. Measures what the timers achieve and the CPU the panel takes
// while ON; painting is not included (see the hook in CMakeLists.txt).
#include "bench/bench_common.h"
#include "panel/form1.h"
#include "sim/simulated.h"

#include <QCoreApplication>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <sys/resource.h>

namespace korvel::bench {

namespace {

double cpu_seconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

using Clock = std::chrono::steady_clock;

} // namespace

int run_realtime(int argc, char** argv, double seconds, int set_point)
{
    QCoreApplication app(argc, argv);
    auto board = sim::make_simulated_board();
    CountingPort port(*board);
    Form1 form(port);
    form.end_program = [] { QCoreApplication::exit(0); };

    // The three timers follow the model's enabled flags, as the window's do.
    Control* const controls[3] = {&form.c.Timer1, &form.c.Timer2, &form.c.Timer3};
    QTimer qt[3];
    std::uint64_t ticks[3] = {};
    double running_s[3] = {};
    Clock::time_point started[3];
    int shown = 0, scans = 0;
    bool measuring = true;
    for (int i = 0; i < 3; ++i) {
        qt[i].setTimerType(Qt::PreciseTimer);
        qt[i].setInterval(controls[i]->design().interval_ms);
        QObject::connect(&qt[i], &QTimer::timeout, [&, i] {
            ++ticks[i];
            port.reads_in_tick = 0;
            controls[i]->fire();
        });
    }
    form.c.observe([&](Control& c, Property p) {
        if (p != Property::Enabled)
            return;
        for (int i = 0; i < 3; ++i) {
            if (&c != controls[i])
                continue;
            if (c.enabled() && !qt[i].isActive()) {
                qt[i].start();
                started[i] = Clock::now();
            } else if (!c.enabled() && qt[i].isActive()) {
                qt[i].stop();
                if (measuring)
                    running_s[i] +=
                        std::chrono::duration<double>(Clock::now() - started[i]).count();
            }
        }
        if (measuring && &c == &form.c.Timer3 && !c.enabled() && form.c.Timer1.enabled()) {
            ++scans;
            if (port.reads_in_tick == reads_of_a_shown_reading)
                ++shown;
        }
    });

    form.form_load();
    form.form_activate();
    form.c.Command9.fire();
    const int coarse = std::max(-20000, std::min(20000, set_point));
    form.c.VScroll1.set_value(coarse);
    form.c.VScroll3.set_value(set_point - coarse);

    const double cpu0 = cpu_seconds();
    const auto wall0 = Clock::now();
    double cpu = 0, wall = 0;
    QTimer::singleShot(static_cast<int>(seconds * 1000), Qt::PreciseTimer, [&] {
        cpu = cpu_seconds() - cpu0;
        wall = std::chrono::duration<double>(Clock::now() - wall0).count();
        for (int i = 0; i < 3; ++i)
            if (qt[i].isActive())
                running_s[i] += std::chrono::duration<double>(Clock::now() - started[i]).count();
        measuring = false;
        form.c.Command12.fire(); // Exit: safe state, then the loop ends
    });
    app.exec();

    const int nominal[3] = {100, 10, 1000};
    std::printf("Simulated board, real time (QTimers, no window): set-point %d, %.1f s\n",
                set_point, wall);
    std::printf("  CPU while ON        %.1f%% of one core (%.2f s in %.2f s)\n", 100 * cpu / wall,
                cpu, wall);
    std::printf(
        "  readings shown      %.3f /s (scans ended %.3f /s)\n", shown / wall, scans / wall);
    for (int i = 0; i < 3; ++i)
        std::printf("  Timer%d              %8.1f ticks/s while running (nominal %d/s)\n", i + 1,
                    running_s[i] > 0 ? ticks[i] / running_s[i] : 0.0, nominal[i]);
    std::printf("  last reading        %s\n", form.c.dvm_reading.text().c_str());
    return 0;
}

} // namespace korvel::bench
