// The panel driven through the remote interface: the same port traffic and
// the same controls as the same changes by hand.
#include "app/panel_instrument.h"
#include "remote/interpreter.h"
#include "support/panel_fixture.h"

namespace korvel {
namespace {

struct Remote {
    explicit Remote(Panel& p) : instrument(p, "korvel-test"), in(instrument) {}
    std::string ask(const std::string& line)
    {
        in.run_line(line);
        return in.take_response();
    }
    PanelInstrument instrument;
    remote::Interpreter in;
};

// A panel of its own; a test holds two from the same start, one driven by
// hand and one by commands.
struct HandPanel : PanelTest {
    void TestBody() override {}
    using PanelTest::c;
    using PanelTest::f;
    using PanelTest::mode;
    using PanelTest::power;
    using PanelTest::set_point;
    using PanelTest::timers;
    using PanelTest::writes;
};

TEST(PanelInstrument, CommandsMakeTheSameTrafficAndControlsAsClicks)
{
    HandPanel hand, remote_panel;
    Remote r(remote_panel.f);

    hand.power();
    hand.set_point(12300, 40, 5);
    r.ask("OUTP ON;SOUR:SETP 12345");
    for (HandPanel* p : {&hand, &remote_panel})
        p->timers.run_for_ms(350);
    EXPECT_EQ(remote_panel.writes(), hand.writes());
    for (Control* spin : {&hand.c.coarse_spin, &hand.c.medium_spin, &hand.c.fine_spin})
        EXPECT_EQ(remote_panel.c[spin->id()].value(), spin->value());
    EXPECT_EQ(remote_panel.c.setpoint_box.text(), "12345");
    EXPECT_EQ(r.ask("SETP?;OUTP?"), "12345;1\n");

    // Output bits by their buttons, in mode DPC.
    hand.mode("DPC");
    hand.c.q0_button.fire();
    hand.c.q2_button.fire();
    r.ask("MODE DPC;BITS 5");
    for (HandPanel* p : {&hand, &remote_panel})
        p->timers.run_for_ms(250);
    EXPECT_EQ(remote_panel.writes(), hand.writes());
    EXPECT_EQ(remote_panel.c.q0_lamp.colour(), hand.c.q0_lamp.colour());
    EXPECT_EQ(remote_panel.c.q2_lamp.colour(), hand.c.q2_lamp.colour());
    EXPECT_EQ(r.ask("BITS?;MODE?"), "5;DPC\n");

    // Out of range: refused with an error, nothing changes.
    r.ask("BITS 300;MODE ZEP;SETP 30001");
    EXPECT_EQ(r.ask("SYST:ERR?;SYST:ERR?;SETP?"),
              "-222,\"Data out of range;the output bits are a byte, 0..255\";"
              "-222,\"Data out of range;the set-point lies within -30000..30000\";12345\n");

    // Reset is switching OFF; a second reset while OFF runs the same
    // safe-state write and reset again.
    r.ask("*RST");
    EXPECT_EQ(remote_panel.c.power_button.text(), "ON");
    EXPECT_EQ(r.ask("OUTP?;SETP?;BITS?"), "0;0;0\n");
    const std::size_t n = remote_panel.writes().size();
    r.ask("*RST");
    const auto after = remote_panel.writes();
    const std::vector<PortAccess> tail(after.begin() + static_cast<long>(n), after.end());
    ASSERT_GE(tail.size(), 4u);
    EXPECT_EQ(std::vector<PortAccess>(tail.begin(), tail.begin() + 4), safe_state_378());
}

TEST(PanelInstrument, PortChoiceRunsTheSelector)
{
    HandPanel p;
    Remote r(p.f);
    EXPECT_EQ(r.ask("PORT 0x278;PORT?"), "&H278\n");
    EXPECT_EQ(p.c.data_address_box.text(), "0x278");
    EXPECT_EQ(p.c.control_address_box.text(), "0x27A");
    EXPECT_EQ(r.ask("*IDN?"), "korvel,korvel-test,0," KORVEL_VERSION "\n");
}

TEST(PanelInstrument, PanelsAndExitGoThroughTheirButtons)
{
    HandPanel p;
    Remote r(p.f);
    EXPECT_EQ(r.ask("DISP:PORT ON;PORT?;:DISP:PROB ON;PROB?"), "1;1\n");
    EXPECT_TRUE(p.c.port_panel.visible());
    EXPECT_TRUE(p.c.probe_panel.visible());
    r.ask("DISP:PORT OFF;PORT OFF");  // closed once: the second finds it closed
    EXPECT_FALSE(p.c.port_panel.visible());
    EXPECT_EQ(r.ask("SYST:ERR?"), "0,\"No error\"\n");
    EXPECT_EQ(r.ask("DISP:PORT?;PROB?"), "0;1\n");

    r.ask("OUTP ON;SETP 100");
    p.timers.run_for_ms(150);
    const auto n = p.writes().size();
    r.ask("SYST:EXIT");
    EXPECT_TRUE(p.f.ended());
    const auto after = p.writes();
    EXPECT_EQ(std::vector<PortAccess>(after.begin() + static_cast<long>(n), after.end()),
              safe_state_378());
}

TEST(PanelInstrument, NothingRunsOnceThePanelHasEnded)
{
    HandPanel p;
    Remote r(p.f);
    r.ask("OUTP ON");
    p.c.exit_button.fire();
    const auto n = p.writes().size();
    r.ask("*RST;OUTP OFF;SETP 5;MODE DPC");
    EXPECT_EQ(p.writes().size(), n);
}

} // namespace
} // namespace korvel
