// The web page's sweep panel: the form's settings read or refused whole,
// and the points served from where the page left off.
#include "web/sweep_documents.h"

#include "support/virtual_panel.h"

#include <gtest/gtest.h>

namespace korvel::web {
namespace {

TEST(SweepForm, SettingsAreTakenWholeOrNotAtAll)
{
    using Form = std::map<std::string, std::string>;
    const Form good = {{"shape", "staircase"}, {"start", "-500"}, {"stop", "+500"}, {"step", "250"},
                       {"direction", "updown"}, {"settle_ms", "20"}, {"readings", "3"},
                       {"repeats", "0"}, {"slew", "100"}, {"end", "hold"}, {"list", ""}};
    struct Row {
        const char* field;
        const char* value;
        const char* error;
    };
    const Row rows[] = {
        {"start", "-500", ""},
        {"shape", "spiral", "shape: staircase or list"},
        {"start", "1e3", "start: a whole number"},
        {"step", "", "step: a whole number"},
        {"stop", "99999999", "stop: a whole number"},
        {"stop", "40000", "start and stop lie within -30000..30000"},
        {"readings", "101", "the readings per point lie within 1..100"},
        {"direction", "sideways", "direction: up, down or updown"},
        {"end", "later", "end: back or hold"},
        {"shape", "list", "list: no set-points"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.field + std::string("=") + r.value);
        Form f = good;
        f[r.field] = r.value;
        sweep::Settings s;
        const sweep::Settings before = s;
        EXPECT_EQ(sweep_settings_from_form(f, s), r.error);
        if (*r.error) {
            EXPECT_EQ(s, before);
        } else {
            EXPECT_EQ(s.start, -500);
            EXPECT_EQ(s.direction, sweep::Direction::up_down);
            EXPECT_EQ(s.repeats, 0);
            EXPECT_EQ(s.end, sweep::EndState::hold);
        }
    }
    Form list = good;
    list["shape"] = "list";
    list["list"] = "setpoint\n100\n-200";
    sweep::Settings s;
    ASSERT_EQ(sweep_settings_from_form(list, s), "");
    EXPECT_EQ(s.list, (std::vector<int>{100, -200}));
}

TEST(SweepJson, PointsFromWhereThePageLeftOff)
{
    sim::VirtualPanel p;
    p.open();
    p.power_on();
    p.run_ms(300);
    sweep::Sweep sw(p.panel);
    sweep::Settings s;
    s.shape = sweep::Shape::list;
    s.list = {100, 200, 300};
    ASSERT_EQ(sw.start(s), "");
    for (int i = 0; i < 100 && sw.running(); ++i)
        p.run_ms(100);
    const std::string all = sweep_json(sw, 0);
    EXPECT_NE(all.find("\"running\":false,\"reason\":\"finished\",\"done\":3,\"total\":3"), std::string::npos) << all;
    EXPECT_NE(all.find("\"points\":[[100,100.000,100,100,1,\"UR\",1],[200,"), std::string::npos) << all;
    const std::string rest = sweep_json(sw, 2);
    EXPECT_NE(rest.find("\"first\":0,\"points\":[[300,300.000,300,300,1,\"UR\",1]]}"), std::string::npos) << rest;
}

} // namespace
} // namespace korvel::web
