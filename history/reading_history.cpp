#include "history/reading_history.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace korvel::history {

const char* text(Mark mark)
{
    switch (mark) {
    case Mark::over: return "OR";
    case Mark::under: return "UR";
    case Mark::none: break;
    }
    return "";
}

const char* text(Mode mode)
{
    switch (mode) {
    case Mode::dvm: return "DVM";
    case Mode::dpc: return "DPC";
    case Mode::zep: break;
    }
    return "ZEP";
}

const char* text(Limit limit)
{
    switch (limit) {
    case Limit::low: return "low";
    case Limit::high: return "high";
    case Limit::none: break;
    }
    return "";
}

ReadingHistory::ReadingHistory(std::size_t capacity) : ring_(std::max<std::size_t>(capacity, 1)) {}

Limit ReadingHistory::judge(int value, Mark mark) const
{
    if (!limits_.enabled || mark != Mark::none)
        return Limit::none;
    if (value < limits_.lower)
        return Limit::low;
    if (value > limits_.upper)
        return Limit::high;
    return Limit::none;
}

const Sample& ReadingHistory::add(Sample sample)
{
    if (size_ > 0 && sample.time_ms < newest().time_ms)
        sample.time_ms = newest().time_ms;
    sample.limit = judge(sample.value, sample.mark);
    if (sample.limit != Limit::none) {
        ++failures_;
        ++totals_.limit_failures;
    }
    ++totals_.readings;
    totals_.over += sample.mark == Mark::over ? 1 : 0;
    totals_.under += sample.mark == Mark::under ? 1 : 0;

    const std::size_t slot = size_ < ring_.size() ? (head_ + size_) % ring_.size() : head_;
    ring_[slot] = sample;
    if (size_ < ring_.size())
        ++size_;
    else
        head_ = (head_ + 1) % ring_.size();

    // Running statistics, Welford's update for the mean and deviation.
    Statistics& s = running_;
    s.last = sample;
    if (sample.mark == Mark::over) {
        ++s.over;
    } else if (sample.mark == Mark::under) {
        ++s.under;
    } else {
        ++s.count;
        const double x = sample.value;
        if (s.count == 1) {
            s.min = s.max = sample.value;
            s.mean = x;
            m2_ = 0.0;
        } else {
            s.min = std::min(s.min, int(sample.value));
            s.max = std::max(s.max, int(sample.value));
            const double delta = x - s.mean;
            s.mean += delta / double(s.count);
            m2_ += delta * (x - s.mean);
        }
        s.sdev = s.count > 1 ? std::sqrt(m2_ / double(s.count - 1)) : 0.0;
    }

    // The listeners get a copy and the caller the slot: a listener may add,
    // clear, subscribe or forget.
    const auto listeners = listeners_;
    for (const auto& l : listeners)
        l.second(sample);
    return ring_[slot];
}

const Sample& ReadingHistory::restore(const Sample& sample)
{
    const Totals totals = totals_;
    const std::size_t failures = failures_;
    add(sample);
    // The verdict it was given when it was taken, not one under the limits
    // in force now; and no failure of this run's.
    Sample& kept = ring_[(head_ + size_ - 1) % ring_.size()];
    kept.limit = sample.limit;
    totals_ = totals;
    failures_ = failures;
    return kept;
}

void ReadingHistory::clear()
{
    head_ = 0;
    size_ = 0;
    clear_statistics();
}

void ReadingHistory::clear_statistics()
{
    running_ = {};
    m2_ = 0.0;
    failures_ = 0;
}

void ReadingHistory::add_recorded(Sample sample)
{
    if (size_ > 0 && sample.time_ms < newest().time_ms)
        sample.time_ms = newest().time_ms;
    const std::size_t slot = size_ < ring_.size() ? (head_ + size_) % ring_.size() : head_;
    ring_[slot] = sample;
    if (size_ < ring_.size())
        ++size_;
    else
        head_ = (head_ + 1) % ring_.size();
}

std::pair<std::size_t, std::size_t> ReadingHistory::span(std::int64_t t0, std::int64_t t1) const
{
    // The ring is in time order from head_: binary search over logical indices.
    auto lower = [this](std::int64_t t) {
        std::size_t lo = 0, hi = size_;
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if (at(mid).time_ms < t)
                lo = mid + 1;
            else
                hi = mid;
        }
        return lo;
    };
    if (t1 <= t0)
        return {0, 0};
    const std::size_t first = lower(t0);
    return {first, std::max(first, lower(t1))};
}

