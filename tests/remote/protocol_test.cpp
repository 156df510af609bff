// The remote protocol over a fake instrument: lines that must work, lines
// that must be refused without changing anything, and the parts under them
// (line splitting, numbers, the error queue, READ?'s wait).
#include "fake_instrument.h"
#include "remote/interpreter.h"
#include "remote/scpi.h"

#include <gtest/gtest.h>

#include <functional>

namespace korvel::remote {
namespace {

using remote_test::FakeInstrument;

enum Setup { Off, OnZep, OnDpc, OnDvm, OffDpc };

void prepare(FakeInstrument& f, Setup s)
{
    f.on = s == OnZep || s == OnDpc || s == OnDvm;
    f.mode_ = (s == OnDpc || s == OffDpc) ? "DPC" : s == OnDvm ? "DVM" : "ZEP";
    f.changes = 0;
}

struct Good {
    Setup setup;
    const char* line;
    const char* response;
    std::function<bool(const FakeInstrument&)> state = nullptr;
};

TEST(Protocol, GoodLinesRunAndAnswer)
{
    const Good rows[] = {
        {Off, "*IDN?", "korvel,fake,0,0\n"},
        {Off, "*idn?", "korvel,fake,0,0\n"},
        {Off, "*OPC?", "1\n"},
        {Off, "", ""},
        {Off, " ;; *OPC? ; ", "1\n"},
        {Off, "OUTP ON", "", [](auto& f) { return f.on; }},
        {Off, "outp:stat 1;OUTPUT?", "1\n"},
        {OnZep, "OUTPut:STATe off;:outp?", "0\n"},
        {Off, "MODE dpc;MODE?", "DPC\n"},
        {Off, "PORT 0x278;PORT?", "&H278\n"},
        {Off, "PORT &h3bc", "", [](auto& f) { return f.port_ == "&H3BC"; }},
        {Off, "PORT 888", "", [](auto& f) { return f.port_ == "&H378"; }},
        {Off, "PORT \"&H278\"", "", [](auto& f) { return f.port_ == "&H278"; }},
        {OnZep, "SOUR:SETP 12345;SETP?", "12345\n"},
        {OnZep, "source:setpoint -30000", "", [](auto& f) { return f.setpoint_ == -30000; }},
        {OnZep, "SETP 1e3", "", [](auto& f) { return f.setpoint_ == 1000; }},
        {OnZep, "SETP 12.5", "", [](auto& f) { return f.setpoint_ == 13; }},
        {OnZep, "SETP #H10", "", [](auto& f) { return f.setpoint_ == 16; }},
        // After SOUR:SETP the next header may leave out "SOUR:".
        {OnZep, "SOUR:SETP 10;BITS?;SETP?", "0;10\n"},
        {OnDpc, "SOUR:BITS #B101;BITS?", "5\n"},
        {OffDpc, "BITS 0", "", [](auto& f) { return f.bits_ == 0; }},
        {Off, "SYST:ERR?", "0,\"No error\"\n"},
        {Off, "SYSTem:ERRor:NEXT?", "0,\"No error\"\n"},
        {Off, "SYST:TIM 500;TIM?", "500\n"},
        // The default time-out grows with the trigger delay; one set stays.
        {Off, "TRIG:DEL 1.5;DEL?;:SYST:TIM?", "1.5;5500\n"},
        {Off, "TRIG:DEL 250E-3;DEL?;DEL MAX;DEL?;DEL 0.0004;DEL?", "0.25;60;0\n"},
        {Off, "SYST:TIM 300;:TRIG:DEL 2;:SYST:TIM?", "300\n"},
        {OnZep, "*RST;OUTP?", "0\n", [](auto& f) { return f.resets == 1; }},
        // After DISP:PORT, "PORT?" is DISP:PORT? (the header path carries on);
        // a leading colon goes back to the root.
        {Off, "DISP:PORT ON;PORT?;:PORT?;:DISP:PROB?", "1;&H378;0\n", [](auto& f) { return f.views[0]; }},
        {Off, "display:probe 1;prob?", "1\n", [](auto& f) { return f.views[1] && !f.views[0]; }},
        {OnZep, "SYST:EXIT", "", [](auto& f) { return f.exits == 1; }},
        {Off, "SOUR:SWE:STAR -500;STOP 500;STEP 250;STAR?;STOP?;STEP?", "-500;500;250\n"},
        {Off, "SWE:DIR UPD;DIR?;COUN INF;COUN?;MODE LIST;MODE?;:SWE:DIR down;DIR?", "UPD;INF;LIST;DOWN\n"},
        {Off, "SOUR:LIST:SETP 1,-2,#H10;SETP?", "1,-2,16\n"},
        {Off, "SENS:AVER:COUN 7;COUN?", "7\n"},
        {Off, "SWE:SLEW 40;SLEW?;SLEW OFF;SLEW?;END HOLD;END?;END RET;END?", "40;OFF;HOLD;RET\n"},
        {Off, "SWE:STAT?;POIN?;:FETC:SWE?", "0;0;\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.line);
        FakeInstrument f;
        prepare(f, r.setup);
        Interpreter in(f);
        EXPECT_EQ(in.run_line(r.line), Interpreter::State::Done);
        EXPECT_EQ(in.take_response(), r.response);
        EXPECT_EQ(in.errors().size(), 0u) << in.errors().pop();
        if (r.state) {
            EXPECT_TRUE(r.state(f));
        }
    }
}

struct Bad {
    Setup setup;
    const char* line;
    int code;
};

TEST(Protocol, BadLinesQueueAnErrorAndChangeNothing)
{
    using namespace std::string_literals;
    const Bad rows[] = {
        {Off, "FOO", -113},
        {Off, "OUTP:FOO ON", -113},
        {Off, "*IDN", -113},
        {Off, "FETC", -113},
        {Off, "OUTPUTS ON", -113},
        {Off, "SETP? 5", -108},
        {Off, "MODE ZEP,DPC", -108},
        {Off, "OUTP", -109},
        // A line with an unknown header is refused whole.
        {Off, "OUTP ON;FOO", -113},
        {Off, "OUTP 2", -224},
        {Off, "MODE XYZ", -224},
        {Off, "PORT 0x999", -224},
        {Off, "PORT &HZZ", -224},
        {OnZep, "SETP 30001", -222},
        {OnZep, "SETP -30001", -222},
        {OnZep, "SETP 1e400", -222},
        {OnZep, "SETP #HFFFFFFFFFFFFFFFFFFFF", -222},
        {OnZep, "SETP abc", -104},
        {OnZep, "SETP nan", -104},
        {OnZep, "SETP inf", -104},
        {OnZep, "SETP 1e", -104},
        {Off, "SETP 5", -221},
        {OnDvm, "SETP 5", -221},
        {OnZep, "BITS 3", -221},
        {OnDpc, "BITS 256", -222},
        {OnDpc, "BITS -1", -222},
        {OffDpc, "BITS 1", -221},
        {Off, "OUTP\x01 ON", -101},
        {Off, "OUTP ON\xff", -101},
        {Off, "OUTP! ON", -102},
        {Off, "SETP 1 2", -103},
        {Off, "MODE 'ZEP", -150},
        {Off, "*", -102},
        {Off, ":", -102},
        {Off, "OUTP:", -102},
        {Off, "OUTP ,", -102},
        {Off, "SYST:TIM 0", -222},
        {Off, "READ?", -221},
        {Off, "FETC?", -230},
        {Off, "INIT", -221},
        {Off, "INIT 1", -108},
        {Off, "INIT?", -113},
        {Off, "TRIG:DEL 61", -222},
        {Off, "TRIG:DEL 1 s", -103},
        {Off, "TRIG:DEL x", -104},
        {Off, "SWE:STAR 30001", -222},
        {Off, "SWE:STAR 1.5", -222},
        {Off, "SWE:STOP abc", -222},
        {Off, "SWE:STEP 0", -222},
        {Off, "SWE:DIR SIDEWAYS", -222},
        {Off, "SWE:COUN 0", -222},
        {Off, "SWE:COUN 1001", -222},
        {Off, "SWE:MODE STAIRS", -222},
        {Off, "LIST:SETP 1,40000", -222},
        {Off, "AVER:COUN 101", -222},
        {Off, "SWE:SLEW 0", -222},
        {Off, "SWE:END BACK", -222},
        {Off, "SWE:POIN 5", -113},
        {Off, "INIT:SWE", -221},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.line);
        FakeInstrument f;
        prepare(f, r.setup);
        Interpreter in(f);
        in.run_line(r.line);
        // A query without a reading still answers, so no client waits.
        const std::string_view line = r.line;
        const bool reading = line == "READ?" || line == "FETC?";
        EXPECT_EQ(in.take_response(), reading ? "9.91E+37\n" : "");
        EXPECT_EQ(f.changes, 0);
        const std::string e = in.errors().pop();
        EXPECT_EQ(e.substr(0, e.find(',')), std::to_string(r.code)) << e;
    }
    // A NUL byte inside a line.
    FakeInstrument f;
    Interpreter in(f);
    in.run_line("OUTP ON\0"s);
    EXPECT_EQ(f.changes, 0);
    EXPECT_EQ(in.errors().pop().substr(0, 4), "-101");
}

TEST(Protocol, ExecutionErrorsLeaveTheRestOfTheLineRunning)
{
    FakeInstrument f;
    prepare(f, OnZep);
    Interpreter in(f);
    in.run_line("SETP 99999;SETP 7;SETP?;SYST:ERR?");
    EXPECT_EQ(in.take_response(),
              "7;-222,\"Data out of range;the set-point lies within -30000..30000\"\n");
}

TEST(Protocol, ReadingsAreFormattedWithTheirMarks)
{
    EXPECT_EQ(format_reading({12345, false, false}), "+12345");
    EXPECT_EQ(format_reading({-700, false, true}), "-700,UR");
    EXPECT_EQ(format_reading({0, true, false}), "+0,OR");
    FakeInstrument f;
    f.last = Reading{-19999, true, false};
    Interpreter in(f);
    in.run_line("FETCh?");
    EXPECT_EQ(in.take_response(), "-19999,OR\n");
}

TEST(Protocol, ReadWaitsForTheNextReadingThenGoesOn)
{
    FakeInstrument f;
    prepare(f, OnZep);
    Interpreter in(f);
    EXPECT_EQ(in.run_line("READ?;*OPC?;READ?"), Interpreter::State::Waiting);
    EXPECT_EQ(in.take_response(), "");
    EXPECT_EQ(in.deliver({5, false, false}), Interpreter::State::Waiting);
    EXPECT_EQ(in.deliver({-6, false, true}), Interpreter::State::Done);
    EXPECT_EQ(in.take_response(), "+5;1;-6,UR\n");

    EXPECT_EQ(in.run_line("SYST:TIM 50;READ?;*OPC?"), Interpreter::State::Waiting);
    EXPECT_EQ(in.timeout_ms(), 50);
    EXPECT_EQ(in.timed_out(), Interpreter::State::Done);
    EXPECT_EQ(in.take_response(), "9.91E+37;1\n");
    EXPECT_EQ(in.errors().pop(), "-365,\"Time out error;no reading within 50 ms\"");
}

TEST(Protocol, ErrorQueueKeepsTheOldestAndMarksTheOverflow)
{
    ErrorQueue q;
    for (int i = 0; i < 20; ++i)
        q.push(-100 - i);
    EXPECT_EQ(q.size(), ErrorQueue::capacity);
    EXPECT_EQ(q.pop(), "-100,\"Error\"");
    for (std::size_t i = 1; i + 1 < ErrorQueue::capacity; ++i)
        q.pop();
    EXPECT_EQ(q.pop(), "-350,\"Queue overflow\"");
    EXPECT_EQ(q.pop(), "0,\"No error\"");
    q.push(-113, "say \"x\"");
    EXPECT_EQ(q.pop(), "-113,\"Undefined header;say \"\"x\"\"\"");

    FakeInstrument f;
    Interpreter in(f);
    in.run_line("FOO;BAR");
    in.run_line("BAZ");
    in.run_line("*CLS;SYST:ERR?");
    EXPECT_EQ(in.take_response(), "0,\"No error\"\n");
}

TEST(Protocol, LinesAreSplitAndLongOnesRefused)
{
    const std::string max(LineSplitter::max_line, 'a');
    struct Row {
        std::vector<std::string> chunks;
        std::vector<std::string> lines; // "!" for a refused line
        std::size_t partial;
    };
    const Row rows[] = {
        {{"abc\r\ndef\n"}, {"abc", "def"}, 0},
        {{"ab", "c\nd", "ef\n", "gh"}, {"abc", "def"}, 2},
        {{"\n\r\n"}, {"", ""}, 0},
        {{max + "\n"}, {max}, 0},
        {{max + "\r\n"}, {max}, 0},
        {{max + "b\n", "next\n"}, {"!", "next"}, 0},
        {{max, max, max, "\nnext\n"}, {"!", "next"}, 0},
    };
    for (const auto& r : rows) {
        LineSplitter s;
        for (const auto& c : r.chunks)
            s.feed(c);
        std::vector<std::string> got;
        while (auto l = s.next())
            got.push_back(l->too_long ? "!" : l->text);
        EXPECT_EQ(got, r.lines);
        EXPECT_EQ(s.partial_size(), r.partial);
    }
    // A line that never ends is not kept in memory.
    LineSplitter s;
    for (int i = 0; i < 100; ++i)
        s.feed(max);
    EXPECT_LE(s.partial_size(), LineSplitter::max_line + 1);
}

TEST(Protocol, Numbers)
{
    const std::pair<const char*, std::optional<long>> rows[] = {
        {"0", 0}, {"+12", 12}, {"-7", -7}, {"2.5", 3}, {"-2.5", -3}, {".5", 1},
        {"1E3", 1000}, {"1e-400", 0}, {"#HfF", 255}, {"#Q17", 15}, {"#B101", 5},
        {"1e10", 1000000001}, {"-1e400", -1000000001},
        {"", std::nullopt}, {"-", std::nullopt}, {".", std::nullopt}, {"1e", std::nullopt},
        {"0x10", std::nullopt}, {"#H", std::nullopt}, {"#X1", std::nullopt},
        {"nan", std::nullopt}, {"1.2.3", std::nullopt}, {"12abc", std::nullopt},
    };
    for (const auto& [text, value] : rows)
        EXPECT_EQ(parse_number(text), value) << text;
}

} // namespace
} // namespace korvel::remote
