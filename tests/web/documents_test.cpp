// The page's documents: escaping keeps hostile text inert, the XML names
// the identity, the state follows the panel, and the history keeps its
// peaks when reduced.
#include "web/documents.h"
#include "web/http_request.h"

#include "support/virtual_panel.h"

#include <gtest/gtest.h>

namespace korvel::web {
namespace {

TEST(Escaping, HtmlXmlAndJsonStayInert)
{
    EXPECT_EQ(html_escape("<a href=\"x\">&'</a>"), "&lt;a href=&quot;x&quot;&gt;&amp;&#39;&lt;/a&gt;");
    EXPECT_EQ(html_escape("ok\x01\xff\xc3\xa9"), "ok\xEF\xBF\xBD\xEF\xBF\xBD\xC3\xA9");
    EXPECT_EQ(json_string("a\"b\\c\n</script>"), "\"a\\\"b\\\\c\\u000a\\u003c/script\\u003e\"");
    EXPECT_EQ(json_string("\xc3\xa9\xc3"), "\"\xc3\xa9\\ufffd\"");
    EXPECT_EQ(json_string("&H378"), "\"\\u0026H378\"");

    Identity id;
    id.model = "korvel-sim";
    id.firmware = "0.1.0";
    id.hostname = "<bench&1>";
    id.address = "127.0.0.1";
    id.visa = "TCPIP::127.0.0.1::5025::SOCKET";
    id.vxi11_visa = "TCPIP::127.0.0.1::INSTR";
    const std::string x = identification_xml(id, "http://h/");
    for (const char* part : {"<Manufacturer>korvel</Manufacturer>", "<Model>korvel-sim</Model>",
                             "<SerialNumber>0</SerialNumber>", "<FirmwareRevision>0.1.0</FirmwareRevision>",
                             "<Hostname>&lt;bench&amp;1&gt;</Hostname>",
                             "<InstrumentAddressString>TCPIP::127.0.0.1::5025::SOCKET</InstrumentAddressString>",
                             "<InstrumentAddressString>TCPIP::127.0.0.1::INSTR</InstrumentAddressString>",
                             "<IdentificationURL>http://h/lxi/identification</IdentificationURL>",
                             "under the GNU GPL version 3 or later</ManufacturerDescription>"})
        EXPECT_NE(x.find(part), std::string::npos) << part;
    id.visa.clear();
    id.vxi11_visa.clear();
    EXPECT_EQ(identification_xml(id, "/").find("InstrumentAddressString"), std::string::npos);
}

TEST(StateJson, FollowsThePanel)
{
    sim::VirtualPanel v;
    v.open();
    Panel& p = v.panel;
    const std::string off = state_json(p, {});
    EXPECT_NE(off.find("\"power\":false"), std::string::npos);
    EXPECT_NE(off.find("\"trend\":null"), std::string::npos);
    EXPECT_NE(off.find("\"store\":null"), std::string::npos);
    EXPECT_NE(state_json(p, {}, "korvel: the store \"r.db\" is full").find(
                  "\"store\":\"korvel: the store \\\"r.db\\\" is full\""),
              std::string::npos);
    EXPECT_NE(off.find("\"enabled\":false"), std::string::npos);
    p.set_power(true);
    ASSERT_EQ(p.set_setpoint(-12345), Outcome::done);
    const std::string on = state_json(p, {true, true});
    EXPECT_NE(on.find("\"power\":true"), std::string::npos);
    EXPECT_NE(on.find("\"setpoint\":-12345"), std::string::npos);
    EXPECT_NE(on.find("\"coarse\":{\"value\":-12300,\"min\":-20000,\"max\":20000,\"step\":100,\"enabled\":true}"),
              std::string::npos);
    EXPECT_NE(on.find("\"trend\":true"), std::string::npos);
    EXPECT_NE(on.find("\"bits_usable\":false"), std::string::npos);
    p.choose_mode(Mode::dpc);
    p.toggle_bit(7);
    const std::string dpc = state_json(p, {true, false});
    EXPECT_NE(dpc.find("\"mode\":\"DPC\""), std::string::npos);
    EXPECT_NE(dpc.find("\"bits\":128"), std::string::npos);
    EXPECT_NE(dpc.find("\"bits_usable\":true"), std::string::npos);
    EXPECT_NE(dpc.find("\"trend\":false"), std::string::npos);
}

TEST(HistoryJson, KeepsEveryPeakWhenReduced)
{
    history::ReadingHistory h(10000);
    for (int i = 0; i < 5000; ++i) {
        history::Sample s;
        s.time_ms = 1000 + i;
        s.value = static_cast<std::int16_t>(i == 2500 ? 19999 : i == 4000 ? -19999 : 100);
        s.mark = i == 10 ? history::Mark::over : history::Mark::none;
        h.add(s);
    }
    const std::string all = history_json(h, 1000, 1100, 600);
    EXPECT_NE(all.find("[1010,100,\"OR\"]"), std::string::npos);
    EXPECT_NE(all.find("\"statistics\":{\"count\":99,\"over\":1,\"under\":0,\"min\":100,\"max\":100"), std::string::npos);
    const std::string reduced = history_json(h, 1000, 6000, 600);
    EXPECT_NE(reduced.find(",19999,"), std::string::npos);
    EXPECT_NE(reduced.find(",-19999,"), std::string::npos);
    std::size_t points = 0;
    for (std::size_t at = reduced.find("],["); at != std::string::npos; at = reduced.find("],[", at + 1))
        ++points;
    EXPECT_LE(points + 1, 600u);
    EXPECT_NE(sample_json(h.newest()).find("\"type\":\"reading\",\"t\":5999,\"v\":100,\"mark\":\"\""), std::string::npos);
}

TEST(HistoryJson, TimeRangesOfAQuery)
{
    const std::int64_t now = 1'796'000'000'000;
    const std::optional<std::int64_t> oldest = now - 40LL * 86400 * 1000;
    struct Case {
        const char* query;
        std::int64_t t0, t1;  // when taken
        const char* why;      // a part of the refusal, else ""
    };
    const Case cases[] = {
        {"", now + 1 - 600'000, now + 1, ""},
        {"span=2592000", now + 1 - 2'592'000'000, now + 1, ""},
        {"span=all", *oldest, now + 1, ""},
        {"t0=5&t1=9", 5, 9, ""},
        {"t0=5", 5, now + 1, ""},
        {"span=0", 0, 0, "span must be"},
        {"span=-60", 0, 0, "span must be"},
        {"span=1e3", 0, 0, "span must be"},
        {"span=99999999999999999999", 0, 0, "span must be"},
        {"t0=9&t1=9", 0, 0, "t0 must be before t1"},
        {"t0=10&t1=9", 0, 0, "t0 must be before t1"},
        {"t0=-1", 0, 0, "t0 must be a time"},
        {"t0=abc", 0, 0, "t0 must be a time"},
        {"t0=1&t1=253402300800001", 0, 0, "t1 must be a time"},
        {"t1=9", 0, 0, "t1 needs t0"},
        {"span=60&t0=1", 0, 0, "not both"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        std::string why;
        const auto r = time_range(parse_form(c.query), now, oldest, 600, &why);
        if (*c.why) {
            EXPECT_FALSE(r);
            EXPECT_NE(why.find(c.why), std::string::npos) << why;
        } else {
            ASSERT_TRUE(r) << why;
            EXPECT_EQ(r->t0, c.t0);
            EXPECT_EQ(r->t1, c.t1);
        }
    }
    // Nothing kept yet: "all" is an empty range up to now, not a refusal.
    std::string why;
    const auto none = time_range(parse_form("span=all"), now, std::nullopt, 600, &why);
    ASSERT_TRUE(none) << why;
    EXPECT_LT(none->t0, none->t1);
}

} // namespace
} // namespace korvel::web
