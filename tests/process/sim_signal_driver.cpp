// Starts the real korvel-sim (offscreen, its board state in a scratch file),
// waits until the panel has loaded, sends it a termination signal with the
// panel left OFF, and checks that it exits with status 0 having left the
// board in the safe state: 255 strobed into the low latch, then control
// register 12, as the last writes.
//
//   sim_signal_driver KORVEL_SIM TERM|INT|HUP
#include "sim/board_state.h"
#include "support/temp_tree.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using korvel::sim::BoardState;
using korvel::sim::BoardWrite;
using Clock = std::chrono::steady_clock;

namespace {

int failures = 0;

void check(bool ok, const std::string& what)
{
    if (!ok) {
        std::fprintf(stderr, "FAIL: %s\n", what.c_str());
        ++failures;
    }
}

// The board state file, once korvel-sim has created and initialised it;
// nullptr when it did not in time or the child ended first (*ended set).
const BoardState* wait_for_state(const std::string& path, pid_t child, Clock::time_point until,
                                 bool* ended)
{
    while (Clock::now() < until) {
        std::string error;
        if (const BoardState* s = korvel::sim::map_state_file_readonly(path, &error))
            return s;
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
            *ended = true;
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return nullptr;
}

// Waits for the child to end; -1 when it did not within the time.
int wait_for_exit(pid_t child, Clock::time_point until, int* status)
{
    while (Clock::now() < until) {
        const pid_t r = waitpid(child, status, WNOHANG);
        if (r == child)
            return 0;
        if (r < 0 && errno != EINTR)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

std::string describe(const BoardWrite& w)
{
    return "write " + std::to_string(w.address) + " <- " + std::to_string(w.value);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s KORVEL_SIM TERM|INT|HUP\n", argv[0]);
        return 2;
    }
    const std::string which = argv[2];
    const int sig = which == "TERM" ? SIGTERM : which == "INT" ? SIGINT : which == "HUP" ? SIGHUP : 0;
    if (sig == 0) {
        std::fprintf(stderr, "%s: unknown signal '%s': use TERM, INT or HUP\n", argv[0], argv[2]);
        return 2;
    }

    // The board state file and its lock go with the folder.
    const korvel::TempTree scratch("korvel-sim-signal");
    if (!scratch.ok()) {
        std::fprintf(stderr, "cannot create a scratch folder: %s\n", std::strerror(errno));
        return 2;
    }
    const std::string state_path = scratch.path("board");

    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("KORVEL_SIM_STATE", state_path.c_str(), 1);
    const pid_t child = fork();
    if (child < 0) {
        std::fprintf(stderr, "cannot start korvel-sim: %s\n", std::strerror(errno));
        return 2;
    }
    if (child == 0) {
        execl(argv[1], argv[1], static_cast<char*>(nullptr));
        std::fprintf(stderr, "cannot run %s: %s\n", argv[1], std::strerror(errno));
        _exit(127);
    }

    // Generous limits: the machine may be busy and the build sanitized.
    bool ended = false;
    const BoardState* state =
        wait_for_state(state_path, child, Clock::now() + std::chrono::seconds(60), &ended);
    if (!state) {
        std::fprintf(stderr, "FAIL: korvel-sim %s\n",
                     ended ? "ended before it created its board state file"
                           : "did not create its board state file within 60 s");
        if (!ended) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        return 1;
    }

    // The load's safe-state write comes after the signal handlers are in
    // place; once the board has seen it, a signal is the panel's to handle.
    const auto loaded_by = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < loaded_by && korvel::sim::snapshot(*state).writes < 4)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::uint64_t loaded_writes = korvel::sim::snapshot(*state).writes;
    check(loaded_writes >= 4, "korvel-sim did not run its load sequence");

    kill(child, sig);
    int status = 0;
    if (wait_for_exit(child, Clock::now() + std::chrono::seconds(60), &status) != 0) {
        check(false, "korvel-sim did not end within 60 s of SIG" + which);
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    } else {
        check(WIFEXITED(status), "korvel-sim was ended by signal " +
                                     std::to_string(WIFSIGNALED(status) ? WTERMSIG(status) : 0) +
                                     " instead of exiting");
        check(WIFEXITED(status) && WEXITSTATUS(status) == 0,
              "korvel-sim exited with status " + std::to_string(WEXITSTATUS(status)));
    }

    {
        const BoardState s = korvel::sim::snapshot(*state);
        check(s.latch_lo == 255, "low latch holds " + std::to_string(s.latch_lo) + ", not 255");
        check(s.control == 12, "control register holds " + std::to_string(s.control) + ", not 12");
        // The panel was OFF: the exit's safe-state write is all that follows
        // the load.
        check(s.writes == loaded_writes + 4,
              std::to_string(s.writes - loaded_writes) + " writes after the load, not 4");
        const BoardWrite expected[] = {
            {0, 0, 0x37A, 12, {}}, {0, 0, 0x37A, 0, {}}, {0, 0, 0x37A, 3, {}}, {0, 0, 0x378, 255, {}}};
        for (std::size_t n = 0; n < 4; ++n) {
            const BoardWrite w = s.recent(n);
            check(w.address == expected[n].address && w.value == expected[n].value,
                  "write " + std::to_string(n) + " from the end is " + describe(w) + ", not " +
                      describe(expected[n]));
        }
        korvel::sim::unmap_state(state);
    }

    std::printf("SIG%s: %s\n", which.c_str(), failures == 0 ? "passed" : "failed");
    return failures == 0 ? 0 : 1;
}
