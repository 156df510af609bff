// The watchdog: a small process started by the panel that outlives it.
// When the panel ends without finishing its own exit (SIGKILL, an
// out-of-memory kill, a crash its handlers could not handle), the watchdog
// reopens the ports the panel drove and writes the safe state to each.
#pragma once

#include "guard/guarded_port.h"

#include <functional>
#include <memory>
#include <sys/types.h>

namespace korvel::guard {

// Opens the ports again, from the watchdog process, once the panel is gone.
using Reopen = std::function<std::unique_ptr<Port>()>;

// Forks the watchdog. Call it early, before any port is opened and before
// any thread exists. Returns the watchdog's pid in the panel, or -1 when it
// could not be started (the panel runs on without it; one line on standard
// error says so). The watchdog never returns from here.
pid_t start_watchdog(Registry& registry, Reopen reopen);

// What the watchdog does once the panel is gone; exposed for tests. Returns
// how many boards it put into the safe state.
int secure_after_panel_end(Registry& registry, const Reopen& reopen);

} // namespace korvel::guard
