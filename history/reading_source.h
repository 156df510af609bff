// The readings over time as the front ends read them (the trend, the web
// page, the remote queries), wherever they are kept: the history's ring in
// memory, or the reading store on disk. Plain C++; called on the panel's
// thread.
#pragma once

#include "history/sample.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace korvel::history {

class ReadingSource {
public:
    virtual ~ReadingSource() = default;

    // The number of readings kept.
    virtual std::size_t count() const = 0;
    // The times of the oldest and the newest reading kept; nothing when
    // none is.
    virtual std::optional<std::pair<std::int64_t, std::int64_t>> time_range() const = 0;
    // The readings kept with t0 <= time < t1 as `columns` equal columns.
    // Over long spans a column may be made of whole minutes' figures, so
    // that drawing a month reads no single reading.
    virtual std::vector<Column> reduce(std::int64_t t0, std::int64_t t1, int columns) const = 0;
    // Over the readings kept with t0 <= time < t1.
    virtual Statistics statistics(std::int64_t t0, std::int64_t t1) const = 0;
    // The newest n readings kept (fewer when fewer are kept), oldest first.
    virtual std::vector<Sample> latest(std::size_t n) const = 0;
    // Each reading kept with t0 <= time < t1, oldest first, until `visit`
    // returns false.
    virtual void visit(std::int64_t t0, std::int64_t t1,
                       const std::function<bool(const Sample&)>& visit) const = 0;
};

} // namespace korvel::history
