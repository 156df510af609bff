// The simulated board as korvel-sim uses it.
#pragma once

#include "port/port.h"

#include <memory>

namespace korvel::sim {

// The simulated board on a real-time clock, answering at 0x378; other bases
// are absent ports. The caller keeps it for the whole run.
std::unique_ptr<Port> make_simulated_board();

// For a process that outlives korvel-sim, such as its safety watchdog: a
// Port over the board state file named by KORVEL_SIM_STATE, so that writes
// at 0x378 reach the latches korvel-sim left there (the converter is not
// run: status reads give 255). When another process holds the board, or the
// file holds no board state, the port reaches nothing and its fault() says
// why; nullptr when the variable is unset.
std::unique_ptr<Port> reopen_simulated_board();

} // namespace korvel::sim
