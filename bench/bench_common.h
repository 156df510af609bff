// Pieces shared by the modes of korvel-bench.
#pragma once

#include "panel/panel.h"
#include "port/port.h"
#include "sim/board_state.h"
#include "sim/sim_board.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace korvel::bench {

// The q-quantile (0..1) of the values; 0 when there are none.
inline double quantile(std::vector<int> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// The three timers of the panel, in the order the figures list them.
inline std::array<Control*, 3> panel_timers(Panel& panel)
{
    return {&panel.controls().sync_timer, &panel.controls().refresh_timer, &panel.controls().scan_timer};
}

// The user's part of every run: ON (mode "ZEP", where the panel starts),
// then the set-point on the spin controls.
inline void switch_on(Panel& panel, int set_point)
{
    panel.set_power(true);
    panel.set_setpoint(set_point);
}

// The safe state of the board: 255 latched into the low latch, 12 left on
// the control register.
inline bool board_left_safe(const sim::BoardState& s)
{
    return s.latch_lo == 255 && s.control == 12;
}

// What a run measured, over `seconds` of its time (simulated or real).
struct Figures {
    double seconds = 0;
    double conversions = 0;
    int shown = 0;
    std::uint64_t discarded = 0;      // digit samples the reader discarded
    int scans = 0;
    std::vector<int> scan_ticks;      // scan_timer ticks of each scan, the ending tick included
    std::uint64_t ticks[3] = {};      // sync_timer, refresh_timer, scan_timer
    double running_s[3] = {};         // time each timer ran
    int nominal[3] = {};              // ticks per second of each timer's interval
    std::string reading;              // the voltmeter's read-out at the end
};

// The nominal rates of the panel's timers, from their design intervals.
void set_nominal_rates(Figures& f, Panel& panel);

// The conversions the board's converter has run so far, in whole and part
// cycles of its clock.
double conversions(sim::SimBoard& board);

// The lines every mode prints: conversions, readings shown, scan length and
// the three timers' rates.
void print_rates(const Figures& f);

#if defined(KORVEL_BENCH_REALTIME)
// Runs korvel-sim's board in real time under real QTimers (no window).
int run_realtime(int argc, char** argv, double seconds, int set_point);
// The reading store beside the panel in real time, then a 30-day store.
int run_store(int argc, char** argv, double seconds, int set_point);
#endif

#if defined(KORVEL_BENCH_WINDOW)
// Runs korvel-sim's window, offscreen unless a platform is chosen, over the
// simulated board in real time.
int run_window(int argc, char** argv, double seconds, int set_point);

// A day of readings in virtual time: one trend redraw at 1400 px and the
// history's memory; then the window in real time for S s without and S s
// with the trend open and following.
int run_trend(int argc, char** argv, double seconds, int set_point);

// The trend of korvel-sim in mode ZEP after the set-point was turned, as a
// PNG picture.
int run_trend_picture(int argc, char** argv, const char* path);

// The remote interface on the window's event loop: reading rate idle and
// under 1000 queries per second, and the queries' round-trip time.
int run_remote(int argc, char** argv, double seconds, int set_point);

// A remote client sweeping set-point jumps, one READ? per point, for S
// seconds: the time per point against the conversion period, stale readings.
int run_sweep(int argc, char** argv, double seconds);

// The window with the web page, S seconds each with no page, one page and
// sixteen pages open (bench/web.cpp).
int run_web(int argc, char** argv, double seconds, int set_point);
#endif

} // namespace korvel::bench
