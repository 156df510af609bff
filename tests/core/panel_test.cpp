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
    EXPECT_EQ(f.c.Combo1.text(), "&H378");
    EXPECT_EQ(f.c.Combo2.text(), "ZEP");
    EXPECT_EQ(f.c.Text1.text(), "0x378");
    EXPECT_EQ(f.c.Text2.text(), "0x379");
    EXPECT_EQ(f.c.Text3.text(), "0x37A");
    EXPECT_EQ(f.st.port_base, 888);
    EXPECT_EQ(f.st.port_status, 889);
    EXPECT_EQ(f.st.port_control, 890);
    EXPECT_EQ(f.c.Command9.text(), "ON");
    EXPECT_EQ(f.c.Shape10.colour(), 0xC04000u);
    EXPECT_EQ(f.c.Shape9.colour(), 0x000080u);
    for (Control* lamp : {&f.c.Shape1, &f.c.Shape2, &f.c.Shape3, &f.c.Shape4, &f.c.Shape5,
                          &f.c.Shape6, &f.c.Shape7, &f.c.Shape8})
        EXPECT_EQ(lamp->colour(), 0xE0E0E0u) << lamp->name();
    EXPECT_EQ(f.c.dvm_reading.text(), "+00000");
    EXPECT_EQ(f.c.Text8.text(), "0");
    // The low read-out shows the safe byte the reset latched, although
    // out_lo is 0 afterwards; the high one keeps its design text.
    EXPECT_EQ(f.c.Text7.text(), "FF");
    EXPECT_EQ(f.st.out_lo, 0);
    EXPECT_EQ(f.c.Text10.text(), "hi");
    EXPECT_EQ(f.c.Text9.text(), "set");
    EXPECT_EQ(f.c.Text11.text(), "+");
    EXPECT_FALSE(f.c.Label1.visible());
    EXPECT_FALSE(f.c.Label5.visible());
    for (Control* spin : {&f.c.VScroll1, &f.c.VScroll2, &f.c.VScroll3}) {
        EXPECT_FALSE(spin->enabled()) << spin->name();
        EXPECT_EQ(spin->value(), 0);
    }
    for (Control* t : {&f.c.Timer1, &f.c.Timer2, &f.c.Timer3})
        EXPECT_FALSE(t->enabled()) << t->name();
    EXPECT_EQ(f.st.power, 0);
    EXPECT_FALSE(f.c.Frame1.visible());
    EXPECT_FALSE(f.c.Frame3.visible());
    EXPECT_FALSE(f.c.Frame5.visible());
    EXPECT_TRUE(f.c.Frame6.visible());
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
    EXPECT_EQ(f.st.power, 1);
    EXPECT_EQ(f.c.Shape10.colour(), 0xFFFF00u);
    EXPECT_EQ(f.c.Command9.text(), "OFF");
    EXPECT_TRUE(f.c.Timer1.enabled());
    EXPECT_TRUE(f.c.Timer2.enabled());
    EXPECT_FALSE(f.c.Timer3.enabled());
    EXPECT_TRUE(f.c.VScroll1.enabled() && f.c.VScroll2.enabled() && f.c.VScroll3.enabled());

    // The first sync tick comes 10 ms later, the first refresh 100 ms later.
    timers.run_for_ms(10);
    EXPECT_EQ(port.log, (std::vector<PortAccess>{wr(control378, 0), rd(status378, 255),
                                                 rd(status378, 255)}));
    EXPECT_EQ(timers.ticks(2), 0u);
    timers.run_for_ms(90);
    EXPECT_EQ(timers.ticks(2), 1u);
}

TEST_F(PanelTest, RefreshWritesTheLatchesByMode)
{
    power();
    f.st.out_lo = 48;
    f.st.out_hi = 245;
    port.clear();
    f.timer2_tick();
    EXPECT_EQ(port.log, (std::vector<PortAccess>{wr(data378, 48), wr(control378, 3),
                                                 wr(control378, 0), wr(data378, 245),
                                                 wr(control378, 1), wr(control378, 0)}));
    EXPECT_EQ(f.c.Text7.text(), "30");
    EXPECT_EQ(f.c.Text10.text(), "75");

    mode("DPC");
    f.st.out_lo = 165;
    port.clear();
    f.timer2_tick();
    EXPECT_EQ(port.log, (std::vector<PortAccess>{wr(data378, 165), wr(control378, 3),
                                                 wr(control378, 0)}));
    EXPECT_EQ(f.c.Text7.text(), "A5");
    EXPECT_EQ(f.c.Text10.text(), "75");

    mode("DVM");
    port.clear();
    f.timer2_tick();
    EXPECT_TRUE(port.log.empty());
    EXPECT_EQ(f.c.Text7.text(), "A5");

    mode("DPC");
    f.st.out_lo = 0;
    f.timer2_tick();
    EXPECT_EQ(f.c.Text7.text(), "0");
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
    f.c.Command12.fire();
    EXPECT_EQ(port.log, safe_state_378());
    EXPECT_EQ(beeps, 1);
    EXPECT_EQ(ends, 1);
    for (Control* t : {&f.c.Timer1, &f.c.Timer2, &f.c.Timer3})
        EXPECT_FALSE(t->enabled());

    // Nothing follows: no tick, no handler, no second exit by the unload.
    timers.run_for_ms(1000);
    f.form_unload();
    f.c.Command9.fire();
    f.c.Command12.fire();
    EXPECT_EQ(port.log, safe_state_378());
    EXPECT_EQ(beeps, 1);
    EXPECT_EQ(ends, 1);
}

