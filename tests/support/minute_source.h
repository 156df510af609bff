// A source of readings over time that keeps only per-minute figures, as the
// reading store answers long spans: for the benchmark of the trend over 30
// days and for tests of the front ends over such a source. Readings are
// folded into their minute as they come; reduce() and statistics() merge
// whole minutes, so a minute counts wholly in the column (or the range)
// its start falls in. visit() and latest() give the last reading of each
// minute only.
#pragma once

#include "history/reading_source.h"

#include <cstdint>
#include <map>

namespace korvel::test {

class MinuteSource : public history::ReadingSource {
public:
    void add(const history::Sample& s);

    std::size_t count() const override { return readings_; }
    std::optional<std::pair<std::int64_t, std::int64_t>> time_range() const override;
    std::vector<history::Column> reduce(std::int64_t t0, std::int64_t t1, int columns) const override;
    history::Statistics statistics(std::int64_t t0, std::int64_t t1) const override;
    std::vector<history::Sample> latest(std::size_t n) const override;
    void visit(std::int64_t t0, std::int64_t t1,
               const std::function<bool(const history::Sample&)>& visit) const override;

    std::size_t minutes() const { return minutes_.size(); }

private:
    struct Minute {
        history::Column column;   // t0: the minute's start
        double sum = 0, sum_squares = 0;
        history::Sample first, last;
    };
    std::map<std::int64_t, Minute> minutes_;  // by the minute's start
    std::size_t readings_ = 0;
};

} // namespace korvel::test
