// The watchdog: a small process started by the panel that outlives it.
// When the panel ends without finishing its own exit (SIGKILL, an
// out-of-memory kill, a crash its handlers could not handle), the watchdog
// claims the ports the panel held and drove once more, writes the safe state
// to each, and says on standard error what became of every one.
#pragma once

#include "guard/guarded_port.h"

#include <functional>
#include <memory>
#include <string_view>
#include <sys/types.h>

namespace korvel::guard {

// Opens the ports again, from the watchdog process, once the panel is gone.
// The port claims a base on its first use and tells through fault() when it
// cannot; it says nothing itself. nullptr: the ports went with the panel (a
// board that lived inside it), so there is nothing to secure.
using Reopen = std::function<std::unique_ptr<Port>()>;

// Forks the watchdog. Call it early, before any port is opened and before
// any thread exists. Returns the watchdog's pid in the panel, or -1 when it
// could not be started (the panel runs on without it; one line on standard
// error says so). The watchdog never returns from here; it exits with the
// status secure_after_panel_end gives.
pid_t start_watchdog(Registry& registry, Reopen reopen);

// How the watchdog speaks and waits; tests record the lines and wait in
// virtual time.
struct WatchdogIo {
    std::function<void(std::string_view line)> say;  // one line, no newline
    std::function<void(int ms)> pause;
};

// The watchdog's standard error and real sleep.
WatchdogIo real_watchdog_io();

// How long the watchdog keeps trying to claim a port that is not free yet:
// its pauses between tries add up to this.
constexpr int reclaim_budget_ms = 2000;

// What the watchdog does once the panel is gone, exposed for tests: for each
// base in the registry, unless the panel finished its own exit, claims the
// port afresh (trying again, with growing pauses, for reclaim_budget_ms),
// writes the safe state, and says one line: "put into the safe state" only
// when the port took every write, otherwise "could NOT be put into the safe
// state: <cause>; <remedy>". Returns 0 when every port was secured or none
// needed it, 1 when one could not be.
int secure_after_panel_end(Registry& registry, const Reopen& reopen, const WatchdogIo& io);

} // namespace korvel::guard
