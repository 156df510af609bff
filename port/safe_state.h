// The safe state of a board: 255 strobed into the low output latch, then
// control code 12 left on the control register. The one sequence that the
// panel's exit and reset, the crash handlers and the watchdog all write.
#pragma once

#include "port/port.h"
#include "port/registers.h"

#include <cstdint>

namespace korvel {

struct SafeStep {
    int offset;          // register offset from the base
    std::uint8_t value;  // byte written
};

// In write order; the strobe delay follows the second step.
inline constexpr SafeStep safe_state_sequence[] = {
    {reg::data_offset, reg::safe_data},
    {reg::control_offset, reg::ctl_strobe_lo},
    {reg::control_offset, reg::ctl_idle},
    {reg::control_offset, reg::safe_control},
};
inline constexpr int safe_state_steps = sizeof safe_state_sequence / sizeof safe_state_sequence[0];

// Writes the safe state on the port at `base`. Async-signal-safe as far as
// the port's Out32 is.
void write_safe_state(Port& port, int base) noexcept;

} // namespace korvel
