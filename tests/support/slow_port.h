// A slow port in front of the simulated board, for tests of the voltmeter
// reader: each access may take virtual time before it reaches the board (a
// slow bus, an emulated port, a process held up between two reads), and the
// converter's multiplexer may be moved on to its next digit exactly between
// a strobe read and the value read that follows it.
#pragma once

#include "port/port.h"
#include "sim/clock.h"
#include "sim/sim_board.h"

#include <cstdint>
#include <functional>
#include <string>

namespace korvel::sim {

class SlowPort : public Port {
public:
    struct Access {
        bool read = false;
        std::int16_t address = 0;
        int code = 0;            // the code on the board's control register at the time
        bool value_read = false; // a value read (code 12) right after a strobe read
    };

    // The board and the virtual clock it runs on; both outlive the port.
    SlowPort(SimBoard& board, VirtualClock& clock) : board_(board), clock_(clock) {}

    // Virtual nanoseconds an access takes before it reaches the board;
    // none when unset.
    std::function<std::int64_t(const Access&)> delay_ns;
    // Asked at each value read that follows a strobe read (code 8 for D1..D4,
    // code 0 for the half digit): true moves the multiplexer on to its next
    // digit just before the value is read.
    std::function<bool()> move_between;
    // Hide the moves from the reader, to show what they do to a reader
    // without its guards. echo_first_strobe answers the strobe read that
    // follows such a value read under the same code with what the first
    // strobe read gave, as if the multiplexer had not moved; stop_clock
    // shows the reader a clock that stands still.
    bool echo_first_strobe = false;
    bool stop_clock = false;

    std::int16_t Inp32(std::int16_t address) override;
    void Out32(std::int16_t address, std::int16_t value) override;
    std::string fault(int base) override { return board_.fault(base); }
    std::int64_t now_ns() override { return stop_clock ? 0 : clock_.now_ns(); }

    // Strobe/value pairs read, and those across which the multiplexer moved
    // (by this port's doing or by the delays).
    std::uint64_t pairs = 0;
    std::uint64_t crossed_pairs = 0;

private:
    enum class Last { other, strobe, value };
    void take_time(const Access& a);
    void move_multiplexer();
    int drive();

    SimBoard& board_;
    VirtualClock& clock_;
    int code_ = 0;
    Last last_ = Last::other;
    int strobe_code_ = 0;
    std::int16_t strobe_answer_ = 0;
    int drive_at_strobe_ = 0;
};

} // namespace korvel::sim
