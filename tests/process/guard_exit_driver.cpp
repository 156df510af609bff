// Ends a live panel one way and checks that the board was left safe.
//
// Starts the real korvel-sim offscreen with its board state in a scratch
// file, switches it ON in mode "ZEP" with the set-point 30000 (latches 48
// and 117), waits until the board shows that, and ends the program one way:
// a user action (Exit, closing the window, an uncaught exception, a real
// segmentation fault) or a signal from outside. It then checks that
//  - the program ended as that way should (status 0, or killed by the
//    signal, or aborted);
//  - the board holds data 255, low latch 255 and control 12;
//  - the last writes are the safe-state sequence (0x378 <- 255, 0x37A <- 3,
//    0x37A <- 0, 0x37A <- 12) exactly once after the last live write, and
//    nothing follows it, the watchdog included;
//  - the safe state was on the board within 200 ms of the program's end
//    (the file is polled every millisecond from the moment the signal was
//    sent or the action was due);
//  - the watchdog spoke (one line) only when the panel could not finish its
//    own exit, and no sanitizer reported anything.
//
// With "two-ports" the panel first moves to the absent port 0x278 while ON,
// so the board at 0x378 is left live by the panel: the program's end must
// still secure it.
//
//   guard_exit_driver KORVEL_SIM WAY [two-ports]
//   WAY: exit close throw segv-fault SIGINT SIGTERM SIGHUP SIGSEGV SIGBUS
//        SIGABRT SIGFPE SIGILL SIGKILL SIGQUIT SIGPIPE SIGALRM SIGUSR1 SIGXCPU
#include "guard_process.h"

using namespace guard_process;

namespace {

struct Way {
    const char* name;
    const char* action;  // the scripted action that ends the panel, or nullptr
    int signal;          // the signal sent from outside, or 0
    int killed_by;       // the signal that must end the process; 0 for status 0
};

constexpr Way ways[] = {
    {"exit", "click exit_button", 0, 0},
    {"close", "close", 0, 0},
    {"throw", "throw", 0, SIGABRT},
    {"segv-fault", "segv", 0, SIGSEGV},
    {"SIGINT", nullptr, SIGINT, 0},
    {"SIGTERM", nullptr, SIGTERM, 0},
    {"SIGHUP", nullptr, SIGHUP, 0},
    {"SIGSEGV", nullptr, SIGSEGV, SIGSEGV},
    {"SIGBUS", nullptr, SIGBUS, SIGBUS},
    {"SIGABRT", nullptr, SIGABRT, SIGABRT},
    {"SIGFPE", nullptr, SIGFPE, SIGFPE},
    {"SIGILL", nullptr, SIGILL, SIGILL},
    {"SIGKILL", nullptr, SIGKILL, SIGKILL},
    // Other signals whose default action ends a program: Ctrl-\, a closed
    // pipe, stray timer and user signals.
    {"SIGQUIT", nullptr, SIGQUIT, SIGQUIT},
    {"SIGPIPE", nullptr, SIGPIPE, SIGPIPE},
    {"SIGALRM", nullptr, SIGALRM, SIGALRM},
    {"SIGUSR1", nullptr, SIGUSR1, SIGUSR1},
    {"SIGXCPU", nullptr, SIGXCPU, SIGXCPU},
};

// Panel ON in mode "ZEP" with the set-point 20000 + 5000 + 5000 = 30000:
// low latch 0x30 = 48, high latch 0x75 = 117.
constexpr const char* power_on_at_30000 =
    "click power_button;set coarse_spin 20000;set medium_spin 5000;set fine_spin 5000";
constexpr int live_lo = 48, live_hi = 117;

// The safety budget: from the end of the program to the safe state on the
// board. The only duration this test asserts.
constexpr double budget_ms = 200;

// Everything else is generous: the machine may be slow, busy and sanitized.
constexpr auto start_limit = std::chrono::seconds(120);
constexpr auto end_limit = std::chrono::seconds(120);

bool is_safe(const korvel::sim::Registers& r)
{
    return r.data == 255 && r.latch_lo == 255 && r.control == 12;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || argc > 4 || (argc == 4 && std::string(argv[3]) != "two-ports")) {
        std::fprintf(stderr, "usage: %s KORVEL_SIM WAY [two-ports]\n", argv[0]);
        return 2;
    }
    const Way* way = nullptr;
    for (const Way& w : ways)
        if (argv[2] == std::string(w.name))
            way = &w;
    if (!way) {
        std::fprintf(stderr, "%s: unknown way out '%s'\n", argv[0], argv[2]);
        return 2;
    }
    const bool two_ports = argc == 4;

