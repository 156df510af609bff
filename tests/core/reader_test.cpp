// The voltmeter reader: synchronisation, digit scan and acceptance, tick by
// tick against scripted status lines.
#include "support/board_lines.h"
#include "support/panel_fixture.h"
#include "port/text.h"

#include <climits>
#include <functional>

namespace korvel {
namespace {

class ReaderTest : public PanelTest {
protected:
    ReaderTest()
    {
        power();
        port.responder = [this](std::int16_t, std::uint8_t control) {
            return lines.status(control);
        };
        port.clear();
    }

    // One synchronisation tick that sees the conversion line as given.
    void sync_tick(bool high)
    {
        lines.conversion = high;
        f.on_sync_tick();
    }

    // One scan tick with digit strobe `strobes` carrying `value`.
    void digit_tick(int strobes, int value)
    {
        lines.strobes = strobes;
        lines.d5 = false;
        lines.value = value;
        f.on_scan_tick();
    }
    void half_digit_tick(int value)
    {
        lines.strobes = 0;
        lines.d5 = true;
        lines.value = value;
        f.on_scan_tick();
    }

    // A whole scan presenting the reading d5 d4 d3 d2 d1: each digit twice,
    // the half digit last; ends when the reader hands back to
    // synchronisation.
    void scan(int d5, int d4, int d3, int d2, int d1, bool positive = true)
    {
        c.sync_timer.set_enabled(false);
        c.scan_timer.set_enabled(true);
        lines.positive = positive;
        const int weight[] = {8, 4, 2, 1};
        const int digit[] = {d4, d3, d2, d1};
        for (int i = 0; i < 4; ++i) {
            digit_tick(weight[i], digit[i]);
            digit_tick(weight[i], digit[i]);
        }
        for (int i = 0; i < 3 && c.scan_timer.enabled(); ++i)
            half_digit_tick(d5);
        ASSERT_FALSE(c.scan_timer.enabled());
        ASSERT_TRUE(c.sync_timer.enabled());
    }

    int flags()
    {
        return dvm().seen_d1 + dvm().seen_d2 + dvm().seen_d3 + dvm().seen_d4 + dvm().seen_d5;
    }

