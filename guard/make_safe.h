// The safe state on request, from a program of its own (korvel --make-safe):
// by hand after any mishap, and as a service's last step after its main
// process ended without its own exit.
#pragma once

#include "guard/watchdog.h"

#include <functional>
#include <string>
#include <string_view>

namespace korvel::guard {

struct MakeSafeResult {
    int status = 0;    // 0: the board at the base is in the safe state; 1: it may not be
    std::string line;  // what to say, one line without newline
};

// Claims the port at `base` afresh through `reopen`, writes the safe state
// once, and lets the port go. Writes nothing when the port cannot be claimed
// (held by another program, no permission, no port there); the line then
// names the cause and the remedy. program: the name the line starts with.
MakeSafeResult make_port_safe(const Reopen& reopen, int base, std::string_view program);

// Whether systemd reports, in the environment of an ExecStopPost= command,
// that the service's main process ended cleanly: SERVICE_RESULT=success,
// EXIT_CODE=exited and EXIT_STATUS=0. Anything else (a signal, a watchdog
// time-out, a failure status, a missing variable) is not clean.
// getenv: looks a variable up (nullptr when unset).
bool service_ended_cleanly(const std::function<const char*(const char*)>& getenv);

} // namespace korvel::guard
