// A second korvel-sim on a board that a first one holds (both given the same
// board state file): the first keeps the board, the second runs on without
// it and says so, and neither the second's end nor its watchdog touches the
// board the first still drives.
//
//  1. The first is switched ON at the set-point 30000 (latches 48 and 117).
//  2. The second starts on the same file and is switched ON at -10000
//     (latches 16 and 167). It prints one line naming the first's pid, and
//     none of its writes reach the file: the first's latches stay, the file
//     is not truncated (its write count only grows), and no byte the first
//     never writes (255, 16, 167) appears among the board's writes.
//  3. The second is ended (SIGTERM: status 0; or SIGKILL: its watchdog must
//     leave the first's board alone), and the first still drives its
//     set-point afterwards.
//  4. The first ends with SIGTERM: status 0 and the board safe.
//
//   guard_second_instance_driver KORVEL_SIM TERM|KILL
#include "guard_process.h"

#include <cctype>
#include <set>

using namespace guard_process;

namespace {

constexpr const char* first_actions =
    "click power_button;set coarse_spin 20000;set medium_spin 5000;set fine_spin 5000";
constexpr int first_lo = 48, first_hi = 117;  // 30000 = 0x7530
constexpr const char* second_actions = "click power_button;set coarse_spin -10000";
// -10000: magnitude 0x2710, sign in bit 7 of the high latch.
constexpr int second_lo = 0x10, second_hi = 0x27 | 0x80;

constexpr auto limit = std::chrono::seconds(120);

// Watches the first's board for `ms` of real time (every millisecond):
// its latches must stay, its write count must only grow, and only the data
// bytes the first writes may appear.
void watch_first_board(const BoardState& state, int ms, const char* during)
{
    const auto until = Clock::now() + milliseconds(ms);
    std::uint64_t last_writes = korvel::sim::snapshot(state).writes;
    std::set<std::string> odd;
    bool latches_moved = false, shrank = false, invalid = false;
    while (Clock::now() < until) {
        const BoardState s = korvel::sim::snapshot(state);
        invalid = invalid || !s.valid();
        latches_moved = latches_moved || s.latch_lo != first_lo || s.latch_hi != first_hi;
        shrank = shrank || s.writes < last_writes;
        for (std::size_t n = 0; n < BoardState::ring_size; ++n) {
            const BoardWrite w = s.recent(n);
            if (w.seq == 0 || w.seq <= last_writes)
                break;
            if (w.address == 0x378 && w.value != first_lo && w.value != first_hi)
                odd.insert(describe(w));
            if (w.address != 0x378 && w.address != 0x37A)
                odd.insert(describe(w));
        }
        last_writes = s.writes;
        sleep_ms(1);
    }
    const BoardState s = korvel::sim::snapshot(state);
    check(!invalid, std::string("the board state file was reset or damaged ") + during);
    check(!latches_moved, std::string("the first's latches changed ") + during + " (now " +
                              std::to_string(s.latch_lo) + ", " + std::to_string(s.latch_hi) +
                              ")");
    check(!shrank, std::string("the board's write count went back (the file was truncated) ") +
                       during);
    for (const std::string& w : odd)
        check(false, std::string("a write the first never makes reached the board ") + during +
                         ": " + w);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3 || (std::string(argv[2]) != "TERM" && std::string(argv[2]) != "KILL")) {
        std::fprintf(stderr, "usage: %s KORVEL_SIM TERM|KILL\n", argv[0]);
        return 2;
    }
    const bool kill_second = std::string(argv[2]) == "KILL";
    Scratch scratch;
    if (!scratch.ok()) {
        std::fprintf(stderr, "cannot create a scratch folder in /tmp: %s\n", std::strerror(errno));
        return 2;
    }
    become_subreaper();
    const std::string board = scratch.path("board");
    const std::string first_log = scratch.path("first.log");
    const std::string second_log = scratch.path("second.log");

    const pid_t first = start_sim(argv[1], scratch, board, first_actions, first_log);
    pid_t second = -1;
    auto give_up = [&](const std::string& why) {
        std::fprintf(stderr, "FAIL: %s\n--- the first said:\n%s--- the second said:\n%s",
                     why.c_str(), read_text(first_log).c_str(), read_text(second_log).c_str());
        kill(first, SIGKILL);
        if (second > 0)
            kill(second, SIGKILL);
        while (!no_descendants_left() && waitpid(-1, nullptr, 0) > 0) {
        }
        return 1;
    };
    const BoardState* state = wait_for_state(board, first, Clock::now() + limit);
    if (!state)
        return give_up("the first korvel-sim did not create its board state file");
    if (!wait_for_latches(*state, first_lo, first_hi, first, Clock::now() + limit))
        return give_up("the first korvel-sim did not drive its set-point 30000");

