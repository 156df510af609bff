// The reading history: every accepted reading with its wall-clock time,
// its over/under-range mark, the mode and the set-point, in a fixed ring
// (the oldest go first once it is full), with statistics, limits and a
// reduction for drawing. Plain C++: fed by the panel's reading listener,
// read by the trend window, the remote interface and the web page. Not
// thread-safe: everything runs on the panel's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

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

class ReadingHistory {
public:
    // About 24 hours at the fastest reading rate (3 readings/s).
    static constexpr std::size_t default_capacity = 262144;

    explicit ReadingHistory(std::size_t capacity = default_capacity);

    // Adds a reading; its limit field is set here from the limits in force.
    // A time earlier than the newest reading's is taken as that time, so the
    // history stays in time order if the wall clock steps back.
    const Sample& add(Sample sample);

    std::size_t size() const { return size_; }
    std::size_t capacity() const { return ring_.size(); }
    bool empty() const { return size_ == 0; }
    // i-th oldest reading, 0 <= i < size().
    const Sample& at(std::size_t i) const { return ring_[(head_ + i) % ring_.size()]; }
    const Sample& newest() const { return at(size_ - 1); }

    // Forgets every reading; the statistics and limit count start again too.
    void clear();

    // Since the last clear_statistics() (or clear()), over every reading
    // added, including those the ring has since let go.
    const Statistics& statistics() const { return running_; }
    void clear_statistics();
    // Over the readings kept with t0 <= time < t1.
    Statistics statistics(std::int64_t t0, std::int64_t t1) const;

    // Limits apply to readings added from now on.
    void set_limits(const Limits& limits) { limits_ = limits; }
    const Limits& limits() const { return limits_; }
    // Readings outside the limits since the last clear_statistics().
    std::size_t limit_failures() const { return failures_; }
    // Starts the count of readings outside the limits again, leaving the
    // statistics as they are.
    void clear_limit_failures() { failures_ = 0; }
    // The limit verdict for a value with a mark under the limits in force.
    Limit judge(int value, Mark mark) const;

    // The readings kept with t0 <= time < t1, as `columns` equal columns.
    std::vector<Column> reduce(std::int64_t t0, std::int64_t t1, int columns) const;

    // Index range [first, last) of the readings kept with t0 <= time < t1.
    std::pair<std::size_t, std::size_t> span(std::int64_t t0, std::int64_t t1) const;

    // Told of each reading added, after it is kept; returns a key.
    int on_add(std::function<void(const Sample&)> listener);
    void forget(int key);

private:
    std::vector<Sample> ring_;
    std::size_t head_ = 0;  // index of the oldest
    std::size_t size_ = 0;
    Statistics running_;
    double m2_ = 0.0;  // running sum of squared deviations (Welford)
    Limits limits_;
    std::size_t failures_ = 0;
    std::vector<std::pair<int, std::function<void(const Sample&)>>> listeners_;
    int next_key_ = 0;
};

} // namespace korvel::history
