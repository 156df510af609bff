// The board's voltmeter: a 4½-digit dual-slope converter of the standard
// multiplexed-BCD kind (the "7135" class of part), modelled clock by clock
// from what its data sheet gives, as the board wires it.
//
// One measurement cycle is 40002 converter clocks. Counting from the start
// of signal integrate:
//
//   signal integrate   10000 clocks       the input is integrated
//   de-integrate       N + 1 clocks       N = counts, 0..20001
//   auto-zero          30001 - N clocks   the result has been latched
//
// so the auto-zero that follows a result takes up whatever the
// de-integrate left, and every cycle has the same length. The result
// (count, digits, over-range, under-range) is latched at the end of
// de-integrate. The lines, as the data sheet describes them:
//
//  - busy is high during signal integrate and de-integrate; the board hands
//    its complement to the port as the conversion line, so the line is low
//    for 10001 + N clocks and high for 30001 - N, and rises just when a new
//    result is latched;
//  - polarity is high for a positive input, also for a zero reading (true
//    polarity at zero); it becomes valid at the beginning of de-integrate,
//    when the sign of the integrated input is known, and holds until the
//    next de-integrate;
//  - over-range is set with the result when the input exceeds 19999 counts
//    and reset at the beginning of the next de-integrate;
//  - under-range is set with the result when the reading is 1800 counts or
//    less and reset at the beginning of the next signal integrate;
//  - digit drives D5 (the half digit, first) to D1, each for 200 clocks, in
//    a continuous 1000-clock multiplex cycle; the BCD lines carry the value
//    of the driven digit for its whole period (0 or 1 for the half digit).
//    The scan starts again with D5 when a result is latched, so a result's
//    first D5 lasts a little longer than 200 clocks.
//  - over-range: the counter has run past full scale and the digits read
//    0 0000; after the first scan of the digits all digit drives are blanked
//    until the beginning of the next de-integrate, when D5 starts the scan
//    again, which makes a display blink.
//
// The converter has no thread. Its state is a function of time, worked out
// lazily when asked: advance_to() catches up from the last call, skipping
// whole cycles arithmetically, so a board asked every microsecond and one
// asked every minute show the same lines at the same instants.
#pragma once

#include <cstdint>
#include <functional>

namespace korvel::sim {

class DualSlopeConverter {
public:
    // 120 kHz gives 3 conversions a second and a 200-clock digit period of
    // 1.667 ms, which is not a whole number of milliseconds: the panel's 1 ms
    // digit scan meets each digit at a phase that moves by a third of a tick
    // from one multiplex cycle to the next, so within three cycles it finds
    // the half digit on two ticks in a row, which a leading 1 needs to be
    // confirmed. At 125 kHz (digit 1.6 ms, multiplex cycle exactly 8 ticks)
    // or 200 kHz (digit exactly 1 ms) the cycle locks to the scan: while the
    // phase is wrong the half digit is seen on one tick per cycle only and a
    // reading with a leading 1 never completes. On the simulated panel that
    // drops about 40% of such readings at 125 kHz and all but one in 20 s at
    // 200 kHz.
    static constexpr std::int64_t default_clock_hz = 120'000;

    static constexpr std::int64_t integrate_clocks = 10'000;
    static constexpr std::int64_t cycle_clocks = 40'002;
    static constexpr std::int64_t digit_clocks = 200;
    static constexpr std::int64_t scan_clocks = 5 * digit_clocks;
    static constexpr int full_scale = 19'999;
    static constexpr int over_range_count = 20'001;
    static constexpr int under_range_limit = 1'800;
    // Input samples taken over one signal integrate, evenly spaced; their
    // mean is the integrated input.
    static constexpr int samples_per_integrate = 100;

    // What the converter's output pins carry at one instant.
    struct Lines {
        bool busy = false;      // signal integrate or de-integrate
        bool positive = true;   // polarity
        bool over = false;      // over-range
        bool under = false;     // under-range
        int drive = 0;          // digit driven: 5 = D5 (half digit) .. 1 = D1, 0 = blanked
        int bcd = 0;            // value on the BCD lines
    };

    // A latched result.
    struct Result {
        int count = 0;          // 0..19999, or over_range_count
        bool positive = true;
        bool over = false;
        bool under = false;
        int digit(int d) const; // d = 5 (half digit) .. 1; 0 0000 in over-range
    };

    enum class Phase { AutoZero, Integrate, Deintegrate };

    // input(ns) gives the input, in counts, at a time of the caller's clock.
    // start_ns is that clock's time at the converter's clock 0. The first
    // signal integrate follows a minimal auto-zero of 10001 clocks.
    DualSlopeConverter(std::function<double(std::int64_t)> input, std::int64_t start_ns,
                       std::int64_t clock_hz = default_clock_hz);

    // Adds Gaussian noise of this standard deviation (counts) to each
    // conversion, drawn from a generator seeded with seed: the same seed
    // gives the same readings however the converter is sampled.
    void set_noise(double sigma_counts, std::uint64_t seed);

    void set_input(std::function<double(std::int64_t)> input);

    // Catches up to the time ns (never earlier than a previous call).
    void advance_to(std::int64_t ns);

    // The lines at the time of the last advance_to().
    Lines lines() const;
    Phase phase() const;
    std::int64_t clocks() const { return now_clock_; }
    // The result latched last, as of the last advance_to().
    Result latched() const;

    // Stops or restarts the converter's clock at the time ns: while
    // stopped, nothing moves and the lines hold.
    void set_stalled(bool stalled, std::int64_t ns);
    bool stalled() const { return stalled_; }

    std::int64_t clock_hz() const { return hz_; }

private:
    struct Cycle {
        std::int64_t index = -1;
        Result result;
        std::int64_t latch_clock() const;   // end of de-integrate
        std::int64_t start_clock() const;   // start of signal integrate
    };

    std::int64_t clock_at(std::int64_t ns) const;
    std::int64_t ns_at(std::int64_t clock) const;
    static std::int64_t start_of(std::int64_t cycle);
    void accumulate(std::int64_t cycle, std::int64_t from, std::int64_t to);
    void finish(std::int64_t cycle);
    const Cycle* cycle(std::int64_t index) const;
    Result make_result(double mean) const;
    double noise(std::int64_t cycle) const;

    std::function<double(std::int64_t)> input_;
    std::int64_t hz_;

    // Converter clock = seg_clock_ + (ns - seg_ns_) * hz / 1e9 while running.
    std::int64_t seg_ns_;
    std::int64_t seg_clock_ = 0;
    bool stalled_ = false;

    std::int64_t now_clock_ = 0;   // clock of the last advance
    std::int64_t done_clock_ = 0;  // input samples before this clock are taken

    // Samples of the signal integrate in progress.
    std::int64_t acc_cycle_ = -1;
    double acc_sum_ = 0;
    int acc_count_ = 0;

    // The last results, by cycle index modulo the size.
    Cycle results_[4];

    double noise_sigma_ = 0;
    std::uint64_t noise_seed_ = 0;
};

} // namespace korvel::sim
