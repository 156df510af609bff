// What the guard's process tests share: a scratch folder, korvel-sim started
// offscreen with its board state in a file and its standard error kept, the
// board state watched every millisecond, and the descendants (the panel's
// watchdog among them) reaped by this driver as their subreaper.
#pragma once

#include "support/temp_tree.h"
#include "sim/board_state.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace guard_process {

using korvel::sim::BoardState;
using korvel::sim::BoardWrite;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline int failures = 0;

inline void check(bool ok, const std::string& what)
{
    if (!ok) {
        std::fprintf(stderr, "FAIL: %s\n", what.c_str());
        ++failures;
    }
}

inline double ms_between(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

inline void sleep_ms(int ms) { std::this_thread::sleep_for(milliseconds(ms)); }

using Scratch = korvel::TempTree;

// Makes this driver the reaper of every orphaned descendant, so that the
// watchdog of a korvel-sim that ended comes back to it and can be waited for.
inline void become_subreaper()
{
    if (prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0)
        std::fprintf(stderr, "note: cannot become a subreaper (%s); watchdogs are not waited for\n",
                     std::strerror(errno));
}

// Starts korvel-sim offscreen with its board state in `state_file`, the test
// actions `actions`, and its standard output and error in `log_file`. Core
// dumps are off: crashes are expected here.
inline pid_t start_sim(const std::string& exe, const Scratch& scratch,
                       const std::string& state_file, const std::string& actions,
                       const std::string& log_file)
{
    const std::string runtime = scratch.path("runtime");
    mkdir(runtime.c_str(), 0700);
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    if (chdir(scratch.dir().c_str()) != 0)
        _exit(126);
    const int log = open(log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (log >= 0) {
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
        close(log);
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("KORVEL_SIM_STATE", state_file.c_str(), 1);
    setenv("KORVEL_SIM_ACTIONS", actions.c_str(), 1);
    // Sanitizer builds: the crash signals are the program's own to handle,
    // not the sanitizer runtime's (which would end the process its own way).
    setenv("ASAN_OPTIONS",
           "detect_leaks=0:handle_segv=0:handle_sigbus=0:handle_abort=0:handle_sigfpe=0:"
           "handle_sigill=0:allow_user_segv_handler=1",
           1);
    signal(SIGINT, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
    std::fprintf(stderr, "cannot run %s: %s\n", exe.c_str(), std::strerror(errno));
    _exit(127);
}

inline std::string read_text(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::vector<std::string> lines_with(const std::string& text, const std::string& part)
{
    std::vector<std::string> found;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.find(part) != std::string::npos)
            found.push_back(line);
    return found;
}

// Lines a sanitizer runtime writes when it finds a fault.
inline std::vector<std::string> sanitizer_reports(const std::string& text)
{
    std::vector<std::string> found;
    for (const char* mark : {"ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer"})
        for (auto& l : lines_with(text, mark))
            found.push_back(std::move(l));
    return found;
}

// The board state file once korvel-sim has created it; nullptr when the
// child ended first or the time ran out.
inline const BoardState* wait_for_state(const std::string& path, pid_t child,
                                        Clock::time_point until)
{
    while (Clock::now() < until) {
        if (const BoardState* s = korvel::sim::map_state_file_readonly(path))
            return s;
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child)
            return nullptr;
        sleep_ms(5);
    }
    return nullptr;
}

// Waits until the latches hold lo and hi; false when the child ended or the
// time ran out first.
inline bool wait_for_latches(const BoardState& s, int lo, int hi, pid_t child,
                             Clock::time_point until)
{
    while (Clock::now() < until) {
        const auto r = korvel::sim::registers(s);
        if (r.latch_lo == lo && r.latch_hi == hi)
            return true;
        if (kill(child, 0) != 0)
            return false;
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child)
            return false;
        sleep_ms(1);
    }
    return false;
}

// Waits until the file holds a line containing `part`.
inline bool wait_for_line(const std::string& file, const std::string& part, pid_t child,
                          Clock::time_point until)
{
    while (Clock::now() < until) {
        if (!lines_with(read_text(file), part).empty())
            return true;
        if (kill(child, 0) != 0)
            return false;
        sleep_ms(10);
    }
    return false;
}

struct Ended {
    pid_t pid;
    int status;
    Clock::time_point at;
};

// Reaps whatever descendants have ended, without waiting.
inline std::vector<Ended> reap_ended()
{
    std::vector<Ended> ended;
    for (;;) {
        int status = 0;
        const pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0)
            break;
        ended.push_back({pid, status, Clock::now()});
    }
    return ended;
}

// True when no descendant is left, running or unreaped; reaps nothing.
inline bool no_descendants_left()
{
    siginfo_t info{};
    errno = 0;
    return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) < 0 && errno == ECHILD;
}

inline std::string describe_status(int status)
{
    if (WIFEXITED(status))
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("was killed by signal ") + std::to_string(WTERMSIG(status)) + " (" +
               strsignal(WTERMSIG(status)) + ")";
    return "ended in an unknown way (" + std::to_string(status) + ")";
}

inline std::string hex(unsigned v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", v);
    return buf;
}

inline std::string describe(const BoardWrite& w)
{
    if (w.seq == 0)
        return "(none)";
    return hex(w.address) + " <- " + std::to_string(w.value);
}

// The safe-state writes on the board at 0x378, last one first (as recent()
// counts them).
inline constexpr std::pair<unsigned, unsigned> safe_tail[4] = {
    {0x37A, 12}, {0x37A, 0}, {0x37A, 3}, {0x378, 255}};

// How many whole safe-state sequences end the record of writes, one right
// after another.
inline int trailing_safe_sequences(const BoardState& s)
{
    int count = 0;
    for (std::size_t from = 0; from + 4 <= BoardState::ring_size; from += 4) {
        bool whole = true;
        for (std::size_t i = 0; i < 4 && whole; ++i) {
            const BoardWrite w = s.recent(from + i);
            whole = w.seq != 0 && w.address == safe_tail[i].first &&
                    w.value == safe_tail[i].second;
        }
        if (!whole)
            break;
        ++count;
    }
    return count;
}

inline std::string describe_tail(const BoardState& s, std::size_t n)
{
    std::string text;
    for (std::size_t i = n; i-- > 0;) {
        const BoardWrite w = s.recent(i);
        if (w.seq == 0)
            continue;
        if (!text.empty())
            text += ", ";
        text += describe(w);
    }
    return text;
}

} // namespace guard_process
