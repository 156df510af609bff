#include "guard/crash.h"

#include <csignal>
#include <cstdlib>
#include <exception>
#include <signal.h>

namespace korvel::guard {

namespace {

GuardedPort* guarded = nullptr;

void on_crash(int sig)
{
    if (guarded)
        guarded->finish();
    // SA_RESETHAND restored the default action: end as the crash would have.
    raise(sig);
}

void on_terminate()
{
    if (guarded)
        guarded->finish();
    std::abort();
}

void on_exit()
{
    if (guarded)
        guarded->finish();
}

} // namespace

LastWords::~LastWords() { guarded = nullptr; }

LastWords::LastWords(GuardedPort& port)
{
    guarded = &port;

    // A stack overflow leaves no stack for the handler: give it its own.
    static char alt_stack[64 * 1024];
    stack_t ss{};
    ss.ss_sp = alt_stack;
    ss.ss_size = sizeof alt_stack;
    sigaltstack(&ss, nullptr);

    struct sigaction sa{};
    sa.sa_handler = on_crash;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND | SA_NODEFER | SA_ONSTACK;
    for (int sig : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL})
        sigaction(sig, &sa, nullptr);

    std::set_terminate(on_terminate);
    static bool exit_hooked = false;
    if (!exit_hooked) {
        std::atexit(on_exit);
        exit_hooked = true;
    }
}

} // namespace korvel::guard
