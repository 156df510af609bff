// The panel's front-end interface: operations in the user's terms give the
// same port traffic as the window's gestures, and refused operations change
// nothing; readings reach whoever asked for them.
#include "port/text.h"
#include "support/panel_fixture.h"
#include "support/virtual_panel.h"

namespace korvel {
namespace {

class FrontEndTest : public PanelTest {};

TEST_F(FrontEndTest, SetPointSplitsOverTheSpinControlsAndReachesTheLatches)
{
    struct Row {
        int value;
        int coarse, medium, fine;
        int high, low;
    };
    const Row rows[] = {
        {0, 0, 0, 0, 0, 0},
        {12345, 12300, 40, 5, 48, 57},
        {-705, -700, 0, -5, 128 | 2, 193},
        {30000, 20000, 5000, 5000, 117, 48},
        {-30000, -20000, -5000, -5000, 245, 48},
        {29999, 20000, 5000, 4999, 117, 47},
        {-29991, -20000, -5000, -4991, 245, 39},
        {99, 0, 90, 9, 0, 99},
    };
    power();
    for (const Row& r : rows) {
        SCOPED_TRACE(r.value);
        ASSERT_EQ(f.set_setpoint(r.value), Outcome::done);
        EXPECT_EQ(c.coarse_spin.value(), r.coarse);
        EXPECT_EQ(c.medium_spin.value(), r.medium);
        EXPECT_EQ(c.fine_spin.value(), r.fine);
        EXPECT_EQ(f.setpoint(), r.value);
        EXPECT_EQ(c.setpoint_box.text(), std::to_string(r.value));
        port.clear();
        timers.run_for_ms(100);
        const auto w = writes();
        ASSERT_GE(w.size(), 6u);
        EXPECT_EQ(std::vector<PortAccess>(w.end() - 6, w.end()),
                  (std::vector<PortAccess>{wr(data378, r.low), wr(control378, 3),
                                           wr(control378, 0), wr(data378, r.high),
                                           wr(control378, 1), wr(control378, 0)}));
    }
}

TEST_F(FrontEndTest, RefusedOperationsChangeNothing)
{
    struct Case {
        const char* name;
        std::function<Outcome(Panel&)> op;
        Outcome outcome;
        bool on;
        const char* mode;
    };
    const Case cases[] = {
        {"set-point above the range", [](Panel& p) { return p.set_setpoint(30001); }, Outcome::out_of_range, true, "ZEP"},
        {"set-point below the range", [](Panel& p) { return p.set_setpoint(-30001); }, Outcome::out_of_range, true, "ZEP"},
        {"set-point while OFF", [](Panel& p) { return p.set_setpoint(100); }, Outcome::not_now, false, "ZEP"},
        {"bits outside a byte", [](Panel& p) { return p.set_bits(256); }, Outcome::out_of_range, true, "DPC"},
        {"bits in mode ZEP", [](Panel& p) { return p.set_bits(1); }, Outcome::not_now, true, "ZEP"},
        {"bits in mode DVM", [](Panel& p) { return p.set_bits(1); }, Outcome::not_now, true, "DVM"},
        {"bits while OFF", [](Panel& p) { return p.set_bits(1); }, Outcome::not_now, false, "DPC"},
        {"a bit that is none", [](Panel& p) { return p.toggle_bit(8); }, Outcome::out_of_range, true, "DPC"},
        {"a bit outside mode DPC", [](Panel& p) { return p.toggle_bit(0); }, Outcome::not_now, true, "ZEP"},
        {"a port not offered", [](Panel& p) { return p.choose_port("&H3BD"); }, Outcome::out_of_range, true, "ZEP"},
        {"a step while OFF", [](Panel& p) { return p.step(Spin::fine, true); }, Outcome::not_now, false, "ZEP"},
        {"a step in mode DVM", [](Panel& p) { return p.step(Spin::coarse, true); }, Outcome::not_now, true, "DVM"},
        {"a step in mode DPC", [](Panel& p) { return p.step(Spin::fine, false); }, Outcome::not_now, true, "DPC"},
        {"set-point in mode DVM", [](Panel& p) { return p.set_setpoint(25000); }, Outcome::not_now, true, "DVM"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        f.set_power(false);
        mode(k.mode);
        f.set_power(k.on);
        port.clear();
        const int setpoint = f.setpoint(), bits = f.bits(), low = out().low;
        const std::string item = f.port_item();
        EXPECT_EQ(k.op(f), k.outcome);
        EXPECT_TRUE(port.log.empty());
        EXPECT_EQ(f.setpoint(), setpoint);
        EXPECT_EQ(f.bits(), bits);
        EXPECT_EQ(out().low, low);
        EXPECT_EQ(f.port_item(), item);
    }
}

TEST_F(FrontEndTest, BitsAreSetThroughTheirButtons)
{
    power();
    mode("DPC");
    int clicks = 0;
    for (Control* b : {&c.q0_button, &c.q1_button, &c.q2_button, &c.q3_button, &c.q4_button,
                       &c.q5_button, &c.q6_button, &c.q7_button}) {
        const auto handler = b->handler;
        b->handler = [&clicks, handler] {
            ++clicks;
            handler();
        };
    }
    ASSERT_EQ(f.set_bits(0xA5), Outcome::done);
    EXPECT_EQ(clicks, 4);
    EXPECT_EQ(f.bits(), 0xA5);
    EXPECT_EQ(c.q7_lamp.colour(), 0xFF8000u);
    EXPECT_EQ(c.q6_lamp.colour(), 0xE0E0E0u);
    ASSERT_EQ(f.set_bits(0x0F), Outcome::done);  // 0xA5 ^ 0x0F: four bits differ
    EXPECT_EQ(clicks, 8);
    EXPECT_EQ(f.bits(), 0x0F);
    port.clear();
    timers.run_for_ms(100);
    EXPECT_EQ(writes()[writes().size() - 3], wr(data378, 0x0F));
}

TEST_F(FrontEndTest, OperationsMatchTheGesturesTheyStandFor)
{
    RecordingPort by_hand;
    Panel g(by_hand);
    Controls& h = g.controls();
    g.load();
    // The same session twice: once by the controls, once by the operations.
    h.power_button.fire();
    h.fine_spin.step_up();
    h.port_button.fire();
    h.port_selector.select("&H278");
    h.mode_selector.select("DPC");
    h.q3_button.fire();
    h.probe_button.fire();
    h.probe_ok_button.fire();
    h.exit_button.fire();

    port.clear();
    by_hand.log.erase(by_hand.log.begin(), by_hand.log.begin() + 4);  // the load, done already here
    f.toggle_power();
    f.step(Spin::fine, true);
    f.toggle_panel(PopUp::port_panel);
    f.choose_port("&H278");
    f.choose_mode(Mode::dpc);
    f.toggle_bit(3);
    f.toggle_panel(PopUp::probe_panel);
    f.close_panel(PopUp::probe_panel);
    f.exit();

    EXPECT_EQ(port.log, by_hand.log);
    for (ControlId id : {ControlId::port_panel, ControlId::probe_panel, ControlId::output_frame,
                         ControlId::setpoint_frame})
        EXPECT_EQ(c[id].visible(), h[id].visible());
    EXPECT_EQ(f.setpoint(), 1);
    EXPECT_EQ(f.mode(), Mode::dpc);
    EXPECT_EQ(f.base(), 0x278);
    EXPECT_TRUE(f.ended());
    EXPECT_EQ(f.choose_mode(Mode::zep), Outcome::not_now);
}

TEST(FrontEndReadings, EveryAcceptedReadingIsToldOnceWithItsMarks)
{
    sim::VirtualPanel p;
    p.open();
    p.power_on();
    p.set_point(-700);
    std::vector<dvm::Reading> told;
    const int key = p.panel.on_reading([&](const dvm::Reading& r) { told.push_back(r); });
    int shown = 0;
    const int watch = p.c.observe([&](Control& changed, Property prop) {
        if (&changed == &p.c.reading_box && prop == Property::Text)
            ++shown;
    });
    p.run_ms(3000);
    ASSERT_GE(told.size(), 3u);
    EXPECT_EQ(told.back().value(), -700);
    EXPECT_EQ(told.back().text(), p.c.reading_box.text());
    // The marks as the window shows them with the reading (a reading this
    // small is under range on the board's converter).
    EXPECT_EQ(told.back().over, p.c.over_mark.visible());
    EXPECT_EQ(told.back().under, p.c.under_mark.visible());
    EXPECT_TRUE(told.back().under);
    // Every reading shown was told (the first one changed the box; others
    // repeat it).
    EXPECT_LE(static_cast<std::size_t>(shown), told.size());
    EXPECT_EQ(p.panel.reading().value(), -700);

    p.panel.forget_readings(key);
    const std::size_t before = told.size();
    p.run_ms(1000);
    EXPECT_EQ(told.size(), before);
    p.c.forget(watch);
}

TEST(Text, HexAndDiagnosticNumbers)
{
    struct Row {
        long value;
        const char* hex;
    };
    for (const Row& r : {Row{0, "0"}, Row{0xA5, "A5"}, Row{30000, "7530"},
                         Row{static_cast<std::int16_t>(0xD010), "FFFFD010"}, Row{0xFFFF, "FFFF"}})
        EXPECT_EQ(hex(r.value), r.hex) << r.value;
    EXPECT_EQ(hex_address(0x3BC), "0x3BC");
}

} // namespace
} // namespace korvel