    Scratch scratch;
    if (!scratch.ok()) {
        std::fprintf(stderr, "cannot create a scratch folder in /tmp: %s\n", std::strerror(errno));
        return 2;
    }
    become_subreaper();
    const std::string state_file = scratch.path("board");
    const std::string log_file = scratch.path("stderr");

    // The script: ON and live; then, with two ports, on to 0x278 (the
    // refresh goes there from the next tick); then the ending action, if the
    // panel ends by one. A refresh_timer tick (100 ms) falls due before each wait
    // has passed, whatever the load, since timers fire in deadline order.
    std::string actions = power_on_at_30000;
    if (two_ports)
        actions += ";wait 500;select port_selector &H278";
    if (way->action)
        actions += std::string(";wait 1000;") + way->action;

    const pid_t child = start_sim(argv[1], scratch, state_file, actions, log_file);
    if (child < 0) {
        std::fprintf(stderr, "cannot start korvel-sim: %s\n", std::strerror(errno));
        return 2;
    }
    auto give_up = [&](const std::string& why) {
        std::fprintf(stderr, "FAIL: %s\n--- korvel-sim said:\n%s", why.c_str(),
                     read_text(log_file).c_str());
        kill(child, SIGKILL);
        while (!no_descendants_left() && waitpid(-1, nullptr, 0) > 0) {
        }
        return 1;
    };

    const BoardState* state = wait_for_state(state_file, child, Clock::now() + start_limit);
    if (!state)
        return give_up("korvel-sim did not create its board state file");
    if (!wait_for_latches(*state, live_lo, live_hi, child, Clock::now() + start_limit))
        return give_up("the panel did not drive the set-point 30000 (latches 48 and 117) "
                       "before it ended or within the time limit");
    if (two_ports &&
        !wait_for_line(log_file, "port 0x278", child, Clock::now() + start_limit))
        return give_up("the panel did not move to the port at 0x278");

    // From here every millisecond counts: the end, the safe state, and
    // whatever follows it.
    Clock::time_point sent = Clock::now();
    if (way->signal) {
        if (two_ports)
            sleep_ms(300); // a refresh tick or so on 0x278
        sent = Clock::now();
        kill(child, way->signal);
    }

    bool has_ended = false, is_safe_now = false;
    Clock::time_point end_at{};   // the program ended
    Clock::time_point safe_at{};  // the board turned safe, and stayed so
    std::uint64_t writes_when_safe = 0;
    int status = 0;
    int descendant_failures = 0;
    bool left_safe_state = false;
    const auto limit = sent + end_limit;
    while (Clock::now() < limit) {
        for (const Ended& e : reap_ended()) {
            if (e.pid == child) {
                status = e.status;
                end_at = e.at;
                has_ended = true;
            } else if (!(WIFEXITED(e.status) && WEXITSTATUS(e.status) == 0)) {
                std::fprintf(stderr, "FAIL: a descendant of korvel-sim (pid %d) %s\n", e.pid,
                             describe_status(e.status).c_str());
                ++descendant_failures;
            }
        }
        const korvel::sim::Registers r = korvel::sim::registers(*state);
        if (is_safe(r)) {
            if (!is_safe_now) {
                is_safe_now = true;
                safe_at = Clock::now();
                writes_when_safe = korvel::sim::snapshot(*state).writes;
            }
        } else if (is_safe_now) {
            // Something drove the board again after it was safe.
            left_safe_state = true;
            is_safe_now = false;
        }
        if (has_ended && no_descendants_left())
            break;
        sleep_ms(1);
    }
    if (!has_ended)
        return give_up("korvel-sim did not end within " +
                       std::to_string(std::chrono::seconds(end_limit).count()) + " s");
    // A SIGKILL ends the program at once; any other end is when it was seen.
    const Clock::time_point ended = way->signal == SIGKILL ? sent : end_at;

