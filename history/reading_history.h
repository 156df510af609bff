// The reading history: every accepted reading with its wall-clock time,
// its over/under-range mark, the mode and the set-point, in a fixed ring
// (the oldest go first once it is full), with statistics, limits and a
// reduction for drawing. Plain C++: fed by the panel's reading listener,
// read by the trend window, the remote interface and the web page. Not
// thread-safe: everything runs on the panel's thread.
#pragma once

#include "history/reading_source.h"
#include "history/sample.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace korvel::history {

class ReadingHistory : public ReadingSource {
public:
    // About 24 hours at the fastest reading rate (3 readings/s).
    static constexpr std::size_t default_capacity = 262144;

    explicit ReadingHistory(std::size_t capacity = default_capacity);

    // Adds a reading; its limit field is set here from the limits in force.
    // A time earlier than the newest reading's is taken as that time, so the
    // history stays in time order if the wall clock steps back.
    const Sample& add(Sample sample);
    // Adds a reading kept from an earlier run (the reading store's) as
    // add() does, with the limit verdict it was given then; it counts in the
    // statistics, but not in the totals or the limit failures, which count
    // this run's. For the start, before any listener is attached.
    const Sample& restore(const Sample& sample);

    std::size_t size() const { return size_; }
    std::size_t capacity() const { return ring_.size(); }
    bool empty() const { return size_ == 0; }
    // i-th oldest reading, 0 <= i < size().
    const Sample& at(std::size_t i) const { return ring_[(head_ + i) % ring_.size()]; }
    const Sample& newest() const { return at(size_ - 1); }

    // Forgets every reading; the statistics and limit count start again too.
    void clear();
    // Adds a reading read back from a log (--review) with its limit verdict
    // as recorded: no listener hears of it, and no statistic or count
    // takes it. Times as add() takes them.
    void add_recorded(Sample sample);

    // Since the last clear_statistics() (or clear()), over every reading
    // added, including those the ring has since let go.
    const Statistics& statistics() const { return running_; }
    void clear_statistics();
    // Over the readings kept with t0 <= time < t1.
    Statistics statistics(std::int64_t t0, std::int64_t t1) const override;

    // Limits apply to readings added from now on.
    void set_limits(const Limits& limits) { limits_ = limits; }
    const Limits& limits() const { return limits_; }
    // Readings outside the limits since the last clear_statistics().
    std::size_t limit_failures() const { return failures_; }
    // Starts the count of readings outside the limits again, leaving the
    // statistics as they are.
    void clear_limit_failures() { failures_ = 0; }
    // Counts since the history was made, which no clear starts again: for
    // figures that must only grow (the metrics' counters).
    struct Totals {
        std::uint64_t readings = 0;        // every reading added
        std::uint64_t over = 0, under = 0; // of those, with an OR or UR mark
        std::uint64_t limit_failures = 0;  // of those, outside the limits
    };
    const Totals& totals() const { return totals_; }
    // The limit verdict for a value with a mark under the limits in force.
    Limit judge(int value, Mark mark) const;

    // The readings kept with t0 <= time < t1, as `columns` equal columns.
    std::vector<Column> reduce(std::int64_t t0, std::int64_t t1, int columns) const override;

    // As a source of readings over time.
    std::size_t count() const override { return size_; }
    std::optional<std::pair<std::int64_t, std::int64_t>> time_range() const override;
    std::vector<Sample> latest(std::size_t n) const override;
    void visit(std::int64_t t0, std::int64_t t1,
               const std::function<bool(const Sample&)>& visit) const override;

    // Index range [first, last) of the readings kept with t0 <= time < t1.
    std::pair<std::size_t, std::size_t> span(std::int64_t t0, std::int64_t t1) const;

    // Told of each reading added, after it is kept; returns a key.
    int on_add(std::function<void(const Sample&)> listener);
    void forget(int key);

private:
    // f(sample) for the readings first..last-1 (oldest first), over the
    // ring's one or two stretches without an index computation each.
    template <typename F>
    void each(std::size_t first, std::size_t last, F f) const
    {
        if (first >= last)
            return;
        const std::size_t begin = (head_ + first) % ring_.size();
        const std::size_t n = last - first;
        const std::size_t run = std::min(n, ring_.size() - begin);
        for (std::size_t i = 0; i < run; ++i)
            f(ring_[begin + i]);
        for (std::size_t i = 0; i < n - run; ++i)
            f(ring_[i]);
    }

    std::vector<Sample> ring_;
    std::size_t head_ = 0;  // index of the oldest
    std::size_t size_ = 0;
    Statistics running_;
    double m2_ = 0.0;  // running sum of squared deviations (Welford)
    Limits limits_;
    std::size_t failures_ = 0;
    Totals totals_;
    std::vector<std::pair<int, std::function<void(const Sample&)>>> listeners_;
    int next_key_ = 0;
};

} // namespace korvel::history
