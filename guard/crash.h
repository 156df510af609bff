// The last words of a dying panel: on a crash signal (SIGSEGV, SIGBUS,
// SIGABRT, SIGFPE, SIGILL), an uncaught exception or a plain exit() from
// anywhere, every driven board is put into the safe state before the
// process ends. The crash itself still ends the process as it would have
// (same signal, core dump where enabled).
#pragma once

#include "guard/guarded_port.h"

namespace korvel::guard {

// Installs the handlers for `port` while it lives.
class LastWords {
public:
    explicit LastWords(GuardedPort& port);
    ~LastWords();
    LastWords(const LastWords&) = delete;
    LastWords& operator=(const LastWords&) = delete;
};

} // namespace korvel::guard