    // The second: it must find the board held and name the holder.
    second = start_sim(argv[1], scratch, board, second_actions, second_log);
    const std::string holder = std::to_string(first);
    const auto named_holder = [&] {
        std::vector<std::string> named;
        for (const std::string& line : lines_with(read_text(second_log), holder)) {
            // The pid as a number of its own, not part of a longer one.
            const std::size_t at = line.find(holder);
            const bool before = at == 0 || !std::isdigit(static_cast<unsigned char>(line[at - 1]));
            const std::size_t end = at + holder.size();
            const bool after =
                end == line.size() || !std::isdigit(static_cast<unsigned char>(line[end]));
            if (before && after)
                named.push_back(line);
        }
        return named;
    };
    const auto until = Clock::now() + limit;
    while (Clock::now() < until && named_holder().empty() && kill(second, 0) == 0) {
        // The first's board must hold while the second starts, too.
        const auto r = korvel::sim::registers(*state);
        if (r.latch_lo != first_lo || r.latch_hi != first_hi ||
            !korvel::sim::snapshot(*state).valid())
            break;
        sleep_ms(1);
    }
    check(named_holder().size() == 1,
          "the second korvel-sim did not say in one line that pid " + holder +
              " holds the board (lines naming it: " + std::to_string(named_holder().size()) + ")");

    // The second runs ON with its own set-point: ten refresh periods and more.
    watch_first_board(*state, 1500, "while the second ran");
    int status = 0;
    check(waitpid(second, &status, WNOHANG) == 0,
          "the second korvel-sim ended by itself: " + describe_status(status));

    // The second's end, and its watchdog's.
    kill(second, kill_second ? SIGKILL : SIGTERM);
    bool second_ended = false;
    std::vector<Ended> others;
    const auto end_by = Clock::now() + limit;
    while (Clock::now() < end_by) {
        for (const Ended& e : reap_ended()) {
            if (e.pid == second) {
                second_ended = true;
                status = e.status;
            } else {
                others.push_back(e);
            }
        }
        // Both watchdogs are descendants; the first's lives on, so wait for
        // the second's to be reaped too (one ended descendant besides it).
        if (second_ended && !others.empty())
            break;
        sleep_ms(1);
    }
    check(second_ended, "the second korvel-sim did not end within the time limit");
    if (kill_second)
        check(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL,
              "the second korvel-sim " + describe_status(status) + " on SIGKILL");
    else
        check(WIFEXITED(status) && WEXITSTATUS(status) == 0,
              "the second korvel-sim " + describe_status(status) + " on SIGTERM, not status 0");
    check(others.size() == 1, "the second's watchdog did not end after it");
    for (const Ended& e : others)
        check(WIFEXITED(e.status) && WEXITSTATUS(e.status) == 0,
              "a watchdog " + describe_status(e.status));
    watch_first_board(*state, 500, "after the second ended");
    check(waitpid(first, &status, WNOHANG) == 0,
          "the first korvel-sim ended: " + describe_status(status));

    const std::string second_said = read_text(second_log);
    // The second never held the board: its watchdog has nothing to say.
    check(lines_with(second_said, "put into the safe state").empty() || !kill_second,
          "the second's watchdog claims to have secured the board the first holds");
    for (const std::string& line : lines_with(second_said, "ended without its own exit"))
        check(false, "the second's watchdog spoke of a board it never held: " + line);
    for (const std::string& line : sanitizer_reports(second_said))
        check(false, "sanitizer report from the second: " + line);

    // The first still owns the board: its own end leaves it safe.
    kill(first, SIGTERM);
    bool first_ended = false;
    const auto first_by = Clock::now() + limit;
    while (Clock::now() < first_by && !no_descendants_left()) {
        for (const Ended& e : reap_ended())
            if (e.pid == first) {
                first_ended = true;
                status = e.status;
            }
        sleep_ms(1);
    }
    check(first_ended && WIFEXITED(status) && WEXITSTATUS(status) == 0,
          "the first korvel-sim " + (first_ended ? describe_status(status) : "did not end") +
              " on SIGTERM");
    const BoardState s = korvel::sim::snapshot(*state);
    check(s.latch_lo == 255 && s.control == 12 && trailing_safe_sequences(s) == 1,
          "the first's exit did not leave the board safe: ..." + describe_tail(s, 8));
    for (const std::string& line : sanitizer_reports(read_text(first_log)))
        check(false, "sanitizer report from the first: " + line);

    korvel::sim::unmap_state(state);
    if (failures != 0)
        std::fprintf(stderr, "--- the first said:\n%s--- the second said:\n%s",
                     read_text(first_log).c_str(), second_said.c_str());
    std::printf("second instance (%s): %s\n", argv[2], failures == 0 ? "passed" : "failed");
    return failures == 0 ? 0 : 1;
}
