// Set-point composition, output bits, mode arrangement and the two panels.
#include "support/panel_fixture.h"

#include <random>

namespace korvel {
namespace {

struct WorkedRow {
    int coarse, medium, fine;
    const char* text8;
    int sign, hi, lo;
    const char* text9;
    const char* text11;
    const char* text7;
    const char* text10;
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
        SCOPED_TRACE(r.text8);
        // Move away first so that every row really runs the composition.
        set_point(100, 10, 1);
        set_point(r.coarse, r.medium, r.fine);
        EXPECT_EQ(f.c.Text8.text(), r.text8);
        EXPECT_EQ(f.st.out_sign, r.sign);
        EXPECT_EQ(f.st.out_hi, r.hi);
        EXPECT_EQ(f.st.out_lo, r.lo);
        EXPECT_EQ(f.c.Text9.text(), r.text9);
        EXPECT_EQ(f.c.Text11.text(), r.text11);
        port.clear();
        f.timer2_tick();
        EXPECT_EQ(f.c.Text7.text(), r.text7);
        EXPECT_EQ(f.c.Text10.text(), r.text10);
        EXPECT_EQ(port.log, (std::vector<PortAccess>{
                                wr(data378, r.lo), wr(control378, 3), wr(control378, 0),
                                wr(data378, r.hi), wr(control378, 1), wr(control378, 0)}));
    }
}

TEST_F(PanelTest, SetPointEdgeValues)
{
    power();
    // All three at their negative ends.
    f.c.VScroll1.set_value(-99999);
    f.c.VScroll2.set_value(-99999);
    f.c.VScroll3.set_value(-99999);
    EXPECT_EQ(f.c.Text8.text(), "-30000");
    EXPECT_EQ(f.st.out_hi, 245);
    EXPECT_EQ(f.st.out_lo, 48);
    EXPECT_EQ(f.c.Text9.text(), "7530");
    EXPECT_EQ(f.c.Text11.text(), "1");
    // set_word holds the magnitude; Text8 the signed sum.
    EXPECT_EQ(f.st.set_word, 30000);

    // Zero reached from negative values carries no negative zero.
    set_point(0, 0, 0);
    EXPECT_EQ(f.st.out_sign, 0);
    EXPECT_EQ(f.st.out_hi, 0);
    EXPECT_EQ(f.st.out_lo, 0);
    EXPECT_EQ(f.c.Text11.text(), "0");

    f.c.VScroll1.set_value(20000);
    EXPECT_EQ(f.st.out_hi, 78);
    EXPECT_EQ(f.st.out_lo, 32);
    EXPECT_EQ(f.c.Text9.text(), "4E20");
}

TEST_F(PanelTest, SpinControlsStepAndStopAtTheirEnds)
{
    int changes = 0;
    f.c.VScroll3.handler = [&] {
        ++changes;
        f.output_word();
    };
    f.c.VScroll3.step_up(); // disabled while OFF
    EXPECT_EQ(changes, 0);
    power();
    f.c.VScroll3.step_up();
    f.c.VScroll2.step_down();
    f.c.VScroll1.step_up();
    EXPECT_EQ(f.c.Text8.text(), "91");
    EXPECT_EQ(changes, 1);
    f.c.VScroll3.set_value(5000);
    f.c.VScroll3.step_up(); // at the end: no move, no change event
    f.c.VScroll3.set_value(5000);
    EXPECT_EQ(f.c.VScroll3.value(), 5000);
    EXPECT_EQ(changes, 2);
}

TEST_F(PanelTest, OtherModesShowTheSumOnly)
{
    power();
    set_point(1000, 0, 0);
    mode("DPC");
    set_point(-2000, 0, 0);
    EXPECT_EQ(f.c.Text8.text(), "-2000");
    EXPECT_EQ(f.st.set_word, -2000);
    EXPECT_EQ(f.st.out_sign, 0);
    EXPECT_EQ(f.st.out_lo, 1000 & 255);
    EXPECT_EQ(f.c.Text9.text(), "3E8");

    // Back in "ZEP" nothing is recomputed until a spin control changes.
    mode("ZEP");
    EXPECT_EQ(f.st.out_lo, 1000 & 255);
    EXPECT_EQ(f.st.out_hi, 1000 >> 8);
    f.c.VScroll3.set_value(1);
    EXPECT_EQ(f.st.out_sign, 1);
    EXPECT_EQ(f.st.out_lo, 1999 & 255);
    EXPECT_EQ(f.st.out_hi, 128 | (1999 >> 8));
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
        for (Control* spin : {&f.c.VScroll1, &f.c.VScroll2, &f.c.VScroll3})
            spin->handler = [&] {
                ++runs;
                f.output_word();
            };
        power(); // OFF: the reset
        EXPECT_EQ(runs, 2);
        EXPECT_EQ(f.st.set_word, 0);
        EXPECT_EQ(f.c.Text8.text(), "0");
        EXPECT_EQ(f.st.out_lo, 0);
        EXPECT_EQ(f.st.out_hi, 0);
        EXPECT_EQ(f.st.out_sign, 0);
        runs = 0;
        f.start_up(); // all at 0 already: no composition
        EXPECT_EQ(runs, 0);
    }
}

