#include "bench/bench_common.h"

#include "sim/converter.h"

#include <cstdio>

namespace korvel::bench {

double conversions(sim::SimBoard& board)
{
    return static_cast<double>(board.converter().clocks()) /
           static_cast<double>(sim::DualSlopeConverter::cycle_clocks);
}

void set_nominal_rates(Figures& f, Panel& panel)
{
    const auto timers = panel_timers(panel);
    for (int i = 0; i < 3; ++i) {
        const int ms = timers[i]->design().interval_ms;
        f.nominal[i] = ms > 0 ? 1000 / ms : 0;
    }
}

void print_rates(const Figures& f)
{
    const double s = f.seconds > 0 ? f.seconds : 1;
    std::printf("  conversions         %8.3f /s\n", f.conversions / s);
    std::printf("  readings shown      %8.3f /s  (%.0f%% of conversions; scans ended %.3f /s)\n",
                f.shown / s, f.conversions > 0 ? 100.0 * f.shown / f.conversions : 0.0,
                f.scans / s);
    std::printf("  samples discarded   %8.3f /s  (%llu digit samples whose strobe moved or whose "
                "reads took too long)\n",
                static_cast<double>(f.discarded) / s, static_cast<unsigned long long>(f.discarded));
    std::printf(
        "  scan length         median %.0f, 95th percentile %.0f scan_timer ticks (%zu scans)\n",
        quantile(f.scan_ticks, 0.5), quantile(f.scan_ticks, 0.95), f.scan_ticks.size());
    static constexpr const char* names[] = {"sync_timer   ", "refresh_timer", "scan_timer   "};
    for (int i = 0; i < 3; ++i) {
        const double rate =
            f.running_s[i] > 0 ? static_cast<double>(f.ticks[i]) / f.running_s[i] : 0.0;
        std::printf("  %s       %8.1f ticks/s while running (nominal %d/s), "
                    "running %.0f%% of the time\n",
                    names[i], rate, f.nominal[i], 100.0 * f.running_s[i] / s);
    }
}

} // namespace korvel::bench
