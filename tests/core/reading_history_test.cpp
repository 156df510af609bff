// The reading history: its ring, its statistics against a straightforward
// computation over random readings, limits, and the drawing reduction.
#include "history/reading_history.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace korvel::history {
namespace {

Sample reading(std::int64_t t, int value, Mark mark = Mark::none, int setpoint = 0)
{
    Sample s;
    s.time_ms = t;
    s.value = static_cast<std::int16_t>(value);
    s.setpoint = static_cast<std::int16_t>(setpoint);
    s.mark = mark;
    return s;
}

// The figures a reader would work out by hand: two passes, no running sums.
Statistics reference(const std::vector<Sample>& samples)
{
    Statistics s;
    std::vector<double> values;
    for (const Sample& r : samples) {
        s.last = r;
        if (r.mark == Mark::over)
            ++s.over;
        else if (r.mark == Mark::under)
            ++s.under;
        else
            values.push_back(r.value);
    }
    s.count = values.size();
    if (values.empty())
        return s;
    s.min = int(*std::min_element(values.begin(), values.end()));
    s.max = int(*std::max_element(values.begin(), values.end()));
    double sum = 0;
    for (double v : values)
        sum += v;
    s.mean = sum / double(values.size());
    double squares = 0;
    for (double v : values)
        squares += (v - s.mean) * (v - s.mean);
    s.sdev = values.size() > 1 ? std::sqrt(squares / double(values.size() - 1)) : 0.0;
    return s;
}

void expect_same(const Statistics& got, const Statistics& want)
{
    EXPECT_EQ(got.count, want.count);
    EXPECT_EQ(got.over, want.over);
    EXPECT_EQ(got.under, want.under);
    if (want.count > 0) {
        EXPECT_EQ(got.min, want.min);
        EXPECT_EQ(got.max, want.max);
        EXPECT_NEAR(got.mean, want.mean, 1e-6);
        EXPECT_NEAR(got.sdev, want.sdev, 1e-6);
    }
    ASSERT_EQ(got.last.has_value(), want.last.has_value());
    if (want.last) {
        EXPECT_EQ(got.last->time_ms, want.last->time_ms);
    }
}

// Random readings about a level with noise, and now and then an OR or UR.
std::vector<Sample> random_readings(std::size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(12000.0, 350.0);
    std::uniform_int_distribution<int> step(1, 700), pick(0, 49);
    std::vector<Sample> v;
    std::int64_t t = 1'780'000'000'000;
    for (std::size_t i = 0; i < n; ++i) {
        t += step(rng);
        const int p = pick(rng);
        const Mark m = p == 0 ? Mark::over : p == 1 ? Mark::under : Mark::none;
        const int value = std::clamp(int(std::lround(noise(rng))), -19999, 19999);
        v.push_back(reading(t, m == Mark::over ? 0 : value, m, value));
    }
    return v;
}

TEST(ReadingHistory, KeepsTheNewestInOrderOnceFull)
{
    ReadingHistory h(5);
    EXPECT_TRUE(h.empty());
    for (int i = 0; i < 3; ++i)
        h.add(reading(100 + i, i));
    ASSERT_EQ(h.size(), 3u);
    EXPECT_EQ(h.at(0).value, 0);
    EXPECT_EQ(h.newest().value, 2);

    // Twelve in all through a ring of five: the last five, oldest first,
    // many times round.
    for (int i = 3; i < 12; ++i)
        h.add(reading(100 + i, i));
    ASSERT_EQ(h.size(), 5u);
    EXPECT_EQ(h.capacity(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(h.at(i).value, int(7 + i));
        EXPECT_EQ(h.at(i).time_ms, std::int64_t(107 + i));
    }

    // A wall clock that steps back keeps the order.
    h.add(reading(50, 99));
    EXPECT_EQ(h.newest().time_ms, 111);
    EXPECT_EQ(h.newest().value, 99);

    // A day at the fastest rate fits, in at most 20 MB.
    EXPECT_GE(ReadingHistory::default_capacity, 24u * 3600u * 3u);
    EXPECT_LE(ReadingHistory::default_capacity * sizeof(Sample), 20u * 1024u * 1024u);
}

TEST(ReadingHistory, AsASourceGivesTheNewestAndASpanAcrossTheRingsWrap)
{
    ReadingHistory h(5);
    const ReadingSource& source = h;
    EXPECT_FALSE(source.time_range());
    EXPECT_TRUE(source.latest(3).empty());
    for (int i = 0; i < 8; ++i)  // 103..107 kept, wrapped round the ring
        h.add(reading(100 + i, i));
    EXPECT_EQ(source.count(), 5u);
    EXPECT_EQ(source.time_range(), (std::pair<std::int64_t, std::int64_t>{103, 107}));

    auto values = [](const std::vector<Sample>& samples) {
        std::vector<int> v;
        for (const Sample& s : samples)
            v.push_back(s.value);
        return v;
    };
    EXPECT_EQ(values(source.latest(2)), (std::vector<int>{6, 7}));
    EXPECT_EQ(values(source.latest(99)), (std::vector<int>{3, 4, 5, 6, 7}));

    std::vector<Sample> seen;
    source.visit(104, 107, [&](const Sample& s) { seen.push_back(s); return true; });
    EXPECT_EQ(values(seen), (std::vector<int>{4, 5, 6}));
    seen.clear();
    source.visit(0, 1000, [&](const Sample& s) { seen.push_back(s); return seen.size() < 2; });
    EXPECT_EQ(values(seen), (std::vector<int>{3, 4}));
}

TEST(ReadingHistory, ARestoredReadingKeepsItsVerdictAndIsNoFailureOfThisRun)
{
    ReadingHistory h;
    h.set_limits({true, -100, 100});
    Sample judged_high_then = reading(1, 50);
    judged_high_then.limit = Limit::high;  // under the limits of its own run
    Sample inside_then = reading(2, 500);
    h.restore(judged_high_then);
    h.restore(inside_then);
    EXPECT_EQ(h.at(0).limit, Limit::high);
    EXPECT_EQ(h.at(1).limit, Limit::none);
    EXPECT_EQ(h.limit_failures(), 0u);
    EXPECT_EQ(h.totals().readings, 0u);
    EXPECT_EQ(h.statistics().count, 2u);
    // This run's readings are judged and counted as ever.
    EXPECT_EQ(h.add(reading(3, 500)).limit, Limit::high);
    EXPECT_EQ(h.limit_failures(), 1u);
}

TEST(ReadingHistory, StatisticsMatchAReferenceOverRandomReadings)
{
    const auto readings = random_readings(20000, 7);
    ReadingHistory h(4096);  // the ring lets most of them go
    for (const Sample& s : readings)
        h.add(s);

    // The running figures cover every reading added, kept or not.
    expect_same(h.statistics(), reference(readings));
    EXPECT_GT(h.statistics().over, 0u);
    EXPECT_GT(h.statistics().under, 0u);

    // Span figures cover the readings kept in [t0, t1), ends included and
    // excluded as written, and nothing before the oldest kept.
    const std::vector<Sample> kept(readings.end() - 4096, readings.end());
    const std::int64_t t0 = kept[1000].time_ms, t1 = kept[3000].time_ms;
    expect_same(h.statistics(t0, t1),
                reference(std::vector<Sample>(kept.begin() + 1000, kept.begin() + 3000)));
    expect_same(h.statistics(0, t0 + 1),
                reference(std::vector<Sample>(kept.begin(), kept.begin() + 1001)));
    expect_same(h.statistics(t1, t1), Statistics{});
    expect_same(h.statistics(t1, t0), Statistics{});
}

TEST(ReadingHistory, MarkedReadingsAreCountedApartAndNeverJudged)
{
    ReadingHistory h;
    h.set_limits({true, 100, 200});
    h.add(reading(1, 150));
    h.add(reading(2, 0, Mark::over));
    h.add(reading(3, 50, Mark::under));
    h.add(reading(4, 170));
    const Statistics& s = h.statistics();
    EXPECT_EQ(s.count, 2u);
    EXPECT_EQ(s.over, 1u);
    EXPECT_EQ(s.under, 1u);
    EXPECT_EQ(s.min, 150);
    EXPECT_EQ(s.max, 170);
    EXPECT_DOUBLE_EQ(s.mean, 160.0);
    // The OR reading's 0 and the UR reading's 50 lie below 100 but say
    // nothing about the input: no limit verdict.
    EXPECT_EQ(h.limit_failures(), 0u);
    EXPECT_EQ(h.at(1).limit, Limit::none);
    EXPECT_EQ(h.at(2).limit, Limit::none);
    // Only marked readings: no figures, but the last is there.
    ReadingHistory only;
    only.add(reading(1, 0, Mark::over));
    EXPECT_EQ(only.statistics().count, 0u);
    EXPECT_EQ(only.statistics(0, 10).count, 0u);
    ASSERT_TRUE(only.statistics().last);
    EXPECT_EQ(only.statistics().last->mark, Mark::over);
}

TEST(ReadingHistory, LimitsJudgeEachReadingAsItComes)
{
    ReadingHistory h;
    h.add(reading(1, -5000));  // limits off: inside
    h.set_limits({true, -100, 100});
    for (int v : {-101, -100, 0, 100, 101})
        h.add(reading(2, v));
    EXPECT_EQ(h.at(0).limit, Limit::none);
    EXPECT_EQ(h.at(1).limit, Limit::low);
    EXPECT_EQ(h.at(2).limit, Limit::none);  // equal is inside
    EXPECT_EQ(h.at(4).limit, Limit::none);
    EXPECT_EQ(h.at(5).limit, Limit::high);
    EXPECT_EQ(h.limit_failures(), 2u);

    // New limits apply from now on; the verdicts kept stay.
    h.set_limits({true, 0, 10});
    EXPECT_EQ(h.at(2).limit, Limit::none);
    EXPECT_EQ(h.judge(-100, Mark::none), Limit::low);
    h.set_limits({false, 0, 10});
    EXPECT_EQ(h.add(reading(3, 5000)).limit, Limit::none);
    EXPECT_EQ(h.limit_failures(), 2u);

    // The count starts again on its own, or with the statistics.
    h.clear_limit_failures();
    EXPECT_EQ(h.limit_failures(), 0u);
    EXPECT_EQ(h.statistics().count, 7u);
    h.set_limits({true, 0, 10});
    h.add(reading(4, 11));
    h.clear_statistics();
    EXPECT_EQ(h.limit_failures(), 0u);
}

TEST(ReadingHistory, ResetsStartTheFiguresAgain)
{
    ReadingHistory h(8);
    for (int i = 0; i < 6; ++i)
        h.add(reading(i, 1000 * i));

    // Clearing the statistics keeps the readings; the figures start again.
    h.clear_statistics();
    EXPECT_EQ(h.size(), 6u);
    EXPECT_EQ(h.statistics().count, 0u);
    EXPECT_FALSE(h.statistics().last);
    h.add(reading(10, 7));
    h.add(reading(11, 9));
    EXPECT_EQ(h.statistics().count, 2u);
    EXPECT_EQ(h.statistics().min, 7);
    EXPECT_DOUBLE_EQ(h.statistics().mean, 8.0);
    EXPECT_DOUBLE_EQ(h.statistics().sdev, std::sqrt(2.0));
    // The span figures still see every reading kept.
    EXPECT_EQ(h.statistics(0, 100).count, 8u);

    // Clearing forgets the readings too; the ring then fills from scratch.
    h.clear();
    EXPECT_TRUE(h.empty());
    EXPECT_EQ(h.statistics().count, 0u);
    EXPECT_EQ(h.statistics(0, 100).count, 0u);
    for (int i = 0; i < 10; ++i)
        h.add(reading(200 + i, i));
    EXPECT_EQ(h.at(0).value, 2);
    EXPECT_EQ(h.statistics().count, 10u);
}

TEST(ReadingHistory, ListenersHearEachReadingAndMayChangeTheHistory)
{
    ReadingHistory h;
    h.set_limits({true, 0, 10});
    std::vector<Sample> heard;
    const int key = h.on_add([&](const Sample& s) { heard.push_back(s); });
    // A listener that clears the history on the reading it hears.
    int clearer = h.on_add([&](const Sample& s) {
        if (s.value == 66)
            h.clear();
    });
    h.add(reading(1, 5));
    const Sample& kept = h.add(reading(2, 66));
    EXPECT_EQ(kept.value, 66);  // the slot it was kept in, whatever the listener did
    EXPECT_TRUE(h.empty());
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[1].limit, Limit::high);  // heard with its verdict
    h.forget(clearer);
    h.forget(key);
    h.add(reading(3, 1));
    EXPECT_EQ(heard.size(), 2u);
}

TEST(ReadingHistory, ReductionKeepsEveryExtremeInItsColumn)
{
    const auto readings = random_readings(30000, 11);
    ReadingHistory h(readings.size());
    for (const Sample& s : readings)
        h.add(s);
    const std::int64_t t0 = readings.front().time_ms - 3, t1 = readings.back().time_ms + 1;

    for (int columns : {1, 7, 1400, 4093}) {
        SCOPED_TRACE(columns);
        const std::vector<Column> cols = h.reduce(t0, t1, columns);
        ASSERT_EQ(cols.size(), std::size_t(columns));
        EXPECT_EQ(cols.front().t0, t0);
        EXPECT_EQ(cols.back().t1, t1);
        // Every reading falls in the column whose [t0, t1) holds its time,
        // and each column holds exactly the extremes of its readings.
        std::size_t next = 0, total = 0;
        for (std::size_t c = 0; c < cols.size(); ++c) {
            const Column& col = cols[c];
            if (c > 0) {
                EXPECT_EQ(col.t0, cols[c - 1].t1);
            }
            std::vector<Sample> in;
            while (next < readings.size() && readings[next].time_ms < col.t1)
                in.push_back(readings[next++]);
            const Statistics want = reference(in);
            EXPECT_EQ(col.count, want.count);
            EXPECT_EQ(col.over, want.over);
            EXPECT_EQ(col.under, want.under);
            if (want.count > 0) {
                EXPECT_EQ(col.min, want.min);
                EXPECT_EQ(col.max, want.max);
            }
            total += col.count + col.over + col.under;
        }
        EXPECT_EQ(total, readings.size());
    }
    // The overall extremes survive at any width.
    const Statistics all = reference(readings);
    const auto cols = h.reduce(t0, t1, 3);
    int lo = 20000, hi = -20000;
    for (const Column& c : cols) {
        lo = std::min(lo, c.min);
        hi = std::max(hi, c.max);
    }
    EXPECT_EQ(lo, all.min);
    EXPECT_EQ(hi, all.max);
}

TEST(ReadingHistory, ReductionOfAShortSpanAndItsLimitsAndSetPoints)
{
    ReadingHistory h;
    h.set_limits({true, 0, 100});
    h.add(reading(10, 50, Mark::none, 40));
    h.add(reading(12, 150, Mark::none, 45));
    h.add(reading(13, -3, Mark::none, 30));
    h.add(reading(19, 0, Mark::over, 60));
    // Ten columns over three milliseconds: most are empty, none is lost.
    const auto cols = h.reduce(10, 13, 10);
    std::size_t seen = 0;
    for (const Column& c : cols)
        seen += c.count;
    EXPECT_EQ(seen, 2u);
    EXPECT_EQ(cols[0].first, 50);
    EXPECT_EQ(cols[0].setpoint_min, 40);

    const auto one = h.reduce(0, 20, 1);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].count, 3u);
    EXPECT_EQ(one[0].over, 1u);
    EXPECT_EQ(one[0].first, 50);
    EXPECT_EQ(one[0].last, -3);
    EXPECT_EQ(one[0].low, 1u);
    EXPECT_EQ(one[0].high, 1u);
    EXPECT_EQ(one[0].setpoint_min, 30);
    EXPECT_EQ(one[0].setpoint_max, 60);
    EXPECT_TRUE(h.reduce(20, 10, 5).empty());
    EXPECT_TRUE(h.reduce(0, 20, 0).empty());
}

} // namespace
} // namespace korvel::history
