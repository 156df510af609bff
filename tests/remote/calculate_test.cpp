// The statistics, limit and trend commands over a fake instrument: their
// answers, and bad values refused without changing anything.
#include "fake_instrument.h"
#include "remote/interpreter.h"

#include <gtest/gtest.h>

namespace korvel::remote {
namespace {

using remote_test::KeepingInstrument;

std::string ask(Interpreter& in, const std::string& line)
{
    in.run_line(line);
    return in.take_response();
}

std::string code_of(Interpreter& in)
{
    const std::string e = in.errors().pop();
    return e.substr(0, e.find(','));
}

TEST(Calculate, StatisticsAnswerTheFiguresOrNotANumber)
{
    KeepingInstrument f;
    Interpreter in(f);
    // No readings yet: a count of 0 and "not a number" for every figure.
    EXPECT_EQ(ask(in, "CALC:AVER:COUN?;MIN?;MAX?;AVER?;SDEV?"),
              "0;9.91E+37;9.91E+37;9.91E+37;9.91E+37\n");
    // One reading: its value, and no deviation from a single reading.
    f.stats = {1, 0, 0, -700, -700, -700.0, 0.0};
    EXPECT_EQ(ask(in, "CALCULATE:AVERAGE:MINIMUM?;MAXIMUM?;SDEVIATION?"), "-700;-700;9.91E+37\n");
    f.stats = {5, 2, 1, 11998, 12003, 12000.4, 1.81659};
    EXPECT_EQ(ask(in, "calc:aver:min?;max?;aver?;sdev?;coun?"),
              "+11998;+12003;+12000.400;1.817;5\n");
    EXPECT_EQ(f.changes, 0);
    EXPECT_EQ(ask(in, "CALC:AVER:CLE;COUN?"), "0\n");
    EXPECT_EQ(f.changes, 1);
    EXPECT_EQ(in.errors().size(), 0u);
}

TEST(Calculate, TraceAnswersTheReadingsKeptOldestFirstWithoutMarks)
{
    KeepingInstrument f;
    Interpreter in(f);
    EXPECT_EQ(ask(in, "TRAC:POIN:ACT?;:TRAC:DATA? 5"), "0;9.91E+37\n");
    f.kept = {{12, false, false}, {-700, false, false}, {19999, true, false}, {0, false, true}};
    EXPECT_EQ(ask(in, "TRACE:POINTS:ACTUAL?"), "4\n");
    EXPECT_EQ(ask(in, "trac:data? 2"), "+19999,+0\n");
    EXPECT_EQ(ask(in, "TRAC:DATA? 10000;POIN:ACT?"), "+12,-700,+19999,+0;4\n");
    EXPECT_EQ(ask(in, "TRAC:DATA? 1E1"), "+12,-700,+19999,+0\n");
    EXPECT_EQ(f.changes, 0);
    EXPECT_EQ(in.errors().size(), 0u);
}

TEST(Calculate, LimitsAreSetReadAndCounted)
{
    KeepingInstrument f;
    Interpreter in(f);
    EXPECT_EQ(ask(in, "CALC:LIM:LOW?;UPP?;STAT?;FAIL?"), "-19999;+19999;0;0,0\n");
    ask(in, "CALC:LIM:UPP 12100;LOW 11900;STAT ON");
    EXPECT_EQ(f.lim.lower, 11900);
    EXPECT_EQ(f.lim.upper, 12100);
    EXPECT_TRUE(f.lim.enabled);
    // Other forms of the same numbers; equal limits are allowed.
    ask(in, "CALC:LIM:LOW:DATA 1.21E4;:CALC:LIM:UPP #H2F44;:CALC:LIM:STAT 0");
    EXPECT_EQ(ask(in, "CALC:LIM:LOW?;UPP?;STAT?"), "+12100;+12100;0\n");
    ask(in, "CALC:LIM:LOW -19999;UPP -19999;UPP 19999");
    EXPECT_EQ(ask(in, "CALC:LIM:LOW?;UPP?"), "-19999;+19999\n");

    f.failures = {true, 17};
    EXPECT_EQ(ask(in, "CALC:LIM:FAIL?"), "1,17\n");
    ask(in, "CALC:LIM:CLE");
    EXPECT_EQ(ask(in, "CALC:LIM:FAIL?"), "0,0\n");
    EXPECT_EQ(in.errors().size(), 0u);
}

TEST(Calculate, BadValuesAreRefusedAndChangeNothing)
{
    struct Bad {
        const char* line;
        int code;
    };
    const Bad rows[] = {
        // Out of range, not a number, not a whole count, the wrong order.
        {"CALC:LIM:LOW -20000", -222},
        {"CALC:LIM:UPP 20000", -222},
        {"CALC:LIM:UPP 1e400", -222},
        {"CALC:LIM:UPP #HFFFFFFFF", -222},
        {"CALC:LIM:LOW abc", -222},
        {"CALC:LIM:LOW nan", -222},
        {"CALC:LIM:LOW 12.5", -222},
        {"CALC:LIM:UPP 4999", -222},   // below the lower limit, 5000
        {"CALC:LIM:LOW 6001", -222},   // above the upper limit, 6000
        {"CALC:LIM:STAT MAYBE", -224},
        {"CALC:LIM:STAT 2", -224},
        {"DISP:TREN MAYBE", -224},
        // Malformed: the whole line is refused.
        {"CALC:LIM:LOW", -109},
        {"CALC:LIM:LOW 1,2", -108},
        {"CALC:AVER:CLE 1", -108},
        {"CALC:AVER:MIN 5", -113},
        {"CALC:LIM:FAIL 1", -113},
        {"CALC:AVER:CLE?", -113},
        {"CALC:LIM:STAT ON;CALC:FOO", -113},
        {"TRAC:DATA? 0", -222},
        {"TRAC:DATA? 10001", -222},
        {"TRAC:DATA? -1", -222},
        {"TRAC:DATA? 2.5", -222},
        {"TRAC:DATA? abc", -222},
        {"TRAC:DATA? 1e400", -222},
        {"TRAC:DATA?", -109},
        {"TRAC:DATA? 1,2", -108},
        {"TRAC:POIN:ACT? 5", -108},
        {"TRAC:DATA 5", -113},
    };
    for (const Bad& r : rows) {
        SCOPED_TRACE(r.line);
        KeepingInstrument f;
        f.lim = {false, 5000, 6000};
        f.trend = false;
        Interpreter in(f);
        EXPECT_EQ(ask(in, r.line), "");
        EXPECT_EQ(f.changes, 0);
        EXPECT_EQ(f.lim.lower, 5000);
        EXPECT_EQ(f.lim.upper, 6000);
        EXPECT_FALSE(f.lim.enabled);
        EXPECT_EQ(code_of(in), std::to_string(r.code));
    }
}

TEST(Calculate, WithoutAHistoryEveryCommandSaysSo)
{
    KeepingInstrument f;
    f.keeps = false;
    Interpreter in(f);
    for (const char* line : {"CALC:AVER:MIN?", "CALC:AVER:CLE", "CALC:LIM:LOW 5", "CALC:LIM:STAT?",
                             "CALC:LIM:FAIL?", "TRAC:POIN:ACT?", "TRAC:DATA? 1"}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(ask(in, line), "");
        EXPECT_EQ(code_of(in), "-221");
    }
    EXPECT_EQ(f.changes, 0);
}

TEST(Calculate, TrendOpensAndClosesWhereThereIsOne)
{
    KeepingInstrument f;
    Interpreter in(f);
    // No trend window: the query says closed, opening is refused, closing
    // has nothing to do.
    EXPECT_EQ(ask(in, "DISP:TREN?"), "0\n");
    ask(in, "DISP:TREN ON");
    EXPECT_EQ(code_of(in), "-221");
    ask(in, "DISPLAY:TREND OFF");
    EXPECT_EQ(in.errors().size(), 0u);
    EXPECT_EQ(f.changes, 0);

    f.trend = false;
    EXPECT_EQ(ask(in, "DISP:TREN 1;TREN?"), "1\n");
    EXPECT_EQ(ask(in, "DISP:TREN ON;TREN?"), "1\n");  // already open: no second open
    EXPECT_EQ(f.changes, 1);
    EXPECT_EQ(ask(in, "DISP:TREN OFF;TREN?"), "0\n");
    EXPECT_EQ(f.changes, 2);
}

} // namespace
} // namespace korvel::remote
