// The whole panel against the simulated board, in virtual time: the
// set-point goes out through the latches, the converter measures it, and
// the voltmeter reader brings it back to the display.
#include "support/virtual_panel.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace korvel::sim {
namespace {

// Runs until the reading shows text, at most limit_ms; returns the virtual
// milliseconds it took, or -1.
std::int64_t run_until_shown(VirtualPanel& p, const std::string& text, std::int64_t limit_ms)
{
    for (std::int64_t ms = 0; ms < limit_ms; ms += 5) {
        if (p.c.reading_box.text() == text)
            return ms;
        p.run_ms(5);
    }
    return p.c.reading_box.text() == text ? limit_ms : -1;
}

// Counts the digit scans that end (each shows a reading unless the
// boundary filter drops it).
struct ScanCounter {
    explicit ScanCounter(VirtualPanel& p) : panel(p)
    {
        key = p.c.observe([this](Control& c, Property prop) {
            if (&c == &panel.c.scan_timer && prop == Property::Enabled && !c.enabled())
                ++scans;
        });
    }
    ~ScanCounter() { panel.c.forget(key); }
    ScanCounter(const ScanCounter&) = delete;
    ScanCounter& operator=(const ScanCounter&) = delete;
    VirtualPanel& panel;
    int key;
    int scans = 0;
};

class DvmEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        p.board.set_diagnostic([this](std::string_view l) { diagnostics.emplace_back(l); });
        p.open();
        p.power_on();
    }
    VirtualPanel p;
    std::vector<std::string> diagnostics;
};

TEST_F(DvmEndToEnd, SetPointComesBackOnTheDisplay)
{
    p.set_point(12345);
    // Three conversions a second; the first may integrate across the change.
    EXPECT_GE(run_until_shown(p, "+12345", 2000), 0) << p.c.reading_box.text();
    EXPECT_FALSE(p.c.over_mark.visible());
    EXPECT_FALSE(p.c.under_mark.visible());

    // It stays there: later readings repeat it.
    for (int i = 0; i < 20; ++i) {
        p.run_ms(250);
        ASSERT_EQ(p.c.reading_box.text(), "+12345");
    }
}

TEST_F(DvmEndToEnd, NegativeUnderRangeReading)
{
    p.set_point(-700);
    EXPECT_GE(run_until_shown(p, "- 00700", 2000), 0) << p.c.reading_box.text();
    EXPECT_TRUE(p.c.under_mark.visible());
    EXPECT_FALSE(p.c.over_mark.visible());
}

TEST_F(DvmEndToEnd, UnderRangeMarkFollowsTheLimit)
{
    p.set_point(1800);
    ASSERT_GE(run_until_shown(p, "+01800", 2000), 0);
    EXPECT_TRUE(p.c.under_mark.visible());
    p.set_point(1801);
    ASSERT_GE(run_until_shown(p, "+01801", 2000), 0);
    EXPECT_FALSE(p.c.under_mark.visible());
}

TEST_F(DvmEndToEnd, OverRangeShowsTheMark)
{
    p.set_point(12345);
    ASSERT_GE(run_until_shown(p, "+12345", 2000), 0);
    p.set_point(25000);
    // The converter blinks its digits in over-range and its over-range line
    // is reset during each de-integrate, so the mark blinks with it: it is
    // seen on a good part of the time, and never on before the change.
    int visible = 0, samples = 0;
    for (int ms = 0; ms < 5000; ms += 10) {
        p.run_ms(10);
        if (ms >= 1000) {
            ++samples;
            visible += p.c.over_mark.visible();
        }
    }
    EXPECT_GT(visible, samples / 4) << visible << " of " << samples;
    EXPECT_FALSE(p.c.under_mark.visible());
}

