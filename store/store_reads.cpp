// The store as a source of readings over time: the rows, the minutes, and
// the readings handed over that the file does not hold yet, read on the
// panel's thread in one snapshot of the file.
#include "store/reading_store.h"

#include "store/store_impl.h"

#include <algorithm>
#include <cmath>

namespace korvel::store {

namespace {

using history::Column;
using history::Mark;
using history::Sample;
using history::Statistics;

constexpr const char* row_columns = "SELECT time, value, mark, mode, setpoint, verdict FROM readings ";

Sample sample_of(const Statement& q)
{
    Sample s;
    s.time_ms = q.integer(0);
    s.value = std::int16_t(q.integer(1));
    s.mark = Mark(std::clamp<std::int64_t>(q.integer(2), 0, 2));
    s.mode = history::Mode(std::clamp<std::int64_t>(q.integer(3), 0, 2));
    s.setpoint = std::int16_t(q.integer(4));
    s.limit = history::Limit(std::clamp<std::int64_t>(q.integer(5), 0, 2));
    return s;
}

// One read transaction on the reader's connection: every query in it sees
// the same file, and `newest` says what of the pending readings it holds.
class Snapshot {
public:
    explicit Snapshot(const ReadingStore::Impl& d) : d_(d)
    {
        const_cast<Connection&>(d.reader_db).exec("BEGIN");
        Statement q(db(), "SELECT max(time) FROM readings");
        if (q.step() == SQLITE_ROW && !q.null(0))
            newest = q.integer(0);
        // What the file holds need not be kept aside any longer.
        while (!d.pending.empty() && d.pending.front().time_ms <= newest)
            d.pending.pop_front();
    }
    ~Snapshot() { const_cast<Connection&>(d_.reader_db).exec("COMMIT"); }
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;

    const Connection& db() const { return d_.reader_db; }
    const std::deque<Sample>& pending() const { return d_.pending; }

    // Each row with t0 <= time < t1, oldest first, until f returns false;
    // false when stopped.
    template <class F> bool rows(std::int64_t t0, std::int64_t t1, F&& f) const
    {
        if (t1 <= t0)
            return true;
        Statement q(db(), std::string(row_columns) + "WHERE time >= ? AND time < ? ORDER BY time");
        q.bind(1, t0).bind(2, t1);
        while (q.step() == SQLITE_ROW)
            if (!f(sample_of(q)))
                return false;
        return true;
    }
    // The pending readings with t0 <= time < t1, oldest first.
    template <class F> bool pending_in(std::int64_t t0, std::int64_t t1, F&& f) const
    {
        for (const Sample& s : pending())
            if (s.time_ms >= t0 && s.time_ms < t1 && !f(s))
                return false;
        return true;
    }

    std::int64_t newest = INT64_MIN;

private:
    const ReadingStore::Impl& d_;
};

// Statistics gathered from rows and minutes alike: sums, exact in whole
// numbers.
struct Sums {
    std::int64_t count = 0, over = 0, under = 0, min = 0, max = 0;
    __int128 sum = 0, sum_squares = 0;

