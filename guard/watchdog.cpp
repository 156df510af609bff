#include "guard/watchdog.h"

#include "port/hardware_port.h"
#include "port/safe_state.h"
#include "port/text.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <signal.h>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>

namespace korvel::guard {

namespace {

// The number of threads /proc still lists for `pid`.
int thread_count(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/task", static_cast<int>(pid));
    DIR* dir = opendir(path);
    if (!dir)
        return 0;
    int n = 0;
    while (const dirent* e = readdir(dir))
        if (e->d_name[0] != '.')
            ++n;
    closedir(dir);
    return n;
}

// True once `pid` has fully ended: gone, or a zombie whose other threads
// have gone too. Only then has the kernel closed all its files, released
// its claim on every ppdev port and dropped its locks; the main thread
// turns zombie while other threads may still be closing them.
bool has_ended(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* f = std::fopen(path, "r");
    if (!f)
        return true;
    char buf[512];
    const std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    // The state follows the command name in parentheses.
    const char* close = std::strrchr(buf, ')');
    if (!close || close[1] == '\0' || close[2] == '\0')
        return true;
    const char state = close[2];
    return (state == 'Z' || state == 'X') && thread_count(pid) <= 1;
}

void wait_until_ended(pid_t pid)
{
    // The panel's pipe end closes while it is still tearing down its files;
    // wait (at most 150 ms) until it has finished doing so.
    for (int i = 0; i < 150 && !has_ended(pid); ++i) {
        timespec ms{0, 1'000'000};
        nanosleep(&ms, nullptr);
    }
}

void say_no_watchdog(const char* call, int err)
{
    write_diagnostic_line(std::string("korvel: no watchdog (") + call + ": " + std::strerror(err) +
                          "); the board is kept safe on normal exits and crashes, but not after "
                          "a kill -9");
}

// The first pause before a port is claimed again; each further one is twice
// as long.
constexpr int first_reclaim_pause_ms = 10;

// One port claimed afresh for one base: the safe state written, the port let
// go. "" when the port took every write; otherwise why not, as the port says.
// `gone` is set when there are no ports to reopen.
std::string secure_once(const Reopen& reopen, int base, bool* gone)
{
    const std::unique_ptr<Port> port = reopen();
    if (!port) {
        *gone = true;
        return {};
    }
    if (std::string why = port->fault(base); !why.empty())
        return why;
    write_safe_state(*port, base);
    // A write the port refused has turned the base absent.
    return port->fault(base);
}

[[noreturn]] void watchdog_main(int pipe_read, pid_t panel, Registry& registry,
                                const Reopen& reopen)
{
    prctl(PR_SET_NAME, "korvel-guard", 0, 0, 0);
    // Out of the terminal's process group: Ctrl-C and a hang-up go to the
    // panel, which then exits by itself and tells us.
    setpgid(0, 0);
    signal(SIGINT, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);

    char byte;
    for (;;) {
        const ssize_t n = read(pipe_read, &byte, 1);
        if (n == 0)
            break; // the panel's end of the pipe closed: the panel is gone
        if (n < 0 && errno != EINTR)
            break;
    }
    wait_until_ended(panel);
    int status = 1;
    try {
        status = secure_after_panel_end(registry, reopen, real_watchdog_io());
    } catch (...) {
        write_diagnostic_line("korvel: the panel ended without its own exit, and its watchdog "
                              "failed; start korvel again to put its ports into the safe state");
    }
    _exit(status);
}

} // namespace

WatchdogIo real_watchdog_io()
{
    return {write_diagnostic_line, [](int ms) {
                timespec left{ms / 1000, (ms % 1000) * 1'000'000L};
                while (nanosleep(&left, &left) != 0 && errno == EINTR) {
                }
            }};
}

int secure_after_panel_end(Registry& registry, const Reopen& reopen, const WatchdogIo& io)
{
    if (registry.finished.load() != 0)
        return 0;
    const int count = std::min(registry.count.load(), Registry::max_bases);
    int status = 0;
    for (int i = 0; i < count; ++i) {
        const int base = registry.bases[i].load();
        // The port may not be free at once: the kernel may still be letting
        // go of the panel's claim.
        bool gone = false;
        std::string why = secure_once(reopen, base, &gone);
        for (int waited = 0, pause = first_reclaim_pause_ms;
             !gone && !why.empty() && waited < reclaim_budget_ms; pause *= 2) {
            const int step = std::min(pause, reclaim_budget_ms - waited);
            io.pause(step);
            waited += step;
            why = secure_once(reopen, base, &gone);
        }
        if (gone)
            break;
        const std::string port = "korvel: the panel ended without its own exit; the port at " +
                                 hex_address(base);
        if (why.empty()) {
            io.say(port + " was put into the safe state");
        } else {
            io.say(port + " could NOT be put into the safe state: " + why);
            status = 1;
        }
    }
    registry.finished.store(1);
    return status;
}

pid_t start_watchdog(Registry& registry, Reopen reopen)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        say_no_watchdog("pipe", errno);
        return -1;
    }
    const pid_t panel = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        say_no_watchdog("fork", errno);
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    if (pid == 0) {
        close(fds[1]);
        watchdog_main(fds[0], panel, registry, reopen);
    }
    // The panel keeps only the write end, open until it ends.
    close(fds[0]);
    return pid;
}

} // namespace korvel::guard
