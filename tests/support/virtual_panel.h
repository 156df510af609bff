// The whole panel on the simulated board in virtual time: the board on a
// virtual clock, the panel core, and its three timers run from the model.
// Tests and the benchmark run simulated hours with it in seconds.
#pragma once

#include "panel/panel.h"
#include "sim/clock.h"
#include "sim/sim_board.h"
#include "support/virtual_timers.h"

#include <cstdint>

namespace korvel::sim {

class VirtualPanel {
public:
    explicit VirtualPanel(std::int64_t clock_hz = DualSlopeConverter::default_clock_hz);
    VirtualPanel(const VirtualPanel&) = delete;
    VirtualPanel& operator=(const VirtualPanel&) = delete;

    VirtualClock clock;
    SimBoard board;
    Panel panel;
    Controls& c = panel.controls();
    VirtualTimers timers;

    // The window's load and first activation.
    void open();
    // The power button while OFF.
    void power_on();
    // Sets the spin controls so that they sum to value (-30000..30000).
    void set_point(int value) { panel.set_setpoint(value); }
    void run_ms(std::int64_t ms) { timers.run_for_ms(ms); }
};

} // namespace korvel::sim
