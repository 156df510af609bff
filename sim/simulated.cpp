#include "sim/simulated.h"

#include "port/registers.h"

#include "sim/board_state.h"
#include "sim/clock.h"
#include "sim/sim_board.h"

#include <cstdio>
#include <cstdlib>
#include <string>

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
            std::fprintf(stderr,
                         "korvel-sim: cannot keep the board state in %s (%s); the board state "
                         "stays in memory: check the path named by KORVEL_SIM_STATE\n",
                         path, error.c_str());
        return s;
    }

    RealClock clock_;
    BoardState* shared_;
    SimBoard board_;
};

// The latches of a korvel-sim that has gone, reached through its file.
class StateFilePort : public Port {
public:
    explicit StateFilePort(BoardState* s) : state_(s) {}
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

private:
    BoardState* state_;
    RealClock clock_;
};

} // namespace

std::unique_ptr<Port> make_simulated_board() { return std::make_unique<SimulatedBoard>(); }

std::unique_ptr<Port> reopen_simulated_board()
{
    const char* path = std::getenv("KORVEL_SIM_STATE");
    if (!path || !*path)
        return nullptr;
    BoardState* s = attach_state_file(path);
    if (!s)
        return nullptr;
    return std::make_unique<StateFilePort>(s);
}

} // namespace korvel::sim
