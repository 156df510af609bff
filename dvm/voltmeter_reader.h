// The voltmeter reader: waits for the end of a conversion (one sample of
// the conversion line per sync tick), then scans the converter's
// multiplexed digits (one sample per scan tick) and accepts a reading once
// every digit has been read twice alike.
//
// A digit sample is three reads: the digit strobe, the value on the BCD
// lines, and the strobe again. The value is kept only when the strobe reads
// the same digit before and after it, and all three reads fell within
// sample_window_ns on the port's clock. The multiplexer shows each digit for
// at least that long, so it cannot have left the digit and come back: the
// value is the digit's own, however slow the port or however long the
// process was held up between the reads. Any other sample is discarded: it
// is no reading and no error, the digit just waits for the next one.
#pragma once

#include "port/port.h"

#include <cstdint>
#include <optional>
#include <string>

namespace korvel::dvm {

// A reading as the panel shows it: sign, half digit and four digits, and
// the over/under-range marks as they stood when it was accepted.
struct Reading {
    bool negative = false;
    int digits[5] = {0, 0, 0, 0, 0};  // half digit first, then D4..D1
    bool over = false;
    bool under = false;

    // "+12345", "- 00700".
    std::string text() const;
    // The signed number: 12345, -700.
    int value() const;
};

// What one sync tick saw.
struct SyncTick {
    int status = 0;          // the status byte, as read
    bool converting = false; // the conversion line low
    bool scan_due = false;   // the conversion has ended: scan from the next tick on
};

// What one scan tick saw; a tick that ends early leaves the later fields
// empty.
struct ScanTick {
    std::optional<int> strobe;  // the digit strobe lines, as a weight 1, 2, 4 or 8 (or 0)
    std::optional<int> value;   // the BCD lines
    std::optional<bool> over;   // the over-range mark shows
    std::optional<bool> under;  // the under-range mark shows
    bool accepted = false;      // a new reading is to be shown
    bool scan_done = false;     // back to synchronisation
    int discarded = 0;          // digit samples discarded this tick (0..2)
};

class VoltmeterReader {
public:
    struct State {
        // Sync ticks that saw the conversion line low. Stops at its ceiling
        // instead of wrapping, so that a hand-over stays possible.
        int sync_count = 0;
        // Digits, d1 least significant, d5 the half digit.
        int d1 = 0, d2 = 0, d3 = 0, d4 = 0, d5 = 0;
        // Per digit: 0 not read, 1 read with a changed value, 2 read twice alike.
        int seen_d1 = 0, seen_d2 = 0, seen_d3 = 0, seen_d4 = 0, seen_d5 = 0;
        bool negative = false;
        // Leading pair of the last reading shown.
        int last_d5 = 0, last_d4 = 0;
        // Readings the boundary filter held back in a row since the last
        // one shown.
        int boundary_discards = 0;
        bool over = false, under = false;
    };

    // A reading that crosses the 10000 boundary in one step is held back
    // this many times in a row; the next one like it is shown.
    static constexpr int boundary_discard_limit = 3;
    // Sync ticks with the conversion line low before a scan may start.
    static constexpr int sync_threshold = 10;
    // The longest a digit sample may take, from just before its first
    // strobe read to just after the strobe is read again. The converter
    // shows a digit for 200 of its clocks (800 us at 250 kHz, 1.67 ms at
    // the board's 120 kHz), or longer, and the multiplexer needs at least
    // that long to leave a digit and return to it.
    static constexpr std::int64_t sample_window_ns = 500'000;

    explicit VoltmeterReader(Port& port) : port_(port) {}
    VoltmeterReader(const VoltmeterReader&) = delete;
    VoltmeterReader& operator=(const VoltmeterReader&) = delete;

    // The status and control register addresses of the board's port.
    void set_base(std::int16_t base);

    // The reset: digits, flags and counts to 0, the sign positive.
    void reset();

    SyncTick sync_tick();
    ScanTick scan_tick();

    // The reading shown: the last accepted, or zero after the reset.
    const Reading& reading() const { return reading_; }

    // Digit samples discarded since the reader was made (the reset keeps
    // the count): the strobe moved under the value, or the reads took
    // longer than sample_window_ns.
    std::uint64_t discarded_samples() const { return discarded_; }
    // Digit samples taken to the strobe's second read, kept or discarded,
    // since the reader was made: the whole of which discarded_samples() is
    // a part.
    std::uint64_t samples() const { return samples_; }
    // Conversions seen to end (the conversion line rising after the sync
    // tick before saw it low) since the reader was made. The line is
    // watched only between scans, while the panel is ON; a scan is far
    // shorter than the line stays high, so no end passes unseen.
    std::uint64_t conversions() const { return conversions_; }

    const State& state() const { return state_; }
    // For tests that set up a situation directly.
    State& state() { return state_; }

private:
    // The half digit's sample; false when its lines held no BCD code or the
    // sample was discarded.
    bool sample_half_digit(ScanTick& t);
    // Whether a sample begun at `start` (port time) is still within the
    // window now.
    bool in_window(std::int64_t start);
    void discard(ScanTick& t);
    void read_polarity();
    void take_reading();

    Port& port_;
    State state_;
    Reading reading_;
    std::int16_t status_ = 0;
    std::int16_t control_ = 0;
    std::uint64_t discarded_ = 0;
    std::uint64_t samples_ = 0;
    std::uint64_t conversions_ = 0;
    // The last sync tick saw the conversion line low; false after the reset.
    bool line_was_low_ = false;
};

} // namespace korvel::dvm
