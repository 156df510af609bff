// Set-point composition, output bits, mode arrangement and the two panels.
#include "support/panel_fixture.h"

#include <random>

namespace korvel {
namespace {

struct WorkedRow {
    int coarse, medium, fine;
    const char* setpoint_text;
    int sign, hi, lo;
    const char* magnitude_text;
    const char* sign_text;
    const char* low_text;
    const char* high_text;
};

TEST_F(PanelTest, WorkedSetPointsReachTheLatches)
{
    const WorkedRow rows[] = {
        {0, 0, 0, "0", 0, 0, 0, "0", "0", "0", "0"},
        {0, 0, 1, "1", 0, 0, 1, "1", "0", "1", "0"},
        {0, 0, -1, "-1", 1, 128, 1, "1", "1", "1", "0"},
        {200, 50, 6, "256", 0, 1, 0, "100", "0", "0", "1"},
        {-12300, -40, -5, "-12345", 1, 176, 57, "3039", "1", "39", "30"},
        {20000, 5000, 5000, "30000", 0, 117, 48, "7530", "0", "30", "75"},
        {-20000, -5000, -5000, "-30000", 1, 245, 48, "7530", "1", "30", "75"},
    };
    power();
    for (const auto& r : rows) {
        SCOPED_TRACE(r.setpoint_text);
        // Move away first so that every row really runs the composition.
        set_point(100, 10, 1);
        set_point(r.coarse, r.medium, r.fine);
        EXPECT_EQ(c.setpoint_box.text(), r.setpoint_text);
        EXPECT_EQ(out().negative, r.sign);
        EXPECT_EQ(out().high, r.hi);
        EXPECT_EQ(out().low, r.lo);
        EXPECT_EQ(c.probe_magnitude_box.text(), r.magnitude_text);
        EXPECT_EQ(c.probe_sign_box.text(), r.sign_text);
        port.clear();
        f.on_refresh_tick();
        EXPECT_EQ(c.probe_low_box.text(), r.low_text);
        EXPECT_EQ(c.probe_high_box.text(), r.high_text);
        EXPECT_EQ(port.log, (std::vector<PortAccess>{
                                wr(data378, r.lo), wr(control378, 3), wr(control378, 0),
                                wr(data378, r.hi), wr(control378, 1), wr(control378, 0)}));
    }
}

TEST_F(PanelTest, SetPointEdgeValues)
{
    power();
    // All three at their negative ends.
    c.coarse_spin.set_value(-99999);
    c.medium_spin.set_value(-99999);
    c.fine_spin.set_value(-99999);
    EXPECT_EQ(c.setpoint_box.text(), "-30000");
    EXPECT_EQ(out().high, 245);
    EXPECT_EQ(out().low, 48);
    EXPECT_EQ(c.probe_magnitude_box.text(), "7530");
    EXPECT_EQ(c.probe_sign_box.text(), "1");
    // The latches hold the magnitude; the set-point box the signed sum.
    EXPECT_EQ(out().magnitude, 30000);

    // Zero reached from negative values carries no negative zero.
    set_point(0, 0, 0);
    EXPECT_EQ(out().negative, 0);
    EXPECT_EQ(out().high, 0);
    EXPECT_EQ(out().low, 0);
    EXPECT_EQ(c.probe_sign_box.text(), "0");

    c.coarse_spin.set_value(20000);
    EXPECT_EQ(out().high, 78);
    EXPECT_EQ(out().low, 32);
    EXPECT_EQ(c.probe_magnitude_box.text(), "4E20");
}

TEST_F(PanelTest, SpinControlsStepAndStopAtTheirEnds)
{
    int changes = 0;
    c.fine_spin.handler = [&] {
        ++changes;
        f.on_setpoint_change();
    };
    c.fine_spin.step_up(); // disabled while OFF
    EXPECT_EQ(changes, 0);
    power();
    c.fine_spin.step_up();
    c.medium_spin.step_down();
    c.coarse_spin.step_up();
    EXPECT_EQ(c.setpoint_box.text(), "91");
    EXPECT_EQ(changes, 1);
    c.fine_spin.set_value(5000);
    c.fine_spin.step_up(); // at the end: no move, no change event
    c.fine_spin.set_value(5000);
    EXPECT_EQ(c.fine_spin.value(), 5000);
    EXPECT_EQ(changes, 2);
}

TEST_F(PanelTest, OtherModesShowTheSumOnly)
{
    power();
    set_point(1000, 0, 0);
    mode("DPC");
    set_point(-2000, 0, 0);
    EXPECT_EQ(c.setpoint_box.text(), "-2000");
    EXPECT_EQ(f.setpoint(), -2000);
    EXPECT_EQ(out().negative, 0);
    EXPECT_EQ(out().low, 1000 & 255);
    EXPECT_EQ(c.probe_magnitude_box.text(), "3E8");

    // Back in "ZEP" nothing is recomputed until a spin control changes.
    mode("ZEP");
    EXPECT_EQ(out().low, 1000 & 255);
    EXPECT_EQ(out().high, 1000 >> 8);
    c.fine_spin.set_value(1);
    EXPECT_EQ(out().negative, 1);
    EXPECT_EQ(out().low, 1999 & 255);
    EXPECT_EQ(out().high, 128 | (1999 >> 8));
}

TEST_F(PanelTest, ResetRunsTheCompositionOncePerMovedControlAndEndsAtZero)
{
    int runs = 0;
    for (const char* m : {"ZEP", "DPC", "DVM"}) {
        SCOPED_TRACE(m);
        power();
        mode("ZEP");
        set_point(-300, 0, 42);
        mode(m);
        runs = 0;
        for (Control* spin : {&c.coarse_spin, &c.medium_spin, &c.fine_spin})
            spin->handler = [&] {
                ++runs;
                f.on_setpoint_change();
            };
        power(); // OFF: the reset
        EXPECT_EQ(runs, 2);
        EXPECT_EQ(f.setpoint(), 0);
        EXPECT_EQ(c.setpoint_box.text(), "0");
        EXPECT_EQ(out().low, 0);
        EXPECT_EQ(out().high, 0);
        EXPECT_EQ(out().negative, 0);
        runs = 0;
        f.reset(); // all at 0 already: no composition
        EXPECT_EQ(runs, 0);
    }
}

TEST_F(PanelTest, OutputBitsToggleWithTheirLamps)
{
    power();
    mode("DPC");
    c.q7_button.fire();
    EXPECT_EQ(out().low, 128);
    EXPECT_EQ(f.output().bit(7), 1);
    EXPECT_EQ(c.q7_lamp.colour(), 0xFF8000u);
    port.clear();
    timers.run_for_ms(100);
    EXPECT_EQ(c.probe_low_box.text(), "80");
    EXPECT_EQ(port.writes().back(), wr(control378, 0));
    EXPECT_EQ(port.writes()[port.writes().size() - 3], wr(data378, 128));
    c.q7_button.fire();
    EXPECT_EQ(out().low, 0);
    EXPECT_EQ(c.q7_lamp.colour(), 0xE0E0E0u);

    for (Control* b : {&c.q0_button, &c.q2_button, &c.q4_button, &c.q6_button})
        b->fire();
    EXPECT_EQ(out().low, 85);
    timers.run_for_ms(100);
    EXPECT_EQ(c.probe_low_box.text(), "55");
    EXPECT_EQ(c.q0_lamp.colour(), 0xFF8000u);
    EXPECT_EQ(c.q1_lamp.colour(), 0xE0E0E0u);
    EXPECT_EQ(c.q6_lamp.colour(), 0xFF8000u);
}

TEST_F(PanelTest, AClickWhileOffOnlyClears)
{
    mode("DPC");
    c.q5_button.fire();
    EXPECT_EQ(f.output().bit(5), 0);
    EXPECT_EQ(c.q5_lamp.colour(), 0xE0E0E0u);
    out().low = 0xFF;
    c.q5_button.fire();
    EXPECT_EQ(out().low, 0xFF & ~32);
}

TEST_F(PanelTest, NoBitDisturbsAnother)
{
    power();
    mode("DPC");
    Control* buttons[8] = {&c.q0_button, &c.q1_button, &c.q2_button, &c.q3_button,
                           &c.q4_button, &c.q5_button, &c.q6_button, &c.q7_button};
    std::mt19937 rng(7);
    int expected = 0;
    for (int i = 0; i < 2000; ++i) {
        const int bit = static_cast<int>(rng() % 8);
        buttons[bit]->fire();
        expected ^= 1 << bit;
        ASSERT_EQ(out().low, expected);
        ASSERT_EQ(f.output().bit(bit), (expected >> bit) & 1);
    }
}

TEST_F(PanelTest, BitsOverASetPointByteFollowTheirOwnState)
{
    power();
    set_point(0, 40, 8); // 48
    timers.run_for_ms(100);
    mode("DPC");
    port.clear();
    timers.run_for_ms(100);
    const auto w = port.writes();
    EXPECT_EQ(w[w.size() - 3], wr(data378, 48));
    c.q0_button.fire(); // Q0
    EXPECT_EQ(out().low, 49);
    c.q4_button.fire(); // Q4: bit already set in the byte
    EXPECT_EQ(out().low, 49);
    EXPECT_EQ(f.output().bit(4), 1);
    EXPECT_EQ(c.q4_lamp.colour(), 0xFF8000u);
    c.q4_button.fire();
    EXPECT_EQ(out().low, 33);
}

TEST_F(PanelTest, ModeArrangement)
{
    mode("DVM");
    EXPECT_FALSE(c.output_frame.visible());
    EXPECT_FALSE(c.setpoint_frame.visible());
    mode("DPC");
    EXPECT_TRUE(c.output_frame.visible());
    EXPECT_FALSE(c.setpoint_frame.visible());
    mode("DPC");
    EXPECT_TRUE(c.output_frame.visible());
    mode("ZEP");
    EXPECT_FALSE(c.output_frame.visible());
    EXPECT_TRUE(c.setpoint_frame.visible());
    // Always visible.
    EXPECT_TRUE(c.input_frame.visible() && c.power_frame.visible());
}

TEST_F(PanelTest, PanelsOpenAndCloseInEveryOrder)
{
    auto port_open = [&] { return c.port_panel.visible(); };
    auto probe_open = [&] { return c.probe_panel.visible(); };
    c.port_button.fire();
    EXPECT_TRUE(port_open());
    c.port_button.fire();
    EXPECT_FALSE(port_open());
    c.port_button.fire();
    c.port_ok_button.fire();
    EXPECT_FALSE(port_open());
    c.port_ok_button.fire(); // closing a closed panel
    EXPECT_FALSE(port_open());
    c.port_button.fire();
    EXPECT_TRUE(port_open());

    c.probe_button.fire();
    EXPECT_TRUE(probe_open() && port_open());
    c.probe_ok_button.fire();
    EXPECT_FALSE(probe_open());
    EXPECT_TRUE(port_open());
    c.probe_button.fire();
    c.port_ok_button.fire();
    EXPECT_TRUE(probe_open());
    EXPECT_FALSE(port_open());
    EXPECT_EQ(f.port_panel_open(), 0);
    EXPECT_EQ(f.probe_panel_open(), 1);
}

TEST_F(PanelTest, OpenPanelsStayOpenAcrossPowerOffAndCloseWithOneClick)
{
    c.port_button.fire();
    c.probe_button.fire();
    power();
    power(); // OFF: the reset
    EXPECT_TRUE(c.port_panel.visible());
    EXPECT_TRUE(c.probe_panel.visible());
    EXPECT_EQ(f.port_panel_open(), 1);
    EXPECT_EQ(f.probe_panel_open(), 1);
    c.port_button.fire();
    c.probe_button.fire();
    EXPECT_FALSE(c.port_panel.visible());
    EXPECT_FALSE(c.probe_panel.visible());
}

TEST_F(PanelTest, HiddenPanelsKeepBeingWritten)
{
    power();
    // Not 255: the reset leaves "FF" in the low read-out already.
    set_point(0, 0, 165);
    timers.run_for_ms(100);
    EXPECT_FALSE(c.probe_panel.visible());
    c.probe_button.fire();
    EXPECT_EQ(c.probe_low_box.text(), "A5");
    EXPECT_EQ(c.probe_magnitude_box.text(), "A5");
}

} // namespace
} // namespace korvel
