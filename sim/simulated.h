// The simulated board as korvel-sim uses it.
#pragma once

#include "port/port.h"

#include <memory>

namespace korvel::sim {

// The simulated board on a real-time clock, answering at 0x378; other bases
// are absent ports. The caller keeps it for the whole run.
std::unique_ptr<Port> make_simulated_board();

} // namespace korvel::sim
