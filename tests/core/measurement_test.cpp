// Fresh measurements: which reading counts as taken after a change, from
// the refresh that wrote the latches and the conversion line the sync ticks
// saw; and the panel ending them when it stops reading.
#include "panel/measurement.h"
#include "support/virtual_panel.h"

#include <gtest/gtest.h>

#include <optional>

namespace korvel {
namespace {

using Stage = FreshMeasurement::Stage;

TEST(FreshMeasurement, OnlyAConversionBegunAfterTheOutputCounts)
{
    // A change waits for its refresh: the line seen before it means nothing.
    FreshMeasurement m(true, 0);
    m.sync_tick(false);
    m.sync_tick(true);
    EXPECT_EQ(m.stage(), Stage::awaiting_output);
    EXPECT_FALSE(m.reading_accepted());
    m.output_written();
    // The conversion running at the write is passed over, and so is the
    // reading it gives ...
    m.sync_tick(true);
    EXPECT_EQ(m.stage(), Stage::awaiting_idle);
    m.sync_tick(false);
    EXPECT_FALSE(m.reading_accepted());
    // ... until a tick sees no conversion, then one that sees one begun.
    m.sync_tick(false);
    EXPECT_EQ(m.stage(), Stage::awaiting_start);
    EXPECT_FALSE(m.reading_accepted());
    m.sync_tick(true);
    EXPECT_EQ(m.stage(), Stage::converting);
    // A later write changes nothing for it.
    m.output_written();
    EXPECT_TRUE(m.reading_accepted());
    EXPECT_EQ(m.stage(), Stage::done);
    EXPECT_FALSE(m.reading_accepted());

    // Nothing waiting: the mark is now.
    FreshMeasurement now(false, 0);
    EXPECT_EQ(now.stage(), Stage::awaiting_idle);
}

TEST(FreshMeasurement, TheDelayIsALowerBoundInTicks)
{
    // 25 ms: ticks that add up to the delay plus one sync tick (35 ms).
    FreshMeasurement m(true, 25);
    m.output_written();
    EXPECT_EQ(m.stage(), Stage::settling);
    m.sync_tick(false);
    m.sync_tick(false);
    for (int i = 0; i < 14; ++i)
        m.scan_tick();
    EXPECT_EQ(m.stage(), Stage::settling); // 34 ms
    m.scan_tick();
    EXPECT_EQ(m.stage(), Stage::awaiting_idle);
    // The tick that ends the delay looks after it: it may see no conversion.
    FreshMeasurement n(false, 10);
    n.sync_tick(false);
    EXPECT_EQ(n.stage(), Stage::settling);
    n.sync_tick(false);
    EXPECT_EQ(n.stage(), Stage::awaiting_start);
}

// The panel on the simulated board, with one measurement's outcome.
struct Measured {
    bool ended = false;
    std::optional<int> value;
    std::int64_t at_ns = -1;
};

struct Board : ::testing::Test {
    Board()
    {
        p.board.set_diagnostic([](std::string_view) {});
        p.open();
    }
    int measure(Measured& m, int delay_ms = 0)
    {
        return p.panel.measure(delay_ms, [this, &m](const dvm::Reading* r) {
            m.ended = true;
            m.at_ns = p.timers.now_ns();
            if (r)
                m.value = r->value();
        });
    }
    sim::VirtualPanel p;
};

TEST_F(Board, AChangeIsPendingUntilTheRefreshThatWritesIt)
{
    EXPECT_TRUE(p.panel.output_pending()); // the board holds the safe state
    p.power_on();
    p.run_ms(100);
    EXPECT_FALSE(p.panel.output_pending());
    p.set_point(-4321);
    EXPECT_TRUE(p.panel.output_pending());
    Measured m;
    measure(m);
    p.run_ms(100);
    EXPECT_FALSE(p.panel.output_pending());
    p.run_ms(2000);
    ASSERT_TRUE(m.ended);
    EXPECT_EQ(m.value, -4321);
    // Mode, bits and port each leave a change for the board.
    p.panel.choose_mode(Mode::dpc);
    EXPECT_TRUE(p.panel.output_pending());
    p.run_ms(100);
    p.panel.toggle_bit(3);
    EXPECT_TRUE(p.panel.output_pending());
    p.run_ms(100);
    p.panel.choose_port("&H278");
    EXPECT_TRUE(p.panel.output_pending());
}

TEST_F(Board, MeasurementsEndWithoutAReadingWhenThePanelStopsReading)
{
    p.power_on();
    Measured off, cancelled, exited;
    measure(off);
    const int key = measure(cancelled);
    p.run_ms(50);
    p.panel.cancel_measurement(key);
    p.panel.set_power(false);
    EXPECT_TRUE(off.ended);
    EXPECT_FALSE(off.value);
    EXPECT_FALSE(cancelled.ended);

    p.power_on();
    measure(exited);
    p.panel.exit();
    EXPECT_TRUE(exited.ended);
    EXPECT_FALSE(exited.value);
    p.run_ms(1000);
    EXPECT_FALSE(cancelled.ended);
}

TEST_F(Board, NoReadingFromAnAbsentPortOrWithoutABoard)
{
    p.power_on();
    p.panel.choose_port("&H278");
    Measured absent;
    measure(absent);
    p.run_ms(10000);
    EXPECT_FALSE(absent.ended);

    p.panel.choose_port("&H378");
    p.board.set_no_board(true);
    Measured none;
    measure(none);
    p.run_ms(10000);
    EXPECT_FALSE(none.ended);
    // The board comes back: the measurement ends with a reading of it.
    p.board.set_no_board(false);
    p.run_ms(2000);
    EXPECT_TRUE(none.ended);
    EXPECT_EQ(none.value, 0);
}

TEST_F(Board, InModeDvmNothingWaitsForARefresh)
{
    p.board.use_fixed_input(12345);
    p.panel.choose_mode(Mode::dvm);
    p.power_on();
    p.run_ms(3000);
    Measured m;
    // The sync tick that sees the next conversion begin comes within one
    // conversion period (333 ms), the reading within two.
    measure(m);
    const std::int64_t start = p.timers.now_ns();
    p.run_ms(1000);
    ASSERT_TRUE(m.ended);
    EXPECT_LE(m.at_ns - start, 700'000'000);
}

} // namespace
} // namespace korvel