Statistics ReadingHistory::statistics(std::int64_t t0, std::int64_t t1) const
{
    Statistics s;
    const auto [first, last] = span(t0, t1);
    // Whole-number sums: exact however many readings (|value| < 2^15), and
    // no division per reading.
    std::int64_t sum = 0;
    std::int64_t squares = 0;
    int low = 0, high = 0;
    each(first, last, [&](const Sample& r) {
        if (r.mark == Mark::over) {
            ++s.over;
            return;
        }
        if (r.mark == Mark::under) {
            ++s.under;
            return;
        }
        const std::int64_t v = r.value;
        if (s.count == 0)
            low = high = r.value;
        low = std::min(low, int(r.value));
        high = std::max(high, int(r.value));
        ++s.count;
        sum += v;
        squares += v * v;
    });
    if (last > first)
        s.last = at(last - 1);
    if (s.count > 0) {
        const auto n = static_cast<std::int64_t>(s.count);
        s.min = low;
        s.max = high;
        s.mean = double(sum) / double(n);
        if (n > 1) {
            const __int128 spread = __int128(n) * squares - __int128(sum) * sum;
            s.sdev = std::sqrt(double(spread) / (double(n) * double(n - 1)));
        }
    }
    return s;
}

std::vector<Column> ReadingHistory::reduce(std::int64_t t0, std::int64_t t1, int columns) const
{
    std::vector<Column> out;
    if (columns <= 0 || t1 <= t0)
        return out;
    out.resize(std::size_t(columns));
    // Column c starts at t0 + ceil(c * T / columns), and a reading at t0 + d
    // falls in column floor(d * columns / T): with whole numbers throughout,
    // every reading lands in the column whose [t0, t1) holds its time.
    using wide = __int128;
    const wide length = wide(t1) - wide(t0);
    auto start = [&](int c) {
        return std::int64_t(wide(t0) + (wide(c) * length + columns - 1) / columns);
    };
    for (int c = 0; c < columns; ++c) {
        out[std::size_t(c)].t0 = start(c);
        out[std::size_t(c)].t1 = c + 1 == columns ? t1 : start(c + 1);
    }
    const auto [first, last] = span(t0, t1);
    // The readings come in time order: each column is passed once.
    std::size_t c = 0;
    each(first, last, [&](const Sample& r) {
        while (c + 1 < out.size() && r.time_ms >= out[c].t1)
            ++c;
        Column& col = out[c];
        const bool any = col.count + col.over + col.under > 0;
        if (!any) {
            col.setpoint_min = col.setpoint_max = r.setpoint;
        } else {
            col.setpoint_min = std::min(col.setpoint_min, int(r.setpoint));
            col.setpoint_max = std::max(col.setpoint_max, int(r.setpoint));
        }
        if (r.mode == Mode::zep)
            ++col.zep;
        if (r.limit == Limit::low)
            ++col.low;
        else if (r.limit == Limit::high)
            ++col.high;
        if (r.mark == Mark::over) {
            ++col.over;
            return;
        }
        if (r.mark == Mark::under) {
            ++col.under;
            return;
        }
        if (col.count == 0) {
            col.min = col.max = col.first = r.value;
        } else {
            col.min = std::min(col.min, int(r.value));
            col.max = std::max(col.max, int(r.value));
        }
        col.last = r.value;
        ++col.count;
    });
    return out;
}

std::optional<std::pair<std::int64_t, std::int64_t>> ReadingHistory::time_range() const
{
    if (size_ == 0)
        return std::nullopt;
    return std::pair{at(0).time_ms, newest().time_ms};
}

std::vector<Sample> ReadingHistory::latest(std::size_t n) const
{
    n = std::min(n, size_);
    std::vector<Sample> out;
    out.reserve(n);
    for (std::size_t i = size_ - n; i < size_; ++i)
        out.push_back(at(i));
    return out;
}

void ReadingHistory::visit(std::int64_t t0, std::int64_t t1,
                           const std::function<bool(const Sample&)>& visit) const
{
    const auto [first, last] = span(t0, t1);
    for (std::size_t i = first; i < last; ++i)
        if (!visit(at(i)))
            return;
}

int ReadingHistory::on_add(std::function<void(const Sample&)> listener)
{
    listeners_.emplace_back(next_key_, std::move(listener));
    return next_key_++;
}

void ReadingHistory::forget(int key)
{
    std::erase_if(listeners_, [key](const auto& l) { return l.first == key; });
}

} // namespace korvel::history
