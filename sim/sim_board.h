// The simulated instrument board on the parallel port at 0x378: two output
// latches fed from the data register and the voltmeter converter read
// through the status register, a group of lines at a time.
//
// Status register, by the code last written to the control register
// (bits 3..2 of it choose the group; status bits 0..2 always read 1; bit 3
// carries the conversion line in every group, wired past the selector):
//
//   bits 3..2 = 00 (codes 0, 1, 3)  bit 4 D5 (half digit) drive, bit 5
//                                   polarity (high = positive), bit 6
//                                   over-range, bit 7 under-range
//   bits 3..2 = 10 (code 8)         bits 4..7 digit drives D1..D4
//   bits 3..2 = 11 (code 12)        bits 4..7 BCD value of the driven digit
//                                   (weights 1, 2, 4, 8)
//   bits 3..2 = 01 (code 4)         the selector's unused input: the four
//                                   lines are pulled up and read high
//
// As on every standard port, status bit 7 reads the complement of its line.
// The conversion line is high while the converter is not integrating
// (auto-zero) and rises just when a new result is latched.
//
// Any other base address is an absent port: writes go nowhere, reads give
// 255, and the first access to each such base gets one diagnostic line.
#pragma once

#include "port/port.h"
#include "sim/board_state.h"
#include "sim/clock.h"
#include "sim/converter.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace korvel::sim {

class SimBoard : public Port {
public:
    static constexpr int board_base = 0x378;

    // state: where the registers and latches live (e.g. a shared file from
    // map_state_file); nullptr keeps them inside the board. An outside
    // record is not owned and must outlive the board.
    explicit SimBoard(const Clock& clock,
                      std::int64_t clock_hz = DualSlopeConverter::default_clock_hz,
                      BoardState* state = nullptr);
    SimBoard(const SimBoard&) = delete;
    SimBoard& operator=(const SimBoard&) = delete;

    std::int16_t Inp32(std::int16_t address) override;
    void Out32(std::int16_t address, std::int16_t value) override;
    // "no board here ..." for every base but board_base.
    std::string fault(int base) override;
    // The board's own clock: virtual time in tests, real time in korvel-sim.
    std::int64_t now_ns() override { return clock_.now_ns(); }

    // Where the "no board here" lines go; standard error unless set.
    void set_diagnostic(std::function<void(std::string_view)> sink);

    // Inputs of the converter, in counts (one count per set-point unit).
    // The board's own set-point output: sign from bit 7 of the high latch,
    // magnitude ((high & 0x7F) << 8) | low; optional Gaussian noise from a
    // seeded generator. This is the input at power-on.
    void use_setpoint_input(double noise_counts = 0, std::uint64_t seed = 1);
    void use_fixed_input(double counts);
    // A function of the board clock's time in ns.
    void use_waveform_input(std::function<double(std::int64_t ns)> counts);

    // Faults, for tests.
    // No board on the port: every status line floats high, so the status
    // register reads 127 whatever the code; the latches take nothing.
    void set_no_board(bool absent);
    // Holds the status line of bit 3..7 at a level (before bit 7's
    // inversion); nullopt frees it.
    void stick_status_line(int bit, std::optional<bool> high);
    // Puts a code (0..15) on the BCD lines while digit d is driven (5 = half
    // digit .. 1; 0 = every digit); nullopt ends it.
    void force_bcd(std::optional<int> code, int digit = 0);
    // Stops or restarts the converter's clock.
    void stall_converter(bool stalled);

    // Observation, for tests and the benchmark.
    const BoardState& state() const { return *state_; }
    // The converter as of now.
    const DualSlopeConverter& converter();

private:
    std::uint8_t status_byte();
    double setpoint_counts() const;
    void absent_port(int base);

    const Clock& clock_;
    BoardState own_state_;
    BoardState* state_;
    DualSlopeConverter converter_;
    std::function<void(std::string_view)> diagnostic_;
    std::vector<int> reported_bases_;

    bool no_board_ = false;
    std::uint8_t stuck_mask_ = 0;
    std::uint8_t stuck_high_ = 0;
    std::optional<int> forced_code_;
    int forced_digit_ = 0;
};

} // namespace korvel::sim
