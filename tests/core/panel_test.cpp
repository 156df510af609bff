// Load, reset, power and exit: the port traffic and the control states.
#include "support/panel_fixture.h"

namespace korvel {
namespace {

TEST_F(PanelTest, LoadWritesExactlyTheSafeState)
{
    EXPECT_EQ(port.log, safe_state_378());
    EXPECT_EQ(beeps, 0);
}

TEST_F(PanelTest, StartStateIsOffAndReset)
{
    EXPECT_EQ(c.port_selector.text(), "&H378");
    EXPECT_EQ(c.mode_selector.text(), "ZEP");
    EXPECT_EQ(c.data_address_box.text(), "0x378");
    EXPECT_EQ(c.status_address_box.text(), "0x379");
    EXPECT_EQ(c.control_address_box.text(), "0x37A");
    EXPECT_EQ(f.base(), 888);
    EXPECT_EQ(f.base() + 1, 889);
    EXPECT_EQ(f.base() + 2, 890);
    EXPECT_EQ(c.power_button.text(), "ON");
    EXPECT_EQ(c.power_lamp.colour(), 0xC04000u);
    EXPECT_EQ(c.conversion_lamp.colour(), 0x000080u);
    for (Control* lamp : {&c.q7_lamp, &c.q6_lamp, &c.q5_lamp, &c.q4_lamp, &c.q3_lamp,
                          &c.q2_lamp, &c.q1_lamp, &c.q0_lamp})
        EXPECT_EQ(lamp->colour(), 0xE0E0E0u) << lamp->name();
    EXPECT_EQ(c.reading_box.text(), "+00000");
    EXPECT_EQ(c.setpoint_box.text(), "0");
    // The low read-out shows the safe byte the reset latched, although
    // out_lo is 0 afterwards; the high one keeps its design text.
    EXPECT_EQ(c.probe_low_box.text(), "FF");
    EXPECT_EQ(out().low, 0);
    EXPECT_EQ(c.probe_high_box.text(), "hi");
    EXPECT_EQ(c.probe_magnitude_box.text(), "set");
    EXPECT_EQ(c.probe_sign_box.text(), "+");
    EXPECT_FALSE(c.over_mark.visible());
    EXPECT_FALSE(c.under_mark.visible());
    for (Control* spin : {&c.coarse_spin, &c.medium_spin, &c.fine_spin}) {
        EXPECT_FALSE(spin->enabled()) << spin->name();
        EXPECT_EQ(spin->value(), 0);
    }
    for (Control* t : {&c.sync_timer, &c.refresh_timer, &c.scan_timer})
        EXPECT_FALSE(t->enabled()) << t->name();
    EXPECT_EQ(f.power(), 0);
    EXPECT_FALSE(c.port_panel.visible());
    EXPECT_FALSE(c.output_frame.visible());
    EXPECT_FALSE(c.probe_panel.visible());
    EXPECT_TRUE(c.setpoint_frame.visible());
}

TEST_F(PanelTest, NothingTouchesThePortWhileOff)
{
    port.clear();
    timers.run_for_ms(5000);
    EXPECT_TRUE(port.log.empty());
}

TEST_F(PanelTest, SwitchOnStartsTimersAndWritesNothing)
{
    port.clear();
    power();
    EXPECT_TRUE(port.log.empty());
    EXPECT_EQ(f.power(), 1);
    EXPECT_EQ(c.power_lamp.colour(), 0xFFFF00u);
    EXPECT_EQ(c.power_button.text(), "OFF");
    EXPECT_TRUE(c.sync_timer.enabled());
    EXPECT_TRUE(c.refresh_timer.enabled());
    EXPECT_FALSE(c.scan_timer.enabled());
    EXPECT_TRUE(c.coarse_spin.enabled() && c.medium_spin.enabled() && c.fine_spin.enabled());

    // The first sync tick comes 10 ms later, the first refresh 100 ms later.
    timers.run_for_ms(10);
    EXPECT_EQ(port.log, (std::vector<PortAccess>{wr(control378, 0), rd(status378, 255),
                                                 rd(status378, 255)}));
    EXPECT_EQ(timers.ticks(ControlId::refresh_timer), 0u);
    timers.run_for_ms(90);
    EXPECT_EQ(timers.ticks(ControlId::refresh_timer), 1u);
}

TEST_F(PanelTest, RefreshWritesTheLatchesByMode)
{
    power();
    out().low = 48;
    out().high = 245;
    port.clear();
    f.on_refresh_tick();
    EXPECT_EQ(port.log, (std::vector<PortAccess>{wr(data378, 48), wr(control378, 3),
                                                 wr(control378, 0), wr(data378, 245),
                                                 wr(control378, 1), wr(control378, 0)}));
    EXPECT_EQ(c.probe_low_box.text(), "30");
    EXPECT_EQ(c.probe_high_box.text(), "75");

    mode("DPC");
    out().low = 165;
    port.clear();
    f.on_refresh_tick();
    EXPECT_EQ(port.log, (std::vector<PortAccess>{wr(data378, 165), wr(control378, 3),
                                                 wr(control378, 0)}));
    EXPECT_EQ(c.probe_low_box.text(), "A5");
    EXPECT_EQ(c.probe_high_box.text(), "75");

    mode("DVM");
    port.clear();
    f.on_refresh_tick();
    EXPECT_TRUE(port.log.empty());
    EXPECT_EQ(c.probe_low_box.text(), "A5");

    mode("DPC");
    out().low = 0;
    f.on_refresh_tick();
    EXPECT_EQ(c.probe_low_box.text(), "0");
}

TEST_F(PanelTest, PowerOnInDpcReplacesTheSafeByteAtTheFirstRefresh)
{
    mode("DPC");
    power();
    port.clear();
    timers.run_for_ms(100);
    // Ten sync ticks (control 0), then the refresh of the low latch.
    std::vector<PortAccess> expected(10, wr(control378, 0));
    expected.insert(expected.end(), {wr(data378, 0), wr(control378, 3), wr(control378, 0)});
    EXPECT_EQ(writes(), expected);
}

TEST_F(PanelTest, ExitWhileOnStopsTimersThenWritesTheSafeStateLast)
{
    power();
    set_point(12300, 40, 5);
    timers.run_for_ms(250);
    port.clear();
    c.exit_button.fire();
    EXPECT_EQ(port.log, safe_state_378());
    EXPECT_EQ(beeps, 1);
    EXPECT_EQ(ends, 1);
    for (Control* t : {&c.sync_timer, &c.refresh_timer, &c.scan_timer})
        EXPECT_FALSE(t->enabled());

    // Nothing follows: no tick, no handler, no second exit by the unload.
    timers.run_for_ms(1000);
    f.close();
    c.power_button.fire();
    c.exit_button.fire();
    EXPECT_EQ(port.log, safe_state_378());
    EXPECT_EQ(beeps, 1);
    EXPECT_EQ(ends, 1);
}

TEST_F(PanelTest, ClosingTheWindowWhileOffWritesTheSafeStateAndBeepsOnce)
{
    port.clear();
    f.close();
    f.close(); // a second signal during exit
    EXPECT_EQ(port.log, safe_state_378());
    EXPECT_EQ(beeps, 1);
    EXPECT_EQ(ends, 1);
    // Exit does not run the reset: the power switch keeps its looks.
    EXPECT_EQ(c.power_button.text(), "ON");
}

TEST_F(PanelTest, SwitchOffResetsToTheSafeState)
{
    power();
    mode("DPC");
    c.q7_button.fire();
    timers.run_for_ms(200);
    port.clear();
    power();
    EXPECT_EQ(port.log, safe_state_378());
    EXPECT_EQ(c.power_button.text(), "ON");
    EXPECT_EQ(c.power_lamp.colour(), 0xC04000u);
    EXPECT_EQ(c.q7_lamp.colour(), 0xE0E0E0u);
    EXPECT_EQ(c.probe_low_box.text(), "FF");
    EXPECT_EQ(c.mode_selector.text(), "DPC"); // the mode survives power OFF
    EXPECT_FALSE(c.sync_timer.enabled() || c.refresh_timer.enabled() || c.scan_timer.enabled());
}

TEST_F(PanelTest, OnOffOnStartsAgainFromTheResetState)
{
    power();
    set_point(-5000, 300, 7);
    mode("DPC");
    c.q0_button.fire();
    dvm().d3 = 7;
    dvm().seen_d2 = 2;
    dvm().sync_count = 9;
    c.reading_box.set_text("+12345");
    power();
    power();
    EXPECT_EQ(f.power(), 1);
    EXPECT_EQ(out().low, 0);
    EXPECT_EQ(out().high, 0);
    EXPECT_EQ(f.output().bit(0), 0);
    EXPECT_EQ(dvm().sync_count, 0);
    EXPECT_EQ(dvm().seen_d2, 0);
    EXPECT_EQ(dvm().d3, 0);
    EXPECT_EQ(c.setpoint_box.text(), "0");
    EXPECT_EQ(c.reading_box.text(), "+00000");
    for (Control* spin : {&c.coarse_spin, &c.medium_spin, &c.fine_spin}) {
        EXPECT_EQ(spin->value(), 0);
        EXPECT_TRUE(spin->enabled());
    }
    EXPECT_EQ(c.power_button.text(), "OFF");
}

TEST_F(PanelTest, PortChoiceResolvesAddresses)
{
    c.port_selector.select("&H278");
    EXPECT_EQ(c.data_address_box.text(), "0x278");
    EXPECT_EQ(c.status_address_box.text(), "0x279");
    EXPECT_EQ(c.control_address_box.text(), "0x27A");
    c.port_selector.select("&H3BC");
    EXPECT_EQ(c.data_address_box.text(), "0x3BC");
    EXPECT_EQ(c.status_address_box.text(), "0x3BD");
    EXPECT_EQ(c.control_address_box.text(), "0x3BE");
    EXPECT_EQ(f.base(), 956);
    EXPECT_EQ(f.base() + 2, 958);
}

TEST_F(PanelTest, ChangingThePortWhileOnMovesTheNextTickAndWritesNothingAtTheChange)
{
    power();
    set_point(256, 0, 0);
    timers.run_for_ms(95);
    port.clear();
    c.port_selector.select("&H278");
    EXPECT_TRUE(port.log.empty());
    timers.run_for_ms(5); // the 100 ms tick: refresh on the new port
    const std::vector<PortAccess> refresh{wr(632, 0),   wr(634, 3), wr(634, 0),
                                          wr(632, 1),   wr(634, 1), wr(634, 0)};
    std::vector<PortAccess> expected{wr(634, 0), rd(633, 255), rd(633, 255)}; // sync tick
    expected.insert(expected.end(), refresh.begin(), refresh.end());
    EXPECT_EQ(port.log, expected);

    // Power OFF puts the board on the new port into the safe state.
    port.clear();
    power();
    EXPECT_EQ(port.log, (std::vector<PortAccess>{wr(632, 255), wr(634, 3), wr(634, 0),
                                                 wr(634, 12)}));
}

TEST_F(PanelTest, SwitchingOffMidScanLeavesNoScanState)
{
    power();
    c.sync_timer.set_enabled(false);
    c.scan_timer.set_enabled(true);
    dvm().seen_d1 = 2;
    dvm().seen_d5 = 1;
    dvm().sync_count = 4;
    power();
    EXPECT_EQ(dvm().seen_d1 + dvm().seen_d2 + dvm().seen_d3 + dvm().seen_d4 + dvm().seen_d5, 0);
    EXPECT_EQ(dvm().sync_count, 0);
    EXPECT_FALSE(c.scan_timer.enabled());
}

} // namespace
} // namespace korvel
