// The readings as CSV: a log read back (both headers, every kind of bad
// row, lines longer than any row), the UTC times both ways, and the rows
// written a piece at a time matching those written at once.
#include "history/reading_csv.h"
#include "history/reading_history.h"

#include <gtest/gtest.h>

#include <sstream>

namespace korvel::history {
namespace {

constexpr const char* seven = "time_utc,seconds,reading,mark,mode,setpoint,limit\n";
constexpr const char* six = "time_utc,seconds,reading,mark,mode,setpoint\n";

TEST(ReadingCsv, LogsReadBack)
{
    struct Case {
        const char* what;
        std::string text;
        std::size_t readings;
        std::vector<std::size_t> bad_lines;  // the lines named, in order
        const char* refused = "";            // a part of the refusal
        const char* cause = "";              // a part of the first problem
    };
    const std::string good7 = "2026-12-07T13:06:31.690Z,4.581,+12345,,ZEP,12345,\n"
                              "2026-12-07T13:06:32.023Z,4.914,-702,UR,DVM,-30000,low\n";
    const std::string good6 = "2026-12-07T13:06:40.218Z,13.109,+0,OR,DPC,25000\n";
    const Case cases[] = {
        {"seven columns", seven + good7, 2, {}},
        {"six columns, as the first logs", six + good6, 1, {}},
        {"CRLF line ends and no last line end", std::string(seven) + good7.substr(0, 49) + "\r\n" +
                                                    "2026-12-07T13:06:32.023Z,1,+1,,ZEP,0,high",
         2, {}},
        {"a byte-order mark before the header", "\xEF\xBB\xBF" + std::string(six) + good6, 1, {}},
        {"blank lines pass", seven + std::string("\n\n") + good7, 2, {}},
        {"quoted as sqlite3 -csv and spreadsheets write it",
         "\"time_utc\",seconds,reading,mark,mode,setpoint,\"limit\"\n"
         "2026-12-07T22:45:27.803Z,0.000,\"+5000\",\"\",ZEP,5000,\"\"\n"
         "2026-12-07T22:45:27.803Z,0.000,+5000,\"O\"R\",ZEP,5000,\n",
         1, {3}, "", "no mark"},
        {"a row cut short by a kill", seven + good7 + "2026-12-07T13:06:3", 2, {4}, "", "1 field"},
        {"a seven-column row in a six-column log", six + good7, 0, {2, 3}, "", "7 fields"},
        {"too many fields", seven + std::string("2026-12-07T13:06:31.690Z,1,+1,,ZEP,1,,x,y,z\n"), 0, {2}, "",
         "more than 8 fields"},
        {"times", seven + std::string("2026-02-29T00:00:00.000Z,1,+1,,ZEP,1,\n"  // not a leap year
                                      "2026-12-07 13:06:31.690Z,1,+1,,ZEP,1,\n"
                                      "2026-12-07T24:00:00.000Z,1,+1,,ZEP,1,\n"
                                      "2028-02-29T00:00:00.000Z,1,+1,,ZEP,1,\n"),
         1, {2, 3, 4}, "", "no UTC time '2026-02-29"},
        {"values out of range", seven + std::string("2026-12-07T13:06:31.690Z,1,+20000,,ZEP,1,\n"
                                                    "2026-12-07T13:06:31.690Z,1,1,,ZEP,30001,\n"
                                                    "2026-12-07T13:06:31.690Z,1,++1,,ZEP,1,\n"
                                                    "2026-12-07T13:06:31.690Z,x,1,,ZEP,1,\n"),
         0, {2, 3, 4, 5}, "", "no reading within"},
        {"words", seven + std::string("2026-12-07T13:06:31.690Z,1,1,XR,ZEP,1,\n"
                                      "2026-12-07T13:06:31.690Z,1,1,,zep,1,\n"
                                      "2026-12-07T13:06:31.690Z,1,1,,ZEP,1,HIGH\n"),
         0, {2, 3, 4}, "", "no mark"},
        {"garbage bytes", seven + std::string("\x01\xff\x00garbage\x7f,,,,,,\n", 18) + good7, 2, {2}, "",
         "no UTC time '\?\xff?garbage?'"},
        {"a line longer than any row", seven + std::string(100000, 'x') + "\n" + good7, 2, {2}, "",
         "longer than 512 bytes"},
        {"no line end in a gigantic last line", seven + good7 + std::string(300000, ','), 2, {4}, "", "longer"},
        {"an empty file", "", 0, {}, "empty"},
        {"another CSV", "a,b,c\n1,2,3\n", 0, {}, "not a reading log"},
        {"a header longer than any", std::string(5000, 'h') + "\n" + good7, 0, {}, "first line is longer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::istringstream in(c.text);
        const ReadLog log = read_reading_log(in);
        EXPECT_NE(log.refused.find(c.refused), std::string::npos) << log.refused;
        EXPECT_EQ(log.refused.empty(), std::string(c.refused).empty()) << log.refused;
        EXPECT_EQ(log.samples.size(), c.readings);
        ASSERT_EQ(log.problems.size(), c.bad_lines.size());
        EXPECT_EQ(log.skipped, c.bad_lines.size());
        for (std::size_t i = 0; i < c.bad_lines.size(); ++i)
            EXPECT_EQ(log.problems[i].line, c.bad_lines[i]) << log.problems[i].cause;
        if (!log.problems.empty()) {
            EXPECT_NE(log.problems[0].cause.find(c.cause), std::string::npos) << log.problems[0].cause;
        }
    }
}

TEST(ReadingCsv, RowsRoundTripAndComeInTimeOrder)
{
    // The second row is older: a log that went on after the clock stepped back.
    std::istringstream in(std::string(seven) +
                          "2026-12-07T13:06:32.023Z,4.914,-702,UR,DVM,-30000,low\n"
                          "1999-12-31T23:59:59.999Z,0.000,+19999,,DPC,30000,high\n");
    const ReadLog log = read_reading_log(in);
    ASSERT_EQ(log.samples.size(), 2u);
    const Sample& old = log.samples[0];
    EXPECT_EQ(old.time_ms, 946684799999);
    EXPECT_EQ(old.value, 19999);
    EXPECT_EQ(old.mode, Mode::dpc);
    EXPECT_EQ(old.setpoint, 30000);
    EXPECT_EQ(old.limit, Limit::high);
    const Sample& newer = log.samples[1];
    EXPECT_EQ(newer.mark, Mark::under);
    EXPECT_EQ(newer.limit, Limit::low);
    EXPECT_EQ(csv_row(newer, newer.time_ms - 4914), "2026-12-07T13:06:32.023Z,4.914,-702,UR,DVM,-30000,low");
    for (const std::int64_t t : {0LL, 951782400999LL, 1796000000123LL, 253402300799999LL})
        EXPECT_EQ(parse_utc_time(utc_time(t)), t) << utc_time(t);
    // A cap on the readings refuses the file rather than showing a part.
    std::istringstream many(std::string(six) + "2026-12-07T13:06:40.218Z,1,+0,,ZEP,0\n"
                                               "2026-12-07T13:06:40.218Z,1,+0,,ZEP,0\n");
    EXPECT_NE(read_reading_log(many, {512, 1, 10}).refused.find("more than 1 readings"), std::string::npos);
}

TEST(ReadingCsv, PiecesMakeTheSameRowsAsOneGo)
{
    // Runs of readings in the same millisecond across the pieces' edges.
    ReadingHistory h(1000);
    for (int i = 0; i < 600; ++i) {
        Sample s;
        s.time_ms = 1'796'000'000'000 + (i / 7) * 5;
        s.value = static_cast<std::int16_t>(i);
        h.add(s);
    }
    const std::int64_t t0 = h.at(10).time_ms, t1 = h.newest().time_ms;  // the last ms left out
    std::string once;
    CsvCursor whole(h, t0, t1, t0);
    EXPECT_FALSE(whole.next(once, std::size_t(-1)));
    for (const std::size_t piece : {0, 1, 60, 100, 4096}) {
        SCOPED_TRACE(piece);
        CsvCursor rows(h, t0, t1, t0);
        std::string out;
        int pieces = 0;
        while (rows.next(out, out.size() + piece))
            ASSERT_LT(++pieces, 1000);
        EXPECT_EQ(out, once);
        EXPECT_EQ(rows.rows(), 600u - 7 - 5);  // from the 2nd run of 7, without the last run of 5
    }
    EXPECT_EQ(once.rfind(csv_header, 0), 0u);
}

} // namespace
} // namespace korvel::history