TEST_F(DvmEndToEnd, NoBoardNeverStartsAScan)
{
    p.board.set_no_board(true);
    p.set_point(12345);
    p.run_ms(60'000);
    EXPECT_EQ(p.timers.ticks(ControlId::scan_timer), 0u) << "the conversion line never reads low";
    EXPECT_GT(p.timers.ticks(ControlId::sync_timer), 5000u);
    EXPECT_EQ(p.c.probe_status_box.text(), "7F");
    EXPECT_EQ(p.c.conversion_lamp.colour(), 0x000080u);
    EXPECT_EQ(p.c.reading_box.text(), "+00000");
    EXPECT_EQ(p.panel.power(), 1);
}

TEST_F(DvmEndToEnd, AbsentPortIsReportedOnceAndNeverScanned)
{
    p.c.port_selector.select("&H278");
    p.set_point(12345);
    p.run_ms(30'000);
    EXPECT_EQ(p.timers.ticks(ControlId::scan_timer), 0u);
    EXPECT_EQ(p.c.probe_status_box.text(), "FF");
    ASSERT_EQ(diagnostics.size(), 1u);
    EXPECT_NE(diagnostics[0].find("port 0x278: no board here"), std::string::npos);

    // Back on the board's port the reader finds the converter again.
    p.c.port_selector.select("&H378");
    EXPECT_GE(run_until_shown(p, "+12345", 2000), 0);
    EXPECT_EQ(diagnostics.size(), 1u);
}

TEST_F(DvmEndToEnd, PowerOffAndExitLeaveTheBoardSafe)
{
    p.set_point(-30000);
    p.run_ms(500);
    EXPECT_EQ(p.board.state().latch_lo, 48);
    EXPECT_EQ(p.board.state().latch_hi, 245);

    p.c.power_button.fire(); // OFF
    EXPECT_EQ(p.board.state().latch_lo, 255);
    EXPECT_EQ(p.board.state().control, 12);
    p.run_ms(1000);
    EXPECT_EQ(p.board.state().latch_lo, 255) << "nothing writes while OFF";

    p.power_on();
    p.set_point(5000);
    p.run_ms(500);
    EXPECT_EQ(p.board.state().latch_lo, 5000 & 255);
    p.c.exit_button.fire(); // Exit
    const BoardState s = snapshot(p.board.state());
    EXPECT_EQ(s.latch_lo, 255);
    EXPECT_EQ(s.control, 12);
    EXPECT_EQ(s.recent(0).value, 12);
    EXPECT_EQ(s.recent(0).address, 0x37A);
    const std::uint64_t writes = s.writes;
    p.run_ms(1000);
    EXPECT_EQ(p.board.state().writes, writes) << "nothing after exit";
}

TEST_F(DvmEndToEnd, SimulatedHourTracksEverySetPoint)
{
    // A new set-point every minute for an hour, positive and negative, with
    // and without the leading 1; each must be on the display within three
    // seconds and stay until the next change.
    ScanCounter counter(p);
    int shown_late = 0;
    for (int minute = 0; minute < 60; ++minute) {
        // Stays out of the boundary filter's way: no leading pair 00 or 19
        // right after 10 or 09.
        const int magnitude = 2000 + (minute * 2659) % 17000;
        const int value = (minute % 3 == 1) ? -magnitude : magnitude;
        p.set_point(value);
        char want[16];
        std::snprintf(want, sizeof want, "%s%05d", value < 0 ? "- " : "+", magnitude);
        const std::int64_t took = run_until_shown(p, want, 3000);
        ASSERT_GE(took, 0) << "minute " << minute << ": " << p.c.reading_box.text()
                           << " instead of " << want;
        if (took > 1500)
            ++shown_late;
        p.run_ms(60'000 - took - 5);
        ASSERT_EQ(p.c.reading_box.text(), want) << "minute " << minute;
    }
    EXPECT_LE(shown_late, 6);
    // About three conversions a second, a reading every one or two.
    EXPECT_GT(counter.scans, 3600 * 3 / 2 - 100);
    EXPECT_LE(counter.scans, 3600 * 3 + 10);
}

TEST(DvmEndToEndClock, DefaultClockKeepsTheReadingFresh)
{
    // At 120 kHz the half digit always confirms and a reading with a leading
    // 1 refreshes every conversion or two. At 200 kHz the digit period
    // equals the scan tick, the half digit is seen on one tick per cycle
    // only, and readings with a leading 1 come through rarely.
    auto scans_in_a_minute = [](std::int64_t hz) {
        VirtualPanel p(hz);
        p.open();
        p.power_on();
        p.set_point(15432);
        ScanCounter counter(p);
        p.run_ms(60'000);
        return counter.scans;
    };
    const int good = scans_in_a_minute(DualSlopeConverter::default_clock_hz);
    const int locked = scans_in_a_minute(200'000);
    EXPECT_GE(good, 90) << "at least one reading per two conversions";
    EXPECT_LT(locked * 4, good) << good << " readings at 120 kHz, " << locked << " at 200 kHz";
}

// The reader's boundary filter drops a reading with leading pair 00 or 19
// right after a shown 10 or 09; a reading that keeps coming must still get
// through, or a set-point turned from 10500 down to 500 (or from 9500 to
// 500) would leave the old value on the display for good.
TEST_F(DvmEndToEnd, DropBelowTheBoundaryIsShownEventually)
{
    for (int from : {10500, 9500}) {
        p.set_point(from);
        ASSERT_GE(run_until_shown(p, from == 10500 ? "+10500" : "+09500", 2000), 0);
        p.set_point(500);
        EXPECT_GE(run_until_shown(p, "+00500", 10'000), 0) << p.c.reading_box.text();
    }
}

} // namespace
} // namespace korvel::sim
