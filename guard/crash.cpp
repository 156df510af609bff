#include "guard/crash.h"

#include "port/text.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <signal.h>
#include <string>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

namespace korvel::guard {

namespace {

GuardedPort* guarded = nullptr;
std::terminate_handler previous_terminate = nullptr;

// Signals whose default action ends the program (SIGKILL and SIGSTOP aside,
// which cannot be caught). The crash signals come first.
constexpr int fatal_signals[] = {
    SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL, SIGQUIT, SIGTRAP, SIGSYS, SIGXCPU, SIGXFSZ,
    SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF,
    SIGPOLL, SIGPWR, SIGSTKFLT,
};

// The signal's name, from a fixed table (strsignal may allocate).
const char* signal_name(int sig) noexcept
{
    switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGABRT: return "SIGABRT";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGQUIT: return "SIGQUIT";
    case SIGTRAP: return "SIGTRAP";
    case SIGSYS: return "SIGSYS";
    case SIGXCPU: return "SIGXCPU";
    case SIGXFSZ: return "SIGXFSZ";
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    case SIGPIPE: return "SIGPIPE";
    case SIGALRM: return "SIGALRM";
    case SIGUSR1: return "SIGUSR1";
    case SIGUSR2: return "SIGUSR2";
    case SIGVTALRM: return "SIGVTALRM";
    case SIGPROF: return "SIGPROF";
    case SIGPOLL: return "SIGPOLL";
    case SIGPWR: return "SIGPWR";
    case SIGSTKFLT: return "SIGSTKFLT";
    default: return nullptr;
    }
}

bool is_crash(int sig)
{
    return sig == SIGSEGV || sig == SIGBUS || sig == SIGABRT || sig == SIGFPE || sig == SIGILL ||
           sig == SIGTRAP || sig == SIGSYS;
}

void on_fatal_signal(int sig)
{
    const int saved_errno = errno;
    if (guarded)
        guarded->finish();
    // Before the first port write (say, the toolkit giving up at start-up,
    // with its own message) there is no board to speak of.
    if (guarded && guarded->drove_any()) {
        // One line, with plain writes only: what ended the panel, that the
        // board is safe, and what to do.
        DiagnosticLine line;
        line << "korvel: " << (is_crash(sig) ? "the panel crashed (" : "the panel was ended by ");
        if (const char* name = signal_name(sig))
            line << name;
        else
            (line << "signal ").number(sig);
        line << (is_crash(sig) ? "); every port it drove was put into the safe state; restart it, "
                                 "and report the crash if it happens again"
                               : "; every port it drove was put into the safe state");
        line.write();
    }
    errno = saved_errno;
    // SA_RESETHAND restored the default action: end as the signal would have.
    raise(sig);
}

void on_terminate()
{
    if (!guarded)
        std::abort(); // LastWords is gone and the old handler back: not reached
    guarded->finish();
    // The abort below is this failure's end, not a crash of its own.
    guarded = nullptr;
    std::string what = "unknown";
    try {
        if (const std::exception_ptr e = std::current_exception())
            std::rethrow_exception(e);
        what = "std::terminate called without an exception";
    } catch (const std::exception& e) {
        what = e.what();
    } catch (...) {
    }
    write_diagnostic_line("korvel: the panel failed (uncaught exception: " + what +
                          "); every port it drove was put into the safe state; restart it, and "
                          "report the failure if it happens again");
    std::abort();
}

void on_exit()
{
    if (guarded)
        guarded->finish();
}

#if defined(__SANITIZE_ADDRESS__)
// A sanitizer that finds a fault ends the program with _exit, past every
// handler above: the board gets its safe state first.
void on_sanitizer_death()
{
    if (guarded)
        guarded->finish();
}
#endif

} // namespace

LastWords::~LastWords()
{
    guarded = nullptr;
    std::set_terminate(previous_terminate);
}

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
    sa.sa_handler = on_fatal_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND | SA_NODEFER | SA_ONSTACK;
    for (int sig : fatal_signals) {
        // A signal that is ignored, or handled by someone, stays so; the
        // crash signals are always ours. SIGINT, SIGTERM and SIGHUP get the
        // window's own handler later, which runs the Exit sequence instead.
        struct sigaction now{};
        if (!is_crash(sig) && (sigaction(sig, nullptr, &now) != 0 || now.sa_handler != SIG_DFL))
            continue;
        sigaction(sig, &sa, nullptr);
    }
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) {
        struct sigaction now{};
        if (sigaction(sig, nullptr, &now) == 0 && now.sa_handler == SIG_DFL)
            sigaction(sig, &sa, nullptr);
    }

    previous_terminate = std::set_terminate(on_terminate);
    static bool exit_hooked = false;
    if (!exit_hooked) {
        std::atexit(on_exit);
#if defined(__SANITIZE_ADDRESS__)
        __sanitizer_set_death_callback(on_sanitizer_death);
#endif
        exit_hooked = true;
    }
}

} // namespace korvel::guard