    void add(const Sample& s)
    {
        if (s.mark == Mark::over) {
            ++over;
            return;
        }
        if (s.mark == Mark::under) {
            ++under;
            return;
        }
        min = count == 0 ? s.value : std::min<std::int64_t>(min, s.value);
        max = count == 0 ? s.value : std::max<std::int64_t>(max, s.value);
        ++count;
        sum += s.value;
        sum_squares += std::int64_t(s.value) * s.value;
    }
    Statistics statistics() const
    {
        Statistics st;
        st.count = std::size_t(count);
        st.over = std::size_t(over);
        st.under = std::size_t(under);
        if (count > 0) {
            st.min = int(min);
            st.max = int(max);
            st.mean = double(sum) / double(count);
        }
        if (count > 1) {
            const __int128 n = count;
            const __int128 spread = n * sum_squares - sum * sum;  // n^2 times the variance's n/(n-1) part
            st.sdev = std::sqrt(double(spread) / (double(n) * double(n - 1)));
        }
        return st;
    }
};

void add_to_column(Column& col, const Sample& r)
{
    const bool any = col.count + col.over + col.under > 0;
    if (!any) {
        col.setpoint_min = col.setpoint_max = r.setpoint;
    } else {
        col.setpoint_min = std::min(col.setpoint_min, int(r.setpoint));
        col.setpoint_max = std::max(col.setpoint_max, int(r.setpoint));
    }
    if (r.mode == history::Mode::zep)
        ++col.zep;
    if (r.limit == history::Limit::low)
        ++col.low;
    else if (r.limit == history::Limit::high)
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
}

constexpr const char* minute_columns =
    "SELECT minute, count, value_min, value_max, value_first, value_last, over, under, low, high, zep, "
    "setpoint_min, setpoint_max, value_sum, value_sum_squares FROM minutes ";

void add_minute_to_column(Column& col, const Statement& m)
{
    const std::int64_t count = m.integer(1), over = m.integer(6), under = m.integer(7);
    if (count + over + under == 0)
        return;
    const bool any = col.count + col.over + col.under > 0;
    col.setpoint_min = any ? std::min(col.setpoint_min, int(m.integer(11))) : int(m.integer(11));
    col.setpoint_max = any ? std::max(col.setpoint_max, int(m.integer(12))) : int(m.integer(12));
    col.over += std::size_t(over);
    col.under += std::size_t(under);
    col.low += std::size_t(m.integer(8));
    col.high += std::size_t(m.integer(9));
    col.zep += std::size_t(m.integer(10));
    if (count > 0) {
        if (col.count == 0) {
            col.min = int(m.integer(2));
            col.max = int(m.integer(3));
            col.first = int(m.integer(4));
        } else {
            col.min = std::min(col.min, int(m.integer(2)));
            col.max = std::max(col.max, int(m.integer(3)));
        }
        col.last = int(m.integer(5));
        col.count += std::size_t(count);
    }
}

// The whole minutes inside [t0, t1): [first, end), empty when none.
std::pair<std::int64_t, std::int64_t> whole_minutes(std::int64_t t0, std::int64_t t1)
{
    // Far beyond any reading's time, and clear of overflow.
    constexpr std::int64_t far = std::int64_t(1) << 60;
    if (t0 < -far || t1 > far) {
        const std::int64_t a = std::max(t0, -far), b = std::min(t1, far);
        const auto inner = a < b ? whole_minutes(a, b) : std::pair{t1, t1};
        return inner.first < inner.second ? inner : std::pair{t1, t1};
    }
    const std::int64_t first = minute_of(t0) == t0 ? t0 : minute_of(t0) + minute_ms;
    const std::int64_t end = minute_of(t1);
    return first < end ? std::pair{first, end} : std::pair{t1, t1};
}

} // namespace

std::size_t ReadingStore::count() const
{
    const Snapshot snap(*impl_);
    // The minutes' counts add up to the rows; summing a quarter's minutes
    // takes 20 ms, so the last sum is kept, and while retention has taken
    // nothing since, only the rows committed since are counted.
    Impl::CountCache& cache = impl_->count_cache;
    std::int64_t oldest = INT64_MIN;
    {
        Statement q(snap.db(), "SELECT minute FROM minutes ORDER BY minute LIMIT 1");
        if (q.step() == SQLITE_ROW)
            oldest = q.integer(0);
    }
    std::size_t n = 0;
    if (cache.valid && cache.oldest == oldest && cache.newest <= snap.newest) {
        Statement q(snap.db(), "SELECT count(*) FROM readings WHERE time > ?");
        q.bind(1, cache.newest);
        n = cache.count + (q.step() == SQLITE_ROW ? std::size_t(q.integer(0)) : 0);
    } else {
        Statement q(snap.db(), "SELECT total(count + over + under) FROM minutes");
        n = q.step() == SQLITE_ROW ? std::size_t(q.integer(0)) : 0;
    }
    cache = {true, oldest, snap.newest, n};
    return n + snap.pending().size();
}

std::optional<std::pair<std::int64_t, std::int64_t>> ReadingStore::time_range() const
{
    const Snapshot snap(*impl_);
    std::optional<std::pair<std::int64_t, std::int64_t>> range;
    // Two subqueries: SQLite reads one end of the key for a lone min() or
    // max(), but scans every row for both in one select.
    Statement q(snap.db(), "SELECT (SELECT min(time) FROM readings), (SELECT max(time) FROM readings)");
    if (q.step() == SQLITE_ROW && !q.null(0))
        range = std::pair{q.integer(0), q.integer(1)};
    if (!snap.pending().empty()) {
        const std::int64_t last = snap.pending().back().time_ms;
        range = range ? std::pair{range->first, last} : std::pair{snap.pending().front().time_ms, last};
    }
    return range;
}

std::vector<Sample> ReadingStore::latest(std::size_t n) const
{
    const Snapshot snap(*impl_);
    const auto& pending = snap.pending();
    const std::size_t from_pending = std::min(n, pending.size());
    std::vector<Sample> out;
    out.reserve(std::min<std::size_t>(n, 1 << 20));
    if (n > from_pending) {
        Statement q(snap.db(), std::string(row_columns) + "ORDER BY time DESC LIMIT ?");
        q.bind(1, std::int64_t(std::min<std::size_t>(n - from_pending, INT64_MAX)));
        while (q.step() == SQLITE_ROW)
            out.push_back(sample_of(q));
        std::reverse(out.begin(), out.end());
    }
    out.insert(out.end(), pending.end() - std::ptrdiff_t(from_pending), pending.end());
    return out;
}

void ReadingStore::visit(std::int64_t t0, std::int64_t t1,
                         const std::function<bool(const Sample&)>& visit) const
{
    const Snapshot snap(*impl_);
    if (snap.rows(t0, t1, visit))
        snap.pending_in(t0, t1, visit);
}

Statistics ReadingStore::statistics(std::int64_t t0, std::int64_t t1) const
{
    if (t1 <= t0)
        return {};
    const Snapshot snap(*impl_);
    Sums sums;
    std::optional<Sample> last;
    auto add = [&](const Sample& s) {
        sums.add(s);
        last = s;
        return true;
    };
    const auto [a, b] = whole_minutes(t0, t1);
    snap.rows(t0, a, add);
    if (a < b) {
        // Whole numbers throughout (sum(), not total()): the sums of
        // squares of months pass 2^53.
        Statement q(snap.db(), "SELECT sum(count), min(value_min), max(value_max), sum(value_sum), "
                               "sum(value_sum_squares), sum(over), sum(under) FROM minutes "
                               "WHERE minute >= ? AND minute < ?");
        q.bind(1, a).bind(2, b);
        if (q.step() == SQLITE_ROW && q.integer(0) + q.integer(5) + q.integer(6) > 0) {
            Sums m;
            m.count = q.integer(0);
            m.min = q.integer(1);
            m.max = q.integer(2);
            m.sum = q.integer(3);
            m.sum_squares = q.integer(4);
            m.over = q.integer(5);
            m.under = q.integer(6);
            if (m.count > 0) {
                sums.min = sums.count == 0 ? m.min : std::min(sums.min, m.min);
                sums.max = sums.count == 0 ? m.max : std::max(sums.max, m.max);
            }
            sums.count += m.count;
            sums.sum += m.sum;
            sums.sum_squares += m.sum_squares;
            sums.over += m.over;
            sums.under += m.under;
            Statement newest(snap.db(), std::string(row_columns) + "WHERE time >= ? AND time < ? "
                                                                   "ORDER BY time DESC LIMIT 1");
            newest.bind(1, a).bind(2, b);
            if (newest.step() == SQLITE_ROW)
                last = sample_of(newest);
        }
    }
    snap.rows(b, t1, add);
    snap.pending_in(t0, t1, add);
    Statistics st = sums.statistics();
    st.last = last;
    return st;
}

std::vector<Column> ReadingStore::reduce(std::int64_t t0, std::int64_t t1, int columns) const
{
    std::vector<Column> out;
    if (columns <= 0 || t1 <= t0)
        return out;
    out.resize(std::size_t(columns));
    using wide = __int128;
    const wide length = wide(t1) - wide(t0);
    auto start = [&](int c) { return std::int64_t(wide(t0) + (wide(c) * length + columns - 1) / columns); };
    for (int c = 0; c < columns; ++c) {
        out[std::size_t(c)].t0 = start(c);
        out[std::size_t(c)].t1 = c + 1 == columns ? t1 : start(c + 1);
    }
    auto column_of = [&](std::int64_t t) -> Column& {
        const auto c = std::size_t((wide(t) - wide(t0)) * columns / length);
        return out[std::min(c, out.size() - 1)];
    };
    auto add = [&](const Sample& s) {
        add_to_column(column_of(s.time_ms), s);
        return true;
    };

    const Snapshot snap(*impl_);
    // Columns of a minute or more draw from the minutes: a month reads
    // 43200 of them instead of 7.8 million rows. Narrower ones, and the
    // part minutes at the ends, from the rows.
    const bool by_minutes = length / columns >= minute_ms;
    const auto [a, b] = by_minutes ? whole_minutes(t0, t1) : std::pair{t1, t1};
    snap.rows(t0, a, add);
    if (a < b) {
        Statement q(snap.db(), std::string(minute_columns) + "WHERE minute >= ? AND minute < ? ORDER BY minute");
        q.bind(1, a).bind(2, b);
        while (q.step() == SQLITE_ROW)
            add_minute_to_column(column_of(q.integer(0)), q);
        snap.rows(b, t1, add);
    }
    snap.pending_in(t0, t1, add);
    return out;
}

} // namespace korvel::store
