// The board's two output latches: what each holds, the set-point composed
// into them, the eight output bits in the low one, and the strobed writes
// that latch them.
#pragma once

#include "port/port.h"

#include <cstdint>
#include <functional>

namespace korvel::output {

// The set-point as sign and magnitude in the two latch bytes: the low latch
// takes the magnitude's low byte, the high latch its high byte with bit 7
// set for a negative value.
struct SetPointBytes {
    int magnitude = 0;
    bool negative = false;
    int high = 0;
    int low = 0;
};
SetPointBytes compose_setpoint(int value);

// Which latches a refresh writes.
enum class Refresh { none, low_latch, both_latches };

enum class Latch { low, high };

class LatchWriter {
public:
    struct State {
        int low = 0;        // byte for the low latch
        int high = 0;       // byte for the high latch (bit 7: sign)
        bool negative = false;
        int magnitude = 0;  // of the last set-point composed
        int bits = 0;       // output bits Q7..Q0, as the bit buttons set them
    };

    explicit LatchWriter(Port& port) : port_(port) {}
    LatchWriter(const LatchWriter&) = delete;
    LatchWriter& operator=(const LatchWriter&) = delete;

    Port& port() { return port_; }

    // The data and control register addresses of the board's port.
    void set_base(std::int16_t base);

    // Told of every byte latched, after its strobe.
    std::function<void(Latch, int byte)> on_latched;

    const State& state() const { return state_; }
    // For tests and benchmarks that set up a situation directly.
    State& state() { return state_; }
    bool bit(int bit) const { return (state_.bits >> bit & 1) != 0; }

    // The reset: both bytes, the sign and the bits to 0; nothing written.
    void clear();
    // The set-point's bytes, for the next refresh.
    void load_setpoint(const SetPointBytes& s);
    // Toggles output bit 0..7 in the low byte. Setting a bit needs
    // may_set (the panel ON); clearing is always possible. Returns the bit's
    // new state.
    bool toggle_bit(int bit, bool may_set);

    // Strobed writes of the current bytes.
    void write_low();
    void write_high();
    void refresh(Refresh what);
    // The safe state on the board's port; the low byte is then 255.
    void write_safe_state();

private:
    void latch(int byte, std::uint8_t strobe, Latch which);

    Port& port_;
    State state_;
    std::int16_t data_ = 0;
    std::int16_t control_ = 0;
};

} // namespace korvel::output
