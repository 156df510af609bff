#include "sim/simulated.h"

#include "port/registers.h"
#include "port/text.h"

#include "sim/board_state.h"
#include "sim/clock.h"
#include "sim/sim_board.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace korvel::sim {

namespace {

// The board korvel-sim runs on: real time, the set-point as the
// voltmeter's input.
class SimulatedBoard : public Port {
public:
    SimulatedBoard()
        : shared_(map_shared()), board_(clock_, DualSlopeConverter::default_clock_hz, shared_)
    {
        board_.use_setpoint_input();
    }
    ~SimulatedBoard() override { unmap_state(shared_); }
    SimulatedBoard(const SimulatedBoard&) = delete;
    SimulatedBoard& operator=(const SimulatedBoard&) = delete;

    std::int16_t Inp32(std::int16_t address) override { return board_.Inp32(address); }
    void Out32(std::int16_t address, std::int16_t value) override { board_.Out32(address, value); }
    std::string fault(int base) override { return board_.fault(base); }
    std::int64_t now_ns() override { return board_.now_ns(); }

private:
    // Test-only hook: when KORVEL_SIM_STATE names a file, the board's
    // registers, latches and last writes live in that file, so a test can
    // read the latches of a running or ended korvel-sim. Not a setting for
    // users: the panel itself is configured by nothing from outside.
    static BoardState* map_shared()
    {
        const char* path = std::getenv("KORVEL_SIM_STATE");
        if (!path || !*path)
            return nullptr;
        std::string error;
        BoardState* s = map_state_file(path, &error);
        if (!s)
            write_diagnostic_line(std::string("korvel-sim: cannot keep the board state in ") +
                                  path + " (" + error +
                                  "); the board state stays in memory: check the path named by "
                                  "KORVEL_SIM_STATE");
        return s;
    }

    RealClock clock_;
    BoardState* shared_;
    SimBoard board_;
};

// One owner per board: the process that runs a board kept in a state file
// holds an exclusive lock on "<file>.lock", which names its pid. The lock
// goes with the process, however it ends.
class BoardLock {
public:
    BoardLock() = default;
    BoardLock(const BoardLock&) = delete;
    BoardLock& operator=(const BoardLock&) = delete;
    ~BoardLock()
    {
        if (fd_ >= 0)
            close(fd_);
    }

    // Takes the lock; false when another process holds it (*holder: its
    // pid as written in the lock file, or empty).
    bool take(const std::string& path, std::string* holder)
    {
        const std::string lock_path = path + ".lock";
        fd_ = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0)
            return true; // no lock to be had: run as before
        if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            char buf[32] = {};
            const ssize_t n = pread(fd_, buf, sizeof buf - 1, 0);
            holder->assign(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
            while (!holder->empty() && (holder->back() == '\n' || holder->back() == ' '))
                holder->pop_back();
            close(fd_);
            fd_ = -1;
            return false;
        }
        const std::string pid = std::to_string(getpid()) + "\n";
        if (ftruncate(fd_, 0) == 0)
            (void)!pwrite(fd_, pid.data(), pid.size(), 0);
        return true;
    }

private:
    int fd_ = -1;
};

// The latches of a korvel-sim that has gone, reached through its file.
class StateFilePort : public Port {
public:
    StateFilePort(BoardState* s, std::unique_ptr<BoardLock> lock)
        : state_(s), lock_(std::move(lock))
    {
    }
    ~StateFilePort() override { unmap_state(state_); }
    StateFilePort(const StateFilePort&) = delete;
    StateFilePort& operator=(const StateFilePort&) = delete;

    std::int16_t Inp32(std::int16_t address) override
    {
        if (reg::base_of(address) != SimBoard::board_base)
            return 255;
        const Registers r = registers(*state_);
        switch (reg::offset_of(address)) {
        case reg::data_offset: return r.data;
        case reg::control_offset: return r.control;
        default: return 255;
        }
    }
    void Out32(std::int16_t address, std::int16_t value) override
    {
        if (reg::base_of(address) == SimBoard::board_base)
            board_write(*state_, reg::offset_of(address), static_cast<std::uint8_t>(value & 255),
                        clock_.now_ns());
    }
    std::string fault(int base) override
    {
        return base == SimBoard::board_base ? std::string() : "no simulated board at this address";
    }

private:
    BoardState* state_;
    RealClock clock_;
    std::unique_ptr<BoardLock> lock_;
};

// The board of another korvel-sim: nothing answers here.
class HeldBoard : public Port {
public:
    explicit HeldBoard(std::string why) : why_(std::move(why)) {}
    std::int16_t Inp32(std::int16_t) override { return 255; }
    void Out32(std::int16_t, std::int16_t) override {}
    std::string fault(int) override { return why_; }

private:
    std::string why_;
};

// A board kept in a state file, with its lock held for the whole run.
class LockedBoard : public Port {
public:
    explicit LockedBoard(std::unique_ptr<BoardLock> lock) : lock_(std::move(lock)) {}
    std::int16_t Inp32(std::int16_t address) override { return board_.Inp32(address); }
    void Out32(std::int16_t address, std::int16_t value) override { board_.Out32(address, value); }
    std::string fault(int base) override { return board_.fault(base); }

private:
    std::unique_ptr<BoardLock> lock_; // taken before the board starts the file afresh
    SimulatedBoard board_;
};

// Who holds the board kept in `path`, as the lock file names it.
std::string held_by(const char* path, const std::string& holder)
{
    const std::string who = holder.empty() ? "another korvel-sim" : "process " + holder;
    return std::string("the simulated board in ") + path + " is held by " + who;
}

} // namespace

std::unique_ptr<Port> make_simulated_board()
{
    const char* path = std::getenv("KORVEL_SIM_STATE");
    if (!path || !*path)
        return std::make_unique<SimulatedBoard>();
    auto lock = std::make_unique<BoardLock>();
    std::string holder;
    if (!lock->take(path, &holder)) {
        const std::string why = held_by(path, holder);
        write_diagnostic_line("korvel-sim: port 0x378: " + why +
                              "; the port reads as absent here: stop that korvel-sim first");
        return std::make_unique<HeldBoard>(why + "; stop that korvel-sim first");
    }
    return std::make_unique<LockedBoard>(std::move(lock));
}

std::unique_ptr<Port> reopen_simulated_board()
{
    const char* path = std::getenv("KORVEL_SIM_STATE");
    if (!path || !*path)
        return nullptr;
    // Only a board no live process holds: the board of a korvel-sim that
    // found it held belongs to the one that holds it.
    auto lock = std::make_unique<BoardLock>();
    std::string holder;
    if (!lock->take(path, &holder))
        return std::make_unique<HeldBoard>(held_by(path, holder) +
                                           "; stop that korvel-sim, then start korvel-sim again");
    BoardState* s = attach_state_file(path);
    if (!s)
        return std::make_unique<HeldBoard>(std::string("the simulated board in ") + path +
                                           " cannot be reached; start korvel-sim again");
    return std::make_unique<StateFilePort>(s, std::move(lock));
}

} // namespace korvel::sim