TEST_F(PanelTest, OutputBitsToggleWithTheirLamps)
{
    power();
    mode("DPC");
    f.c.Command1.fire();
    EXPECT_EQ(f.st.out_lo, 128);
    EXPECT_EQ(f.st.q7, 1);
    EXPECT_EQ(f.c.Shape1.colour(), 0xFF8000u);
    port.clear();
    timers.run_for_ms(100);
    EXPECT_EQ(f.c.Text7.text(), "80");
    EXPECT_EQ(port.writes().back(), wr(control378, 0));
    EXPECT_EQ(port.writes()[port.writes().size() - 3], wr(data378, 128));
    f.c.Command1.fire();
    EXPECT_EQ(f.st.out_lo, 0);
    EXPECT_EQ(f.c.Shape1.colour(), 0xE0E0E0u);

    for (Control* b : {&f.c.Command8, &f.c.Command6, &f.c.Command4, &f.c.Command2})
        b->fire();
    EXPECT_EQ(f.st.out_lo, 85);
    timers.run_for_ms(100);
    EXPECT_EQ(f.c.Text7.text(), "55");
    EXPECT_EQ(f.c.Shape8.colour(), 0xFF8000u);
    EXPECT_EQ(f.c.Shape7.colour(), 0xE0E0E0u);
    EXPECT_EQ(f.c.Shape2.colour(), 0xFF8000u);
}

TEST_F(PanelTest, AClickWhileOffOnlyClears)
{
    mode("DPC");
    f.c.Command3.fire();
    EXPECT_EQ(f.st.q5, 0);
    EXPECT_EQ(f.c.Shape3.colour(), 0xE0E0E0u);
    f.st.out_lo = 0xFF;
    f.c.Command3.fire();
    EXPECT_EQ(f.st.out_lo, 0xFF & ~32);
}

TEST_F(PanelTest, NoBitDisturbsAnother)
{
    power();
    mode("DPC");
    Control* buttons[8] = {&f.c.Command8, &f.c.Command7, &f.c.Command6, &f.c.Command5,
                           &f.c.Command4, &f.c.Command3, &f.c.Command2, &f.c.Command1};
    std::mt19937 rng(7);
    int expected = 0;
    for (int i = 0; i < 2000; ++i) {
        const int bit = static_cast<int>(rng() % 8);
        buttons[bit]->fire();
        expected ^= 1 << bit;
        ASSERT_EQ(f.st.out_lo, expected);
        ASSERT_EQ(f.st.q(bit), (expected >> bit) & 1);
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
    f.c.Command8.fire(); // Q0
    EXPECT_EQ(f.st.out_lo, 49);
    f.c.Command4.fire(); // Q4: bit already set in the byte
    EXPECT_EQ(f.st.out_lo, 49);
    EXPECT_EQ(f.st.q4, 1);
    EXPECT_EQ(f.c.Shape4.colour(), 0xFF8000u);
    f.c.Command4.fire();
    EXPECT_EQ(f.st.out_lo, 33);
}

TEST_F(PanelTest, ModeArrangement)
{
    mode("DVM");
    EXPECT_FALSE(f.c.Frame3.visible());
    EXPECT_FALSE(f.c.Frame6.visible());
    mode("DPC");
    EXPECT_TRUE(f.c.Frame3.visible());
    EXPECT_FALSE(f.c.Frame6.visible());
    mode("DPC");
    EXPECT_TRUE(f.c.Frame3.visible());
    mode("ZEP");
    EXPECT_FALSE(f.c.Frame3.visible());
    EXPECT_TRUE(f.c.Frame6.visible());
    // Always visible.
    EXPECT_TRUE(f.c.Frame2.visible() && f.c.Frame4.visible());
}

TEST_F(PanelTest, PanelsOpenAndCloseInEveryOrder)
{
    auto port_open = [&] { return f.c.Frame1.visible(); };
    auto probe_open = [&] { return f.c.Frame5.visible(); };
    f.c.Command11.fire();
    EXPECT_TRUE(port_open());
    f.c.Command11.fire();
    EXPECT_FALSE(port_open());
    f.c.Command11.fire();
    f.c.Command14.fire();
    EXPECT_FALSE(port_open());
    f.c.Command14.fire(); // closing a closed panel
    EXPECT_FALSE(port_open());
    f.c.Command11.fire();
    EXPECT_TRUE(port_open());

    f.c.Command10.fire();
    EXPECT_TRUE(probe_open() && port_open());
    f.c.Command13.fire();
    EXPECT_FALSE(probe_open());
    EXPECT_TRUE(port_open());
    f.c.Command10.fire();
    f.c.Command14.fire();
    EXPECT_TRUE(probe_open());
    EXPECT_FALSE(port_open());
    EXPECT_EQ(f.st.port_panel_open, 0);
    EXPECT_EQ(f.st.probe_panel_open, 1);
}

TEST_F(PanelTest, OpenPanelsStayOpenAcrossPowerOffAndCloseWithOneClick)
{
    f.c.Command11.fire();
    f.c.Command10.fire();
    power();
    power(); // OFF: the reset
    EXPECT_TRUE(f.c.Frame1.visible());
    EXPECT_TRUE(f.c.Frame5.visible());
    EXPECT_EQ(f.st.port_panel_open, 1);
    EXPECT_EQ(f.st.probe_panel_open, 1);
    f.c.Command11.fire();
    f.c.Command10.fire();
    EXPECT_FALSE(f.c.Frame1.visible());
    EXPECT_FALSE(f.c.Frame5.visible());
}

TEST_F(PanelTest, HiddenPanelsKeepBeingWritten)
{
    power();
    set_point(0, 0, 255);
    timers.run_for_ms(100);
    EXPECT_FALSE(f.c.Frame5.visible());
    f.c.Command10.fire();
    EXPECT_EQ(f.c.Text7.text(), "FF");
    EXPECT_EQ(f.c.Text9.text(), "FF");
}

} // namespace
} // namespace korvel