TEST_F(PanelTest, ClosingTheWindowWhileOffWritesTheSafeStateAndBeepsOnce)
{
    port.clear();
    f.form_unload();
    f.form_unload(); // a second signal during exit
    EXPECT_EQ(port.log, safe_state_378());
    EXPECT_EQ(beeps, 1);
    EXPECT_EQ(ends, 1);
    // Exit does not run the reset: the power switch keeps its looks.
    EXPECT_EQ(f.c.Command9.text(), "ON");
}

TEST_F(PanelTest, SwitchOffResetsToTheSafeState)
{
    power();
    mode("DPC");
    f.c.Command1.fire();
    timers.run_for_ms(200);
    port.clear();
    power();
    EXPECT_EQ(port.log, safe_state_378());
    EXPECT_EQ(f.c.Command9.text(), "ON");
    EXPECT_EQ(f.c.Shape10.colour(), 0xC04000u);
    EXPECT_EQ(f.c.Shape1.colour(), 0xE0E0E0u);
    EXPECT_EQ(f.c.Text7.text(), "FF");
    EXPECT_EQ(f.c.Combo2.text(), "DPC"); // the mode survives power OFF
    EXPECT_FALSE(f.c.Timer1.enabled() || f.c.Timer2.enabled() || f.c.Timer3.enabled());
}

TEST_F(PanelTest, OnOffOnStartsAgainFromTheResetState)
{
    power();
    set_point(-5000, 300, 7);
    mode("DPC");
    f.c.Command8.fire();
    f.st.d3 = 7;
    f.st.seen_d2 = 2;
    f.st.sync_count = 9;
    f.c.dvm_reading.set_text("+12345");
    power();
    power();
    EXPECT_EQ(f.st.power, 1);
    EXPECT_EQ(f.st.out_lo, 0);
    EXPECT_EQ(f.st.out_hi, 0);
    EXPECT_EQ(f.st.q0, 0);
    EXPECT_EQ(f.st.sync_count, 0);
    EXPECT_EQ(f.st.seen_d2, 0);
    EXPECT_EQ(f.st.d3, 0);
    EXPECT_EQ(f.c.Text8.text(), "0");
    EXPECT_EQ(f.c.dvm_reading.text(), "+00000");
    for (Control* spin : {&f.c.VScroll1, &f.c.VScroll2, &f.c.VScroll3}) {
        EXPECT_EQ(spin->value(), 0);
        EXPECT_TRUE(spin->enabled());
    }
    EXPECT_EQ(f.c.Command9.text(), "OFF");
}

TEST_F(PanelTest, PortChoiceResolvesAddresses)
{
    f.c.Combo1.select("&H278");
    EXPECT_EQ(f.c.Text1.text(), "0x278");
    EXPECT_EQ(f.c.Text2.text(), "0x279");
    EXPECT_EQ(f.c.Text3.text(), "0x27A");
    f.c.Combo1.select("&H3BC");
    EXPECT_EQ(f.c.Text1.text(), "0x3BC");
    EXPECT_EQ(f.c.Text2.text(), "0x3BD");
    EXPECT_EQ(f.c.Text3.text(), "0x3BE");
    EXPECT_EQ(f.st.port_base, 956);
    EXPECT_EQ(f.st.port_control, 958);
}

TEST_F(PanelTest, ChangingThePortWhileOnMovesTheNextTickAndWritesNothingAtTheChange)
{
    power();
    set_point(256, 0, 0);
    timers.run_for_ms(95);
    port.clear();
    f.c.Combo1.select("&H278");
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
    f.c.Timer1.set_enabled(false);
    f.c.Timer3.set_enabled(true);
    f.st.seen_d1 = 2;
    f.st.seen_d5 = 1;
    f.st.sync_count = 4;
    power();
    EXPECT_EQ(f.st.seen_d1 + f.st.seen_d2 + f.st.seen_d3 + f.st.seen_d4 + f.st.seen_d5, 0);
    EXPECT_EQ(f.st.sync_count, 0);
    EXPECT_FALSE(f.c.Timer3.enabled());
}

} // namespace
} // namespace korvel
