// The panel driven through the remote interface: the same port traffic and
// the same controls as the same changes by hand.
#include "app/form_instrument.h"
#include "remote/interpreter.h"
#include "support/panel_fixture.h"

namespace korvel {
namespace {

struct Remote {
    explicit Remote(Form1& f) : instrument(f, "korvel-test"), in(instrument) {}
    std::string ask(const std::string& line)
    {
        in.run_line(line);
        return in.take_response();
    }
    FormInstrument instrument;
    remote::Interpreter in;
};

TEST(FormInstrument, SetPointIsSharedOutOverTheSpinControls)
{
    const std::pair<int, FormInstrument::Spins> rows[] = {
        {0, {0, 0, 0}},           {12345, {12300, 40, 5}},     {-705, {-700, 0, -5}},
        {30000, {20000, 5000, 5000}}, {-29999, {-20000, -5000, -4999}}, {20109, {20000, 100, 9}},
        {-99, {0, -90, -9}},
    };
    for (const auto& [value, spins] : rows) {
        const auto s = FormInstrument::share_out(value);
        EXPECT_EQ(s.coarse, spins.coarse) << value;
        EXPECT_EQ(s.medium, spins.medium) << value;
        EXPECT_EQ(s.fine, spins.fine) << value;
        EXPECT_EQ(s.coarse % 100, 0);
        EXPECT_EQ(s.medium % 10, 0);
    }
}

// A panel of its own; a test holds two from the same start, one driven by
// hand and one by commands.
struct HandPanel : PanelTest {
    void TestBody() override {}
    using PanelTest::f;
    using PanelTest::mode;
    using PanelTest::power;
    using PanelTest::set_point;
    using PanelTest::timers;
    using PanelTest::writes;
};

TEST(FormInstrument, CommandsMakeTheSameTrafficAndControlsAsClicks)
{
    HandPanel hand, remote_panel;
    Remote r(remote_panel.f);

    hand.power();
    hand.set_point(12300, 40, 5);
    r.ask("OUTP ON;SOUR:SETP 12345");
    for (HandPanel* p : {&hand, &remote_panel})
        p->timers.run_for_ms(350);
    EXPECT_EQ(remote_panel.writes(), hand.writes());
    for (ControlId id : {ControlId::VScroll1, ControlId::VScroll2, ControlId::VScroll3})
        EXPECT_EQ(remote_panel.f.c[id].value(), hand.f.c[id].value());
    EXPECT_EQ(remote_panel.f.c.Text8.text(), "12345");
    EXPECT_EQ(r.ask("SETP?;OUTP?"), "12345;1\n");

    // Output bits by their buttons, in mode DPC.
    hand.mode("DPC");
    hand.f.c.Command8.fire(); // Q0
    hand.f.c.Command6.fire(); // Q2
    r.ask("MODE DPC;BITS 5");
    for (HandPanel* p : {&hand, &remote_panel})
        p->timers.run_for_ms(250);
    EXPECT_EQ(remote_panel.writes(), hand.writes());
    EXPECT_EQ(remote_panel.f.c.Shape8.colour(), hand.f.c.Shape8.colour());
    EXPECT_EQ(remote_panel.f.c.Shape6.colour(), hand.f.c.Shape6.colour());
    EXPECT_EQ(r.ask("BITS?;MODE?"), "5;DPC\n");

    // Out of range: nothing moves.
    const auto before = remote_panel.writes();
    r.ask("BITS 300;MODE ZEP;SETP 30001");
    remote_panel.timers.run_for_ms(250);
    EXPECT_EQ(r.ask("SYST:ERR?;SYST:ERR?;SETP?"),
              "-222,\"Data out of range;the output bits are a byte, 0..255\";"
              "-222,\"Data out of range;the set-point lies within -30000..30000\";12345\n");

    // Reset is switching OFF; a second reset while OFF runs the same
    // safe-state write and reset again.
    r.ask("*RST");
    EXPECT_EQ(remote_panel.f.c.Command9.text(), "ON");
    EXPECT_EQ(r.ask("OUTP?;SETP?;BITS?"), "0;0;0\n");
    const std::size_t n = remote_panel.writes().size();
    r.ask("*RST");
    const auto after = remote_panel.writes();
    const std::vector<PortAccess> tail(after.begin() + static_cast<long>(n), after.end());
    ASSERT_GE(tail.size(), 4u);
    EXPECT_EQ(std::vector<PortAccess>(tail.begin(), tail.begin() + 4), safe_state_378());
}

TEST(FormInstrument, PortChoiceRunsTheSelector)
{
    HandPanel p;
    Remote r(p.f);
    EXPECT_EQ(r.ask("PORT 0x278;PORT?"), "&H278\n");
    EXPECT_EQ(p.f.c.Text1.text(), "0x278");
    EXPECT_EQ(p.f.c.Text3.text(), "0x27A");
    EXPECT_EQ(r.ask("*IDN?"), "korvel,korvel-test,0," KORVEL_VERSION "\n");
}

TEST(FormInstrument, NothingRunsOnceThePanelHasEnded)
{
    HandPanel p;
    Remote r(p.f);
    r.ask("OUTP ON");
    p.f.c.Command12.fire();
    const auto n = p.writes().size();
    r.ask("*RST;OUTP OFF;SETP 5;MODE DPC");
    EXPECT_EQ(p.writes().size(), n);
}

} // namespace
} // namespace korvel
