// Fresh measurements: which reading counts as taken after a change, from
// the refresh that wrote the latches and the conversion line the sync ticks
// saw; and the panel ending them when it stops reading.
#include "panel/measurement.h"
#include "support/virtual_panel.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

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

// The panel on the simulated board: what counts as a change not yet on the
// board, and measurements ended when the panel stops reading.
TEST(PanelMeasurement, WaitsForTheRefreshAfterAChangeAndEndsWhenThePanelStops)
{
    sim::VirtualPanel p;
    p.board.set_diagnostic([](std::string_view) {});
    p.open();
    std::vector<std::optional<int>> told;
    const auto measure = [&] {
        return p.panel.measure(0, [&](const dvm::Reading* r) {
            told.push_back(r ? std::optional<int>(r->value()) : std::nullopt);
        });
    };
    EXPECT_TRUE(p.panel.output_pending()); // the board holds the safe state
    p.power_on();
    p.run_ms(100);
    EXPECT_FALSE(p.panel.output_pending());
    p.set_point(-4321);
    EXPECT_TRUE(p.panel.output_pending());
    measure();
    p.run_ms(100);
    EXPECT_FALSE(p.panel.output_pending());
    p.run_ms(2000);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0], -4321);
    // Mode, bits and port each leave a change for the board.
    p.panel.choose_mode(Mode::dpc);
    EXPECT_TRUE(p.panel.output_pending());
    p.run_ms(100);
    p.panel.toggle_bit(3);
    EXPECT_TRUE(p.panel.output_pending());
    p.run_ms(100);
    p.panel.choose_port("&H278");
    EXPECT_TRUE(p.panel.output_pending());

    // Switching OFF and Exit end every measurement without a reading; a
    // cancelled one is never told.
    told.clear();
    measure();
    p.panel.cancel_measurement(measure());
    p.panel.set_power(false);
    p.power_on();
    measure();
    p.panel.exit();
    p.run_ms(1000);
    EXPECT_EQ(told, (std::vector<std::optional<int>>{std::nullopt, std::nullopt}));
}

} // namespace
} // namespace korvel