    const std::string log = read_text(log_file);
    const BoardState s = korvel::sim::snapshot(*state);

    // How it ended.
    if (way->killed_by == 0)
        check(WIFEXITED(status) && WEXITSTATUS(status) == 0,
              "korvel-sim " + describe_status(status) + ", not with status 0");
    else
        check(WIFSIGNALED(status) && WTERMSIG(status) == way->killed_by,
              "korvel-sim " + describe_status(status) + ", not killed by signal " +
                  std::to_string(way->killed_by) + " (" + strsignal(way->killed_by) + ")");
    check(descendant_failures == 0, "the watchdog did not end cleanly");
    check(no_descendants_left(), "a descendant of korvel-sim was still running at the end");

    // The board.
    check(s.data == 255 && s.latch_lo == 255 && s.control == 12,
          "the board was left with data " + std::to_string(s.data) + ", low latch " +
              std::to_string(s.latch_lo) + ", control " + std::to_string(s.control) +
              " (safe: 255, 255, 12)");
    check(!left_safe_state, "the board was driven again after it had been made safe");
    const int sequences = trailing_safe_sequences(s);
    check(sequences == 1, "the last writes hold " + std::to_string(sequences) +
                              " safe-state sequences after the last live write, not 1: ..." +
                              describe_tail(s, 12));
    check(s.recent(4).seq != 0, "no live write is left before the safe-state sequence");
    check(is_safe_now && s.writes == writes_when_safe,
          std::to_string(s.writes - writes_when_safe) +
              " writes followed the safe state: ..." + describe_tail(s, 12));

    // The budget.
    if (is_safe_now) {
        const double late = ms_between(ended, safe_at);
        check(late <= budget_ms, "the safe state came " + std::to_string(late) +
                                     " ms after the end of korvel-sim (budget " +
                                     std::to_string(budget_ms) + " ms)");
        std::printf("%s%s: safe state %.1f ms %s the end\n", way->name,
                    two_ports ? " (two ports)" : "", late < 0 ? -late : late,
                    late < 0 ? "before" : "after");
    }

    // Who secured it: the watchdog only when the panel could not.
    const auto watchdog_lines = lines_with(log, "ended without its own exit");
    const auto watchdog_378 = lines_with(log, "the port at 0x378 was put into the safe state");
    if (way->signal == SIGKILL) {
        check(watchdog_378.size() == 1,
              "the watchdog reported the port at 0x378 " + std::to_string(watchdog_378.size()) +
                  " times, not once");
        // 0x278 has no simulated board: the panel never held it.
        for (const std::string& line : watchdog_lines)
            check(line.find("0x378") != std::string::npos,
                  "the watchdog spoke of a port the panel never held: " + line);
    }
    else
        check(watchdog_lines.empty(),
              "the watchdog acted although the panel finished its own exit: " +
                  (watchdog_lines.empty() ? std::string() : watchdog_lines.front()));
    for (const std::string& line : sanitizer_reports(log))
        check(false, "sanitizer report: " + line);

    korvel::sim::unmap_state(state);
    if (failures != 0)
        std::fprintf(stderr, "--- korvel-sim said:\n%s", log.c_str());
    std::printf("%s%s: %s\n", way->name, two_ports ? " (two ports)" : "",
                failures == 0 ? "passed" : "failed");
    return failures == 0 ? 0 : 1;
}