    BoardLines lines;
};

TEST_F(ReaderTest, SyncTickTraffic)
{
    lines.conversion = false;
    f.on_sync_tick();
    const std::int16_t low = lines.status(0);
    EXPECT_EQ(port.log, (std::vector<PortAccess>{wr(control378, 0), rd(status378, low),
                                                 rd(status378, low)}));
    EXPECT_EQ(c.probe_status_box.text(), hex(low));
    EXPECT_EQ(c.conversion_lamp.colour(), 0xFF0000u);
}

TEST_F(ReaderTest, TenLowTicksAreNotEnough)
{
    for (int i = 0; i < 10; ++i)
        sync_tick(false);
    sync_tick(true);
    EXPECT_EQ(dvm().sync_count, 10);
    EXPECT_EQ(c.conversion_lamp.colour(), 0x000080u);
    EXPECT_TRUE(c.sync_timer.enabled());
    EXPECT_FALSE(c.scan_timer.enabled());
    sync_tick(false);
    EXPECT_EQ(dvm().sync_count, 11);
    sync_tick(true);
    EXPECT_EQ(dvm().sync_count, 0);
    EXPECT_EQ(c.conversion_lamp.colour(), 0x000080u);
    EXPECT_FALSE(c.sync_timer.enabled());
    EXPECT_TRUE(c.scan_timer.enabled());
}

TEST_F(ReaderTest, LowTicksAddUpAcrossHighStretches)
{
    for (int i = 0; i < 6; ++i)
        sync_tick(false);
    for (int i = 0; i < 3; ++i)
        sync_tick(true);
    for (int i = 0; i < 5; ++i)
        sync_tick(false);
    EXPECT_EQ(dvm().sync_count, 11);
    sync_tick(true);
    EXPECT_TRUE(c.scan_timer.enabled());
}

TEST_F(ReaderTest, StuckLinesNeverHandOverAndTheCountNeverWraps)
{
    for (int i = 0; i < 1000; ++i)
        sync_tick(true);
    EXPECT_TRUE(c.sync_timer.enabled());
    EXPECT_EQ(dvm().sync_count, 0);

    for (int i = 0; i < 100000; ++i)
        sync_tick(false);
    EXPECT_EQ(dvm().sync_count, 100000);
    EXPECT_EQ(c.conversion_lamp.colour(), 0xFF0000u);
    EXPECT_FALSE(c.scan_timer.enabled());

    dvm().sync_count = INT_MAX - 1;
    sync_tick(false);
    sync_tick(false);
    EXPECT_EQ(dvm().sync_count, INT_MAX);
    sync_tick(true);
    EXPECT_TRUE(c.scan_timer.enabled());
}

TEST_F(ReaderTest, ProbeShowsTheFirstOfTheTwoReads)
{
    port.responder = nullptr;
    port.script = {0xF8, 0x00};
    f.on_sync_tick();
    EXPECT_EQ(c.probe_status_box.text(), "F8");
    EXPECT_EQ(c.conversion_lamp.colour(), 0xFF0000u); // decided on the second read
    EXPECT_EQ(dvm().sync_count, 1);
}

TEST_F(ReaderTest, ScanTickTraffic)
{
    // A digit: strobe, value, the strobe again; then the marks and the
    // half-digit strobe.
    digit_tick(2, 5);
    const auto s8 = lines.status(8), s12 = lines.status(12), s0 = lines.status(0);
    EXPECT_EQ(port.log, (std::vector<PortAccess>{wr(control378, 8), rd(status378, s8),
                                                 wr(control378, 12), rd(status378, s12),
                                                 wr(control378, 8), rd(status378, s8),
                                                 wr(control378, 0), rd(status378, s0),
                                                 wr(control378, 0), rd(status378, s0),
                                                 wr(control378, 0), rd(status378, s0)}));
    // The half digit: no digit strobe, so no second strobe read; its value
    // is followed by the half-digit strobe again.
    port.clear();
    half_digit_tick(1);
    const auto h8 = lines.status(8), h0 = lines.status(0), h12 = lines.status(12);
    EXPECT_EQ(port.log, (std::vector<PortAccess>{wr(control378, 8), rd(status378, h8),
                                                 wr(control378, 12), rd(status378, h12),
                                                 wr(control378, 0), rd(status378, h0),
                                                 wr(control378, 0), rd(status378, h0),
                                                 wr(control378, 0), rd(status378, h0),
                                                 wr(control378, 12), rd(status378, h12),
                                                 wr(control378, 0), rd(status378, h0)}));
}

TEST_F(ReaderTest, DigitSlots)
{
    digit_tick(2, 5);
    EXPECT_EQ(dvm().d2, 5);
    EXPECT_EQ(dvm().seen_d2, 1);
    EXPECT_EQ(c.probe_strobe_box.text(), "2");
    EXPECT_EQ(c.probe_value_box.text(), "5");
    digit_tick(2, 6);
    EXPECT_EQ(dvm().d2, 6);
    EXPECT_EQ(dvm().seen_d2, 1);
    digit_tick(2, 6);
    EXPECT_EQ(dvm().seen_d2, 2);
    // Each strobe line names its slot; the value 8 reads through the
    // inverted bit 7.
    digit_tick(1, 9);
    digit_tick(4, 8);
    digit_tick(8, 7);
    EXPECT_EQ(dvm().d1, 9);
    EXPECT_EQ(dvm().d3, 8);
    EXPECT_EQ(dvm().d4, 7);
    // A confirmed digit sampled with another value goes back to flag 1.
    digit_tick(2, 3);
    EXPECT_EQ(dvm().d2, 3);
    EXPECT_EQ(dvm().seen_d2, 1);
}

TEST_F(ReaderTest, NoStrobeOrSeveralStrobesTouchNoSlot)
{
    digit_tick(1, 4);
    const dvm::VoltmeterReader::State before = dvm();
    for (int strobes : {0, 3, 5, 6, 7, 9}) {
        lines.over = true;
        digit_tick(strobes, 2);
        EXPECT_EQ(c.probe_strobe_box.text(), std::to_string(strobes));
        EXPECT_EQ(dvm().d1, before.d1);
        EXPECT_EQ(dvm().seen_d1, before.seen_d1);
        EXPECT_EQ(dvm().d2 + dvm().d3 + dvm().d4, 0);
        EXPECT_TRUE(c.over_mark.visible()); // the marks are still sampled
    }
}

TEST_F(ReaderTest, FirstSampleEqualToTheKeptDigitConfirmsAtOnce)
{
    scan(0, 1, 2, 3, 4);
    EXPECT_EQ(flags(), 0);
    EXPECT_EQ(dvm().d3, 2); // digits outlive the scan
    c.sync_timer.set_enabled(false);
    c.scan_timer.set_enabled(true);
    digit_tick(2, 3);
    EXPECT_EQ(dvm().seen_d2, 2);
}

TEST_F(ReaderTest, HalfDigit)
{
    half_digit_tick(1);
    EXPECT_EQ(dvm().d5, 1);
    EXPECT_EQ(dvm().seen_d5, 1);
    half_digit_tick(1);
    EXPECT_EQ(dvm().seen_d5, 2);

    half_digit_tick(1);
    digit_tick(0, 0); // unstrobed between: back to 0
    EXPECT_EQ(dvm().d5, 0);
    EXPECT_EQ(dvm().seen_d5, 1);
    half_digit_tick(1);
    EXPECT_EQ(dvm().seen_d5, 1);

    digit_tick(0, 0);
    half_digit_tick(0); // 0 right after an unstrobed tick: confirmed at once
    EXPECT_EQ(dvm().seen_d5, 2);

    half_digit_tick(5); // stored, never confirmed
    half_digit_tick(5);
    EXPECT_EQ(dvm().d5, 5);
    EXPECT_EQ(dvm().seen_d5, 1);
}

// A digit sample is kept only when the strobe reads the same digit again
// after the value, and the reads fit in the sample window on the port's
// clock. Any other sample is discarded: its slot stays as it was, the tick
// goes on (the marks are sampled, the probe shows what was read), and
// nothing else is said about it.
TEST_F(ReaderTest, ASampleIsKeptOnlyWhenTheStrobeHoldsWithinTheWindow)
{
    // Before each read: the reads under code 8 and 12 so far in this tick.
    int strobe_reads = 0, value_reads = 0;
    std::function<void()> before_strobe, before_value;
    port.responder = [&](std::int16_t, std::uint8_t control) {
        if (control == 8 && ++strobe_reads && before_strobe)
            before_strobe();
        if (control == 12 && ++value_reads && before_value)
            before_value();
        return lines.status(control);
    };
    auto tick = [&](auto digit_or_half) {
        strobe_reads = value_reads = 0;
        digit_or_half();
    };
    const std::uint64_t window = dvm::VoltmeterReader::sample_window_ns;

    digit_tick(2, 5);
    ASSERT_EQ(dvm().d2, 5);
    ASSERT_EQ(dvm().seen_d2, 1);

    // The multiplexer moves on from D2 to D1 under the value.
    before_strobe = [&] {
        if (strobe_reads == 2)
            lines.strobes = 1;
    };
    lines.over = true;
    port.clear();
    tick([&] { digit_tick(2, 7); });
    EXPECT_EQ(dvm().d2, 5);
    EXPECT_EQ(dvm().seen_d2, 1);
    EXPECT_EQ(dvm().d1, 0);
    EXPECT_EQ(dvm().seen_d1, 0);
    EXPECT_EQ(f.reader().discarded_samples(), 1u);
    EXPECT_EQ(c.probe_strobe_box.text(), "2");
    EXPECT_EQ(c.probe_value_box.text(), "7");
    EXPECT_TRUE(c.over_mark.visible());
    EXPECT_EQ(port.log.size(), 12u) << "the tick reads on as usual";
    before_strobe = nullptr;

    // The reads take the whole window: kept; a nanosecond more: discarded.
    for (std::uint64_t took : {window, window + 1}) {
        before_value = [&] { port.time_ns += static_cast<std::int64_t>(took); };
        tick([&] { digit_tick(2, 5); });
    }
    EXPECT_EQ(dvm().seen_d2, 2) << "kept after " << window << " ns";
    EXPECT_EQ(f.reader().discarded_samples(), 2u);
    before_value = nullptr;

    // The half digit (its value is the tick's second read under code 12):
    // its strobe gone after the value, or the reads too slow. The slot
    // stays, and the tick decides nothing even when every other digit is
    // confirmed.
    for (int w : {8, 4, 2, 1}) {
        digit_tick(w, 3);
        digit_tick(w, 3);
    }
    half_digit_tick(1);
    ASSERT_EQ(dvm().d5, 1);
    ASSERT_EQ(dvm().seen_d5, 1);
    before_value = [&] {
        if (value_reads == 2)
            lines.d5 = false;
    };
    tick([&] { half_digit_tick(1); });
    before_value = [&] {
        if (value_reads == 2)
            port.time_ns += static_cast<std::int64_t>(window) + 1;
    };
    tick([&] { half_digit_tick(1); });
    EXPECT_EQ(dvm().d5, 1);
    EXPECT_EQ(flags(), 4 * 2 + 1) << "no decision: the scan goes on";
    EXPECT_EQ(c.reading_box.text(), "+00000");
    EXPECT_EQ(f.reader().discarded_samples(), 4u);

    // The next good sample confirms it.
    before_value = nullptr;
    half_digit_tick(1);
    EXPECT_EQ(c.reading_box.text(), "+13333");
}

TEST_F(ReaderTest, RangeMarks)
{
    lines.over = true;
    lines.under = false;
    digit_tick(0, 0);
    EXPECT_TRUE(c.over_mark.visible());
    EXPECT_FALSE(c.under_mark.visible()); // under-range line low reads bit 7 = 1
    lines.over = false;
    lines.under = true;
    digit_tick(0, 0);
    EXPECT_FALSE(c.over_mark.visible());
    EXPECT_TRUE(c.under_mark.visible());
}

TEST_F(ReaderTest, NonDecimalCodesEndTheTickWithoutTouchingDigits)
{
    digit_tick(2, 4);
    const dvm::VoltmeterReader::State before = dvm();
    port.clear();
    digit_tick(8 | 2, 4); // D4 with D2: corrected code 10
    EXPECT_EQ(port.log.size(), 2u);
    EXPECT_EQ(c.probe_strobe_box.text(), "2");
    digit_tick(2, 12);    // not a BCD value
    EXPECT_EQ(c.probe_value_box.text(), "4");
    EXPECT_EQ(dvm().d2, before.d2);
    EXPECT_EQ(dvm().seen_d2, before.seen_d2);
    half_digit_tick(15);
    EXPECT_EQ(dvm().d5, before.d5);
    EXPECT_EQ(dvm().seen_d5, before.seen_d5);
    EXPECT_TRUE(c.scan_timer.enabled() || c.sync_timer.enabled());
}

TEST_F(ReaderTest, AcceptedReadingIsShownWithThePolarityReadAtAcceptance)
{
    c.sync_timer.set_enabled(false);
    c.scan_timer.set_enabled(true);
    lines.positive = true;
    const int weight[] = {8, 4, 2, 1};
    const int digit[] = {2, 3, 4, 5};
    for (int i = 0; i < 4; ++i) {
        digit_tick(weight[i], digit[i]);
        digit_tick(weight[i], digit[i]);
    }
    half_digit_tick(1);
    lines.positive = false; // changes while the digits are being scanned
    port.clear();
    half_digit_tick(1);
    EXPECT_EQ(c.reading_box.text(), "- 12345");
    EXPECT_EQ(port.log.size(), 16u);
    EXPECT_EQ(port.log[14], wr(control378, 0));
    EXPECT_EQ(port.log[15], rd(status378, lines.status(0)));
    EXPECT_EQ(flags(), 0);
    EXPECT_EQ(dvm().last_d5, 1);
    EXPECT_EQ(dvm().last_d4, 2);

    scan(0, 0, 7, 0, 0);
    EXPECT_EQ(c.reading_box.text(), "+00700");
}

TEST_F(ReaderTest, BoundaryFilter)
{
    scan(1, 0, 5, 5, 5); // first reading after the reset: shown
    EXPECT_EQ(c.reading_box.text(), "+10555");
    for (int i = 0; i < 3; ++i) {
        scan(0, 0, 1, 2, 3, false); // 00 after 10: discarded, polarity not read
        EXPECT_EQ(c.reading_box.text(), "+10555");
        EXPECT_FALSE(dvm().negative);
        EXPECT_EQ(flags(), 0);
        EXPECT_TRUE(c.sync_timer.enabled());
    }
    scan(0, 1, 0, 0, 0); // 01 after 10: shown
    EXPECT_EQ(c.reading_box.text(), "+01000");
    scan(1, 0, 5, 5, 5);
    scan(1, 9, 0, 0, 0); // 19 after 10: discarded
    EXPECT_EQ(c.reading_box.text(), "+10555");
    scan(1, 0, 9, 9, 9); // 10 after 10: shown
    EXPECT_EQ(c.reading_box.text(), "+10999");
    scan(0, 9, 9, 9, 9);
    EXPECT_EQ(c.reading_box.text(), "+09999");
    scan(0, 0, 0, 0, 1); // 00 after 09: discarded
    scan(1, 9, 0, 0, 1); // 19 after 09: discarded
    EXPECT_EQ(c.reading_box.text(), "+09999");
    scan(1, 0, 0, 0, 0); // 10 after 09: shown
    EXPECT_EQ(c.reading_box.text(), "+10000");
    EXPECT_EQ(dvm().last_d5, 1);
    EXPECT_EQ(dvm().last_d4, 0);
}

TEST_F(ReaderTest, AReadingThatKeepsComingPassesTheBoundaryFilter)
{
    scan(1, 0, 5, 0, 0);
    for (int i = 0; i < dvm::VoltmeterReader::boundary_discard_limit; ++i)
        scan(0, 0, 5, 0, 0); // a glitch would not come back every time
    EXPECT_EQ(c.reading_box.text(), "+10500");
    scan(0, 0, 5, 0, 0);
    EXPECT_EQ(c.reading_box.text(), "+00500");
    EXPECT_EQ(dvm().boundary_discards, 0);

    // A reading shown in between starts the count again.
    scan(0, 9, 0, 0, 0);
    scan(0, 0, 1, 0, 0);
    scan(0, 0, 1, 0, 0);
    scan(0, 9, 1, 0, 0);
    scan(0, 0, 1, 0, 0);
    scan(0, 0, 1, 0, 0);
    EXPECT_EQ(c.reading_box.text(), "+09100");
}

TEST_F(ReaderTest, AnUnreadableHalfDigitDefersTheDecision)
{
    c.sync_timer.set_enabled(false);
    c.scan_timer.set_enabled(true);
    for (int w : {8, 4, 2}) {
        digit_tick(w, 3);
        digit_tick(w, 3);
    }
    digit_tick(1, 3);
    half_digit_tick(0);
    EXPECT_EQ(dvm().seen_d5, 2);
    EXPECT_EQ(dvm().seen_d1, 1);

    // D1 confirms in the same tick as the half-digit lines carry no BCD
    // code: the tick ends without a decision on the reading.
    BoardLines digit = lines, half = lines;
    digit.strobes = 1;
    digit.value = 3;
    half.d5 = true;
    half.value = 12;
    port.responder = nullptr;
    port.script = {digit.status(8), digit.status(12), digit.status(8), half.status(0),
                   half.status(0), half.status(0), half.status(12)};
    f.on_scan_tick();
    EXPECT_EQ(dvm().seen_d1, 2);
    EXPECT_TRUE(c.scan_timer.enabled());
    EXPECT_EQ(c.reading_box.text(), "+00000");
}

} // namespace
} // namespace korvel
