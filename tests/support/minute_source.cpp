#include "support/minute_source.h"

#include <algorithm>
#include <cmath>

namespace korvel::test {

namespace {

constexpr std::int64_t minute_ms = 60'000;

std::int64_t minute_of(std::int64_t t)
{
    return t >= 0 ? t / minute_ms * minute_ms : (t - minute_ms + 1) / minute_ms * minute_ms;
}

void merge(history::Column& into, const history::Column& c)
{
    if (c.count > 0) {
        if (into.count == 0) {
            into.min = c.min;
            into.max = c.max;
            into.first = c.first;
        } else {
            into.min = std::min(into.min, c.min);
            into.max = std::max(into.max, c.max);
        }
        into.last = c.last;
    }
    const bool any = into.count + into.over + into.under > 0;
    into.setpoint_min = any ? std::min(into.setpoint_min, c.setpoint_min) : c.setpoint_min;
    into.setpoint_max = any ? std::max(into.setpoint_max, c.setpoint_max) : c.setpoint_max;
    into.count += c.count;
    into.over += c.over;
    into.under += c.under;
    into.low += c.low;
    into.high += c.high;
    into.zep += c.zep;
}

} // namespace

void MinuteSource::add(const history::Sample& s)
{
    const std::int64_t start = minute_of(s.time_ms);
    auto [it, made] = minutes_.try_emplace(start);
    Minute& m = it->second;
    if (made) {
        m.column.t0 = start;
        m.column.t1 = start + minute_ms;
        m.first = s;
    }
    history::Column one;
    if (s.mark == history::Mark::over)
        one.over = 1;
    else if (s.mark == history::Mark::under)
        one.under = 1;
    else {
        one.count = 1;
        one.min = one.max = one.first = one.last = s.value;
        m.sum += s.value;
        m.sum_squares += double(s.value) * s.value;
    }
    one.low = s.limit == history::Limit::low;
    one.high = s.limit == history::Limit::high;
    one.setpoint_min = one.setpoint_max = s.setpoint;
    one.zep = s.mode == history::Mode::zep;
    merge(m.column, one);
    m.last = s;
    ++readings_;
}

std::optional<std::pair<std::int64_t, std::int64_t>> MinuteSource::time_range() const
{
    if (minutes_.empty())
        return std::nullopt;
    return std::pair{minutes_.begin()->second.first.time_ms, minutes_.rbegin()->second.last.time_ms};
}

std::vector<history::Column> MinuteSource::reduce(std::int64_t t0, std::int64_t t1, int columns) const
{
    std::vector<history::Column> out;
    if (columns <= 0 || t1 <= t0)
        return out;
    out.resize(std::size_t(columns));
    using wide = __int128;
    const wide length = wide(t1) - wide(t0);
    for (int c = 0; c < columns; ++c) {
        out[std::size_t(c)].t0 = std::int64_t(wide(t0) + (wide(c) * length + columns - 1) / columns);
        out[std::size_t(c)].t1 = std::int64_t(wide(t0) + (wide(c + 1) * length + columns - 1) / columns);
    }
    for (auto it = minutes_.lower_bound(minute_of(t0)); it != minutes_.end() && it->first < t1; ++it) {
        const std::int64_t at = std::max(it->first, t0);
        const auto c = std::size_t((wide(at) - wide(t0)) * columns / length);
        merge(out[std::min(c, out.size() - 1)], it->second.column);
    }
    return out;
}

history::Statistics MinuteSource::statistics(std::int64_t t0, std::int64_t t1) const
{
    history::Statistics s;
    double sum = 0, squares = 0;
    for (auto it = minutes_.lower_bound(minute_of(t0)); it != minutes_.end() && it->first < t1; ++it) {
        const Minute& m = it->second;
        if (m.column.count > 0) {
            s.min = s.count ? std::min(s.min, m.column.min) : m.column.min;
            s.max = s.count ? std::max(s.max, m.column.max) : m.column.max;
        }
        s.count += m.column.count;
        s.over += m.column.over;
        s.under += m.column.under;
        sum += m.sum;
        squares += m.sum_squares;
        s.last = m.last;
    }
    if (s.count > 0)
        s.mean = sum / double(s.count);
    if (s.count > 1)
        s.sdev = std::sqrt(std::max(0.0, (squares - sum * s.mean) / double(s.count - 1)));
    return s;
}

std::vector<history::Sample> MinuteSource::latest(std::size_t n) const
{
    std::vector<history::Sample> out;
    for (auto it = minutes_.rbegin(); it != minutes_.rend() && out.size() < n; ++it)
        out.push_back(it->second.last);
    std::reverse(out.begin(), out.end());
    return out;
}

void MinuteSource::visit(std::int64_t t0, std::int64_t t1,
                         const std::function<bool(const history::Sample&)>& visit) const
{
    for (auto it = minutes_.lower_bound(minute_of(t0)); it != minutes_.end(); ++it) {
        const history::Sample& s = it->second.last;
        if (s.time_ms >= t1)
            return;
        if (s.time_ms >= t0 && !visit(s))
            return;
    }
}

} // namespace korvel::test
