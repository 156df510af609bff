// The values of the reading history: one reading, statistics over a set of
// readings, the limits, and one column of a reduction for drawing. Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace korvel::history {

enum class Mark : std::uint8_t { none, over, under };
// Where a reading stood against the limits: inside (or limits off), below
// the lower, above the upper.
enum class Limit : std::uint8_t { none, low, high };
enum class Mode : std::uint8_t { zep, dvm, dpc };

// The words the reading log and the front ends use: "OR", "UR" or empty;
// "ZEP", "DVM", "DPC"; "low", "high" or empty.
const char* text(Mark mark);
const char* text(Mode mode);
const char* text(Limit limit);

// One reading, 16 bytes.
struct Sample {
    std::int64_t time_ms = 0;    // wall clock, ms since 1970-01-01 UTC
    std::int16_t value = 0;      // the signed reading, -19999..19999
    std::int16_t setpoint = 0;   // the set-point at the time, -30000..30000
    Mark mark = Mark::none;
    Mode mode = Mode::zep;
    Limit limit = Limit::none;
    std::uint8_t reserved = 0;
};
static_assert(sizeof(Sample) == 16);

// Statistics over a set of readings. Readings with an OR or UR mark are
// counted apart (over, under) and left out of every other figure.
struct Statistics {
    std::size_t count = 0;       // readings without a mark
    std::size_t over = 0;
    std::size_t under = 0;
    int min = 0, max = 0;        // meaningful when count > 0
    double mean = 0.0;
    double sdev = 0.0;           // sample standard deviation (n - 1); 0 for n < 2
    std::optional<Sample> last;  // the newest reading, marked or not
};

// Lower and upper limit. A reading without a mark below `lower` is low,
// above `upper` is high; equal is inside. Off: every reading is inside.
struct Limits {
    bool enabled = false;
    int lower = -19999;
    int upper = 19999;
};

// One pixel column of the drawing: every reading in [t0, t1) reduced to
// its extremes, so that no peak is lost however many readings fall in it.
struct Column {
    std::int64_t t0 = 0, t1 = 0;
    std::size_t count = 0;            // readings without a mark in the column
    int min = 0, max = 0;             // of those, when count > 0
    int first = 0, last = 0;          // in time order, when count > 0
    std::size_t over = 0, under = 0;  // marked readings in the column
    std::size_t low = 0, high = 0;    // readings outside the limits
    int setpoint_min = 0, setpoint_max = 0;  // when any reading is in the column
    std::size_t zep = 0;              // readings taken in mode ZEP (set-point driven)
};

} // namespace korvel::history
