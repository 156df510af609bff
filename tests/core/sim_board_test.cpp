// The simulated board through its port registers: latches, status groups,
// the converter's timing and lines, absent ports, faults and lazy time.
#include "sim/board_state.h"
#include "sim/clock.h"
#include "sim/sim_board.h"
#include "sim/simulated.h"

#include "support/temp_tree.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace korvel::sim {
namespace {

constexpr std::int16_t data_reg = 0x378;
constexpr std::int16_t status_reg = 0x379;
constexpr std::int16_t control_reg = 0x37A;

// At 100 kHz one converter clock is 10 us, so tests can name clocks.
constexpr std::int64_t test_hz = 100'000;
constexpr std::int64_t ns_per_clock = 10'000;

// Where the converter's phases fall, counted in clocks from power-on: a
// minimal auto-zero, then cycles of 40002 clocks starting with integrate.
constexpr std::int64_t start_of(int k) { return 10'001 + 40'002LL * k; }
constexpr std::int64_t latch_of(int k, int n) { return start_of(k) + 10'001 + n; }

struct Bench {
    explicit Bench(std::int64_t hz = test_hz) : board(clock, hz)
    {
        board.set_diagnostic([this](std::string_view l) { diagnostics.emplace_back(l); });
    }
    void at_clock(std::int64_t c) { clock.set_ns(c * ns_per_clock); }
    std::uint8_t status(int code)
    {
        board.Out32(control_reg, static_cast<std::int16_t>(code));
        return static_cast<std::uint8_t>(board.Inp32(status_reg));
    }
    bool conversion_line() { return status(0) & 0x08; }
    // The digit driven now: 5 for D5, 4..1 for D4..D1, 0 for none.
    int driven()
    {
        if (status(0) & 0x10)
            return 5;
        const int d = (status(8) ^ 0x80) >> 4;
        for (int i = 0; i < 4; ++i)
            if (d == (1 << i))
                return i + 1;
        return d == 0 ? 0 : -1;
    }
    int bcd() { return (status(12) ^ 0x80) >> 4; }
    // The reading on the digit lines: samples one multiplex cycle from the
    // current clock, as "d5d4d3d2d1".
    std::string digits(std::int64_t from)
    {
        std::map<int, int> seen;
        for (int slot = 0; slot < 5; ++slot) {
            at_clock(from + 100 + slot * 200);
            const int d = driven();
            if (d >= 1)
                seen[d] = bcd();
        }
        std::string s;
        for (int d = 5; d >= 1; --d)
            s += seen.count(d) ? static_cast<char>('0' + seen[d]) : '?';
        return s;
    }

    VirtualClock clock;
    SimBoard board;
    std::vector<std::string> diagnostics;
};

// --- Output latches ---------------------------------------------------------

TEST(SimBoardLatches, TakeTheDataByteOnlyOnTheirStrobeCode)
{
    Bench b;
    b.board.Out32(data_reg, 0x5A);
    EXPECT_EQ(b.board.state().latch_lo, 0) << "a data write alone latches nothing";
    EXPECT_EQ(b.board.state().latch_hi, 0);

    for (int code : {0, 8, 12, 4, 2})
        b.board.Out32(control_reg, static_cast<std::int16_t>(code));
    EXPECT_EQ(b.board.state().latch_lo, 0) << "selector and idle codes latch nothing";
    EXPECT_EQ(b.board.state().latch_hi, 0);

    b.board.Out32(control_reg, 3);
    EXPECT_EQ(b.board.state().latch_lo, 0x5A);
    EXPECT_EQ(b.board.state().latch_hi, 0);

    // The latch holds while the data register changes under a held strobe
    // code; the next strobe write takes the new byte.
    b.board.Out32(data_reg, 0xC3);
    EXPECT_EQ(b.board.state().latch_lo, 0x5A);
    b.board.Out32(control_reg, 1);
    EXPECT_EQ(b.board.state().latch_hi, 0xC3);
    EXPECT_EQ(b.board.state().latch_lo, 0x5A);
    b.board.Out32(control_reg, 0);
    EXPECT_EQ(b.board.state().data, 0xC3);
    EXPECT_EQ(b.board.state().control, 0);
}

TEST(SimBoardLatches, SafeStateSequenceIsRecordedInOrder)
{
    Bench b;
    b.at_clock(5);
    b.board.Out32(data_reg, 255);
    b.board.Out32(control_reg, 3);
    b.board.Out32(control_reg, 0);
    b.board.Out32(control_reg, 12);
    const BoardState s = snapshot(b.board.state());
    EXPECT_EQ(s.latch_lo, 255);
    EXPECT_EQ(s.control, 12);
    ASSERT_EQ(s.writes, 4u);
    const std::pair<int, int> expected[] = {{0x37A, 12}, {0x37A, 0}, {0x37A, 3}, {0x378, 255}};
    for (std::size_t i = 0; i < 4; ++i) {
        const BoardWrite w = s.recent(i);
        EXPECT_EQ(w.seq, 4 - i);
        EXPECT_EQ(w.address, expected[i].first);
        EXPECT_EQ(w.value, expected[i].second);
        EXPECT_EQ(w.time_ns, 5 * ns_per_clock);
    }
    EXPECT_EQ(s.recent(4).seq, 0u);
}

TEST(SimBoardLatches, RingKeepsTheLastWritesAfterWrapping)
{
    Bench b;
    for (int i = 0; i < 200; ++i)
        b.board.Out32(data_reg, static_cast<std::int16_t>(i));
    const BoardState s = snapshot(b.board.state());
    EXPECT_EQ(s.writes, 200u);
    for (std::size_t n = 0; n < BoardState::ring_size; ++n) {
        EXPECT_EQ(s.recent(n).seq, 200 - n);
        EXPECT_EQ(s.recent(n).value, static_cast<std::uint8_t>(199 - n));
    }
}

TEST(SimBoardLatches, DataLinesTurnedToInputLatchPullUps)
{
    Bench b;
    b.board.Out32(data_reg, 0x12);
    b.board.Out32(control_reg, 0x20 | 3);
    EXPECT_EQ(b.board.state().latch_lo, 255);
}

// --- Absent ports -----------------------------------------------------------

TEST(SimBoardPorts, OtherBasesAreAbsentWithOneDiagnosticEach)
{
    Bench b;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(b.board.Inp32(0x279), 255);
        b.board.Out32(0x278, 0x11);
        b.board.Out32(0x27A, 3);
        EXPECT_EQ(b.board.Inp32(0x3BD), 255);
        b.board.Out32(0x3BE, 1);
    }
    EXPECT_EQ(b.board.state().writes, 0u) << "nothing reaches the board";
    EXPECT_EQ(b.board.state().latch_lo, 0);
    ASSERT_EQ(b.diagnostics.size(), 2u);
    EXPECT_EQ(b.diagnostics[0], "korvel-sim: port 0x278: no board here (the simulated board "
                                "answers at 0x378); choose &H378 in the Port panel");
    EXPECT_NE(b.diagnostics[1].find("port 0x3BC: no board here"), std::string::npos);

    // The board's own base still answers and reports nothing.
    b.board.Inp32(status_reg);
    EXPECT_EQ(b.diagnostics.size(), 2u);
}

// --- Status groups ----------------------------------------------------------

TEST(SimBoardStatus, GroupsFollowTheControlCode)
{
    Bench b;
    b.board.use_fixed_input(12345);
    // Auto-zero after the first result, with D4 driven (the second 200
    // clocks of a multiplex cycle).
    const std::int64_t l0 = latch_of(0, 12345);
    b.at_clock(l0 + 1000 + 250);
    for (int code : {0, 1, 3, 4, 8, 12})
        EXPECT_EQ(b.status(code) & 0x07, 0x07) << "bits 0..2 always read 1, code " << code;

    // Code 0 (and the strobe codes 1 and 3): conversion line high, no D5,
    // positive, no over-range, no under-range (bit 7 reads inverted: 1).
    for (int code : {0, 1, 3})
        EXPECT_EQ(b.status(code), 0x08 | 0x20 | 0x80 | 0x07) << "code " << code;
    // Code 8: D4 on bit 7, read inverted.
    EXPECT_EQ(b.status(8), 0x08 | 0x00 | 0x07);
    // Code 12: the value 2 of D4 (weight 2 = bit 5); bit 7 (weight 8)
    // clear on the line reads 1.
    EXPECT_EQ(b.status(12), 0x08 | 0x20 | 0x80 | 0x07);
    // Code 4: the selector's unused input, every line high.
    EXPECT_EQ(b.status(4), 0x08 | 0x70 | 0x07);
}

TEST(SimBoardStatus, BitSevenReadsTheComplementOfItsLine)
{
    Bench b;
    b.board.use_fixed_input(-900); // under-range, negative; digits 0 0900
    const std::int64_t l0 = latch_of(0, 900);
    b.at_clock(l0 + 1000 + 450); // D3 driven, value 9: weight 8 on bit 7
    EXPECT_EQ(b.status(0) & 0x80, 0) << "under-range line high reads 0";
    EXPECT_EQ(b.status(0) & 0x20, 0) << "negative polarity";
    EXPECT_EQ(b.status(12) >> 4, (9 ^ 8)) << "BCD 9 reads 1 with bit 7 flipped";
    EXPECT_EQ(b.status(8) >> 4, (4 ^ 8)) << "D3 drive on bit 6, bit 7 reads 1";
    b.at_clock(l0 + 2000 + 250); // D4 driven: bit 7 line high reads 0
    EXPECT_EQ(b.status(8) >> 4, (8 ^ 8));
}

// --- Converter timing -------------------------------------------------------

TEST(SimBoardConverter, ConversionLineLowFor10001PlusNAndHighFor30001MinusN)
{
    for (int n : {0, 700, 12345, 19999, 20000}) {
        Bench b;
        b.board.use_fixed_input(n);
        const int counts = n > 19999 ? 20001 : n;
        std::vector<std::pair<bool, std::int64_t>> runs; // level, length
        bool level = true;
        std::int64_t length = 0;
        for (std::int64_t c = 0; c < start_of(3); ++c) {
            b.at_clock(c);
            const bool now = b.conversion_line();
            if (now != level && length) {
                runs.emplace_back(level, length);
                length = 0;
            }
            level = now;
            ++length;
        }
        ASSERT_GE(runs.size(), 5u) << n;
        EXPECT_EQ(runs[0], std::make_pair(true, std::int64_t{10'001})) << "power-on auto-zero";
        for (std::size_t i = 1; i + 1 < runs.size(); i += 2) {
            EXPECT_EQ(runs[i], std::make_pair(false, std::int64_t{10'001} + counts)) << n;
            EXPECT_EQ(runs[i + 1], std::make_pair(true, std::int64_t{30'001} - counts)) << n;
        }
    }
}

TEST(SimBoardConverter, LineRisesJustWhenTheNewResultIsLatched)
{
    Bench b;
    // A different input in each cycle's integrate window.
    b.board.use_waveform_input([](std::int64_t ns) {
        const std::int64_t c = ns / ns_per_clock;
        return c < start_of(1) ? 3000.0 : 7654.0;
    });
    const std::int64_t l1 = latch_of(1, 7654);
    b.at_clock(l1 - 1);
    EXPECT_FALSE(b.conversion_line());
    EXPECT_EQ(b.board.converter().latched().count, 3000);
    b.at_clock(l1);
    EXPECT_TRUE(b.conversion_line());
    EXPECT_EQ(b.board.converter().latched().count, 7654);
    // The new digits are on the lines from the rise: D5 first, then D4 = 7.
    EXPECT_EQ(b.driven(), 5);
    EXPECT_EQ(b.digits(l1), "07654");
}

TEST(SimBoardConverter, DigitsMultiplexD5ToD1For200ClocksEach)
{
    Bench b;
    b.board.use_fixed_input(12345);
    const std::int64_t l0 = latch_of(0, 12345);
    const int expected_value[6] = {0, 5, 4, 3, 2, 1};
    // Three multiplex cycles from the latch, and three more in the middle of
    // the next integrate: the cycle runs on through the phases.
    for (std::int64_t from : {l0, start_of(1) + 5000 - (start_of(1) + 5000 - l0) % 1000}) {
        for (std::int64_t c = from; c < from + 3000; ++c) {
            b.at_clock(c);
            const int want = 5 - static_cast<int>((c - from) % 1000 / 200);
            ASSERT_EQ(b.driven(), want) << "clock " << c - from;
            ASSERT_EQ(b.bcd(), expected_value[want]) << "clock " << c - from;
        }
    }
}

TEST(SimBoardConverter, RangeLimitsAndPolarity)
{
    struct Case {
        double input;
        const char* digits;
        bool over, under, positive;
    };
    const Case cases[] = {
        {19999, "19999", false, false, true}, {20000, nullptr, true, false, true},
        {-25000, nullptr, true, false, false}, {1801, "01801", false, false, true},
        {1800, "01800", false, true, true},   {-1800, "01800", false, true, false},
        {0, "00000", false, true, true},      {-0.0, "00000", false, true, false},
        {-12345, "12345", false, false, false}, {10000, "10000", false, false, true},
        {9999.4, "09999", false, false, true},
    };
    for (const Case& k : cases) {
        Bench b;
        b.board.use_fixed_input(k.input);
        const int n = k.over ? 20001 : static_cast<int>(std::lround(std::fabs(k.input)));
        const std::int64_t l0 = latch_of(0, n);
        b.at_clock(l0 + 10);
        const std::uint8_t s = b.status(0);
        EXPECT_EQ((s & 0x40) != 0, k.over) << k.input;
        EXPECT_EQ((s & 0x80) == 0, k.under) << k.input;
        EXPECT_EQ((s & 0x20) != 0, k.positive) << k.input;
        if (k.digits) {
            EXPECT_EQ(b.digits(l0), k.digits) << k.input;
        } else {
            // Over-range: the counter has run past full scale and the first
            // scan after the result shows 0 0000.
            EXPECT_EQ(b.digits(l0), "00000") << k.input;
        }
    }
}

TEST(SimBoardConverter, RangeLinesAndPolarityChangeAtTheirPhaseEdges)
{
    Bench b;
    // Cycle 0 over-range and positive, cycle 1 under-range and negative.
    b.board.use_waveform_input([](std::int64_t ns) {
        return ns / ns_per_clock < start_of(1) ? 25000.0 : -700.0;
    });
    const std::int64_t l0 = latch_of(0, 20001);
    const std::int64_t int1 = start_of(1);
    const std::int64_t de1 = int1 + 10'000;
    const std::int64_t l1 = latch_of(1, 700);
    const std::int64_t int2 = start_of(2);
    struct Probe {
        std::int64_t clock;
        bool over, under, positive;
    };
    const Probe probes[] = {
        {l0 - 1, false, false, true},  // de-integrate of cycle 0
        {l0, true, false, true},       // over-range set with the result
        {int1, true, false, true},     // held through the next integrate
        {de1 - 1, true, false, true},
        {de1, false, false, false},    // reset at de-integrate; new polarity valid
        {l1, false, true, false},      // under-range set with the result
        {int2 - 1, false, true, false},
        {int2, false, false, false},   // reset at the next integrate
    };
    for (const Probe& p : probes) {
        b.at_clock(p.clock);
        const std::uint8_t s = b.status(0);
        EXPECT_EQ((s & 0x40) != 0, p.over) << p.clock;
        EXPECT_EQ((s & 0x80) == 0, p.under) << p.clock;
        EXPECT_EQ((s & 0x20) != 0, p.positive) << p.clock;
    }
}

TEST(SimBoardConverter, OverRangeBlanksTheDigitsUntilDeintegrate)
{
    Bench b;
    b.board.use_fixed_input(25000);
    const std::int64_t l0 = latch_of(0, 20001);
    const std::int64_t de1 = start_of(1) + 10'000;
    const std::int64_t l1 = latch_of(1, 20001);
    for (std::int64_t c = l0; c < l1 + 3000; c += 50) {
        b.at_clock(c);
        const bool lit = (c < l0 + 1000) || (c >= de1 && c < l1 + 1000);
        if (lit)
            ASSERT_GE(b.driven(), 1) << "clock " << c;
        else
            ASSERT_EQ(b.driven(), 0) << "clock " << c;
    }
    // After the blank the scan starts again with D5.
    Bench again;
    again.board.use_fixed_input(25000);
    again.at_clock(de1);
    EXPECT_EQ(again.driven(), 5);
    EXPECT_EQ(again.digits(de1), "00000");
}

// --- Inputs -----------------------------------------------------------------

TEST(SimBoardInput, SetPointLatchesDriveTheReading)
{
    Bench b;
    b.board.use_setpoint_input();
    // -12345 as the panel sends it: low byte 57, high byte 176.
    b.board.Out32(data_reg, 57);
    b.board.Out32(control_reg, 3);
    b.board.Out32(data_reg, 176);
    b.board.Out32(control_reg, 1);
    b.board.Out32(control_reg, 0);
    const std::int64_t l0 = latch_of(0, 12345);
    b.at_clock(l0 + 10);
    EXPECT_EQ(b.status(0) & 0x20, 0) << "negative";
    EXPECT_EQ(b.digits(l0), "12345");

    // 25000 (above full scale) is over-range.
    b.board.Out32(data_reg, 25000 & 255);
    b.board.Out32(control_reg, 3);
    b.board.Out32(data_reg, 25000 >> 8);
    b.board.Out32(control_reg, 1);
    b.at_clock(latch_of(2, 20001) + 10);
    EXPECT_NE(b.status(0) & 0x40, 0);
}

TEST(SimBoardInput, SetPointChangedMidIntegrateGivesTheAverage)
{
    Bench b;
    b.board.use_setpoint_input();
    b.board.Out32(data_reg, 0);
    b.board.Out32(data_reg, 100); // 100 for the first half of the window
    b.board.Out32(control_reg, 3);
    b.at_clock(start_of(0) + 5000);
    b.board.Out32(data_reg, 200); // 200 for the second half
    b.board.Out32(control_reg, 3);
    EXPECT_EQ(b.board.converter().latched().count, 0);
    b.at_clock(latch_of(0, 150));
    EXPECT_EQ(b.board.converter().latched().count, 150);
}

TEST(SimBoardInput, NoiseIsReproducibleFromItsSeed)
{
    auto readings = [](std::uint64_t seed) {
        Bench b;
        b.board.use_setpoint_input(5.0, seed);
        b.board.Out32(data_reg, 5000 & 255);
        b.board.Out32(control_reg, 3);
        b.board.Out32(data_reg, 5000 >> 8);
        b.board.Out32(control_reg, 1);
        std::vector<int> counts;
        for (int k = 0; k < 40; ++k) {
            b.at_clock(start_of(k + 1) - 1); // auto-zero end of cycle k
            counts.push_back(b.board.converter().latched().count);
        }
        return counts;
    };
    const std::vector<int> a = readings(7);
    EXPECT_EQ(a, readings(7));
    EXPECT_NE(a, readings(8));
    double sum = 0, sq = 0;
    for (int c : a) {
        sum += c;
        sq += static_cast<double>(c) * c;
    }
    const double mean = sum / a.size();
    const double sd = std::sqrt(sq / a.size() - mean * mean);
    EXPECT_NEAR(mean, 5000, 4);
    EXPECT_GT(sd, 2);
    EXPECT_LT(sd, 10);
}

// --- Faults -----------------------------------------------------------------

TEST(SimBoardFaults, NoBoardReads127AndLatchesNothing)
{
    Bench b;
    b.board.use_fixed_input(12345);
    b.board.set_no_board(true);
    for (std::int64_t c : {std::int64_t{0}, start_of(0) + 10, latch_of(0, 12345) + 10})
        for (int code : {0, 4, 8, 12}) {
            b.at_clock(c);
            EXPECT_EQ(b.status(code), 127);
        }
    b.board.Out32(data_reg, 0x44);
    b.board.Out32(control_reg, 3);
    EXPECT_EQ(b.board.state().latch_lo, 0);
    EXPECT_EQ(b.board.state().data, 0x44) << "the port's own register still holds the byte";
}

TEST(SimBoardFaults, StuckStatusLines)
{
    Bench b;
    b.board.use_fixed_input(12345);
    b.board.stick_status_line(3, true);
    for (std::int64_t c = 0; c < start_of(2); c += 997) {
        b.at_clock(c);
        ASSERT_TRUE(b.conversion_line());
    }
    b.board.stick_status_line(3, std::nullopt);
    b.at_clock(start_of(2) + 5);
    EXPECT_FALSE(b.conversion_line());

    // A stuck line is a line: bit 7 still reads its complement.
    b.board.stick_status_line(7, false);
    EXPECT_EQ(b.status(12) & 0x80, 0x80);
    b.board.stick_status_line(7, true);
    EXPECT_EQ(b.status(8) & 0x80, 0);
}

TEST(SimBoardFaults, NonBcdCodeOnTheValueLines)
{
    Bench b;
    b.board.use_fixed_input(12345);
    b.board.force_bcd(12, 4);
    const std::int64_t l0 = latch_of(0, 12345);
    b.at_clock(l0 + 250); // D4
    EXPECT_EQ(b.bcd(), 12);
    b.at_clock(l0 + 450); // D3 unaffected
    EXPECT_EQ(b.bcd(), 3);
    b.board.force_bcd(15);
    EXPECT_EQ(b.bcd(), 15);
    b.board.force_bcd(std::nullopt);
    EXPECT_EQ(b.bcd(), 3);
}

TEST(SimBoardFaults, StalledConverterHoldsItsLines)
{
    Bench b;
    b.board.use_fixed_input(12345);
    const std::int64_t l0 = latch_of(0, 12345);
    b.at_clock(l0 + 300);
    const std::uint8_t held[3] = {b.status(0), b.status(8), b.status(12)};
    b.board.stall_converter(true);
    for (std::int64_t c = l0 + 300; c < l0 + 300 + 10 * 40'002; c += 1234) {
        b.at_clock(c);
        ASSERT_EQ(b.status(0), held[0]);
        ASSERT_EQ(b.status(8), held[1]);
        ASSERT_EQ(b.status(12), held[2]);
    }
    // Restarted, it carries on from where it stopped: the auto-zero has
    // 30001 - 12345 - 300 clocks left.
    const std::int64_t resumed = l0 + 300 + 10 * 40'002;
    b.at_clock(resumed);
    b.board.stall_converter(false);
    b.at_clock(resumed + (30'001 - 12'345 - 300) - 1);
    EXPECT_TRUE(b.conversion_line());
    b.at_clock(resumed + (30'001 - 12'345 - 300));
    EXPECT_FALSE(b.conversion_line());
}

// --- Lazy time --------------------------------------------------------------

TEST(SimBoardTime, RareAccessSeesWhatFrequentAccessSees)
{
    // Two boards with the same input history (set-point with noise, changed
    // every 100 ms): one asked every microsecond, one every 50 ms. At every
    // 50 ms instant both must show the same status in every group.
    Bench dense(DualSlopeConverter::default_clock_hz);
    Bench sparse(DualSlopeConverter::default_clock_hz);
    for (Bench* b : {&dense, &sparse})
        b->board.use_setpoint_input(3.0, 42);

    const std::int64_t step = 50'000'000;
    const std::int64_t end = 1'500'000'000;
    int compared = 0;
    for (std::int64_t t = 0; t <= end; t += 1'000) {
        dense.clock.set_ns(t);
        if (t % step != 0) {
            static constexpr int codes[3] = {0, 8, 12};
            dense.status(codes[(t / 1000) % 3]);
            continue;
        }
        sparse.clock.set_ns(t);
        if (t % (2 * step) == 0) {
            const int set = static_cast<int>((t / step) * 2731 % 30000) - 10000;
            const int mag = set < 0 ? -set : set;
            for (Bench* b : {&dense, &sparse}) {
                b->board.Out32(data_reg, static_cast<std::int16_t>(mag & 255));
                b->board.Out32(control_reg, 3);
                b->board.Out32(
                    data_reg, static_cast<std::int16_t>((mag >> 8) | (set < 0 ? 128 : 0)));
                b->board.Out32(control_reg, 1);
            }
        }
        for (int code : {0, 8, 12, 4})
            ASSERT_EQ(dense.status(code), sparse.status(code)) << "t=" << t << " code " << code;
        ++compared;
    }
    EXPECT_EQ(compared, 31);
}

TEST(SimBoardTime, CatchingUpAcrossManyConversionsAtOnce)
{
    // A board asked only twice, seconds apart, against one asked every
    // microsecond: same noisy input, same lines at the instants compared.
    Bench dense(DualSlopeConverter::default_clock_hz);
    Bench rare(DualSlopeConverter::default_clock_hz);
    for (Bench* b : {&dense, &rare}) {
        b->board.use_setpoint_input(40.0, 9);
        b->board.Out32(data_reg, 15000 & 255);
        b->board.Out32(control_reg, 3);
        b->board.Out32(data_reg, 15000 >> 8);
        b->board.Out32(control_reg, 1);
    }
    const std::int64_t instants[] = {1'234'567'000, 2'999'999'000};
    std::int64_t t = 0;
    for (std::int64_t at : instants) {
        for (; t < at; t += 1'000) {
            dense.clock.set_ns(t);
            dense.status(0);
        }
        dense.clock.set_ns(at);
        rare.clock.set_ns(at);
        // Step through one multiplex cycle so every digit is compared.
        for (std::int64_t d = 0; d < 9'000'000; d += 500'000) {
            dense.clock.set_ns(at + d);
            rare.clock.set_ns(at + d);
            for (int code : {0, 8, 12})
                ASSERT_EQ(dense.status(code), rare.status(code)) << at + d << " code " << code;
        }
        EXPECT_EQ(dense.board.converter().latched().count, rare.board.converter().latched().count);
        t = at + 9'000'000;
    }
}

// --- Shared state -----------------------------------------------------------

TEST(SimBoardSharedState, AnotherProcessSeesAndCanSecureTheLatches)
{
    // The state file and the board's lock beside it go with the folder.
    const TempTree tree("korvel-sim-state");
    ASSERT_TRUE(tree.ok());
    tree.write("board", "");
    const std::string board_path = tree.path("board");
    const char* path = board_path.c_str();

    std::string error;
    BoardState* shared = map_state_file(path, &error);
    ASSERT_NE(shared, nullptr) << error;
    {
        VirtualClock clock;
        SimBoard board(clock, DualSlopeConverter::default_clock_hz, shared);
        board.Out32(data_reg, 0x39);
        board.Out32(control_reg, 3);
        board.Out32(control_reg, 0);

        const BoardState* reader = map_state_file_readonly(path, &error);
        ASSERT_NE(reader, nullptr) << error;
        const BoardState seen = snapshot(*reader);
        EXPECT_EQ(seen.latch_lo, 0x39);
        EXPECT_EQ(seen.writes, 3u);
        EXPECT_EQ(seen.recent(0).address, 0x37A);

        // A watchdog attaches to the record and writes the safe state; the
        // board sees it as its own registers.
        BoardState* watchdog = attach_state_file(path, &error);
        ASSERT_NE(watchdog, nullptr) << error;
        board_write(*watchdog, 0, 255, 0);
        board_write(*watchdog, 2, 3, 0);
        board_write(*watchdog, 2, 0, 0);
        board_write(*watchdog, 2, 12, 0);
        EXPECT_EQ(board.state().latch_lo, 255);
        EXPECT_EQ(board.Inp32(control_reg), 12);
        EXPECT_EQ(snapshot(*reader).recent(0).value, 12);
        unmap_state(watchdog);
        unmap_state(reader);
    }
    unmap_state(shared);

    // A file that holds no record is refused.
    std::FILE* f = std::fopen(path, "w");
    ASSERT_NE(f, nullptr);
    std::fputs("not a board\n", f);
    std::fclose(f);
    EXPECT_EQ(map_state_file_readonly(path, &error), nullptr);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(attach_state_file("/nonexistent/dir/state", &error), nullptr);
}

TEST(SimBoardSharedState, KorvelSimKeepsItsBoardInTheNamedFile)
{
    // The state file and the board's lock beside it go with the folder.
    const TempTree tree("korvel-sim-state");
    ASSERT_TRUE(tree.ok());
    tree.write("board", "");
    const std::string board_path = tree.path("board");
    const char* path = board_path.c_str();
    ::setenv("KORVEL_SIM_STATE", path, 1);
    {
        auto board = make_simulated_board();
        board->Out32(data_reg, 0x30);
        board->Out32(control_reg, 1);
        const BoardState* reader = map_state_file_readonly(path);
        ASSERT_NE(reader, nullptr);
        EXPECT_EQ(snapshot(*reader).latch_hi, 0x30);

        // The board's process gone, another one secures its latches.
        board.reset();
        auto reopened = reopen_simulated_board();
        ASSERT_NE(reopened, nullptr);
        reopened->Out32(data_reg, 255);
        reopened->Out32(control_reg, 3);
        reopened->Out32(control_reg, 0);
        reopened->Out32(control_reg, 12);
        reopened->Out32(0x27A, 3); // other ports are not this board
        const BoardState s = snapshot(*reader);
        EXPECT_EQ(s.latch_lo, 255);
        EXPECT_EQ(s.latch_hi, 0x30);
        EXPECT_EQ(s.control, 12);
        EXPECT_EQ(s.writes, 6u);
        unmap_state(reader);
    }
    ::unsetenv("KORVEL_SIM_STATE");
    EXPECT_EQ(reopen_simulated_board(), nullptr);
}

} // namespace
} // namespace korvel::sim
