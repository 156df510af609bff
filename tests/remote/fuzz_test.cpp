// The protocol under random bytes and mutated commands, fed in random
// pieces: it must not crash (the sanitizer build checks memory and undefined
// behaviour), every setting must stay within its range, a line with a byte
// outside printable ASCII must change nothing, and every reply must be one
// printable line. KORVEL_FUZZ_ITERATIONS sets the number of inputs.
#include "fake_instrument.h"
#include "remote/interpreter.h"
#include "remote/scpi.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

namespace korvel::remote {
namespace {

using remote_test::KeepingInstrument;

const char* const corpus[] = {
    "*IDN?", "*RST", "*CLS", "*OPC?", "OUTP ON", "OUTPut:STATe OFF", "OUTP?", "MODE ZEP",
    "MODE DPC", "mode dvm", "MODE?", "PORT &H278", "PORT 0x3BC", "PORT?", "SOUR:SETP 12345",
    "SETP -30000", "SETP 1e3", "SETP?", "SOUR:BITS 255", "BITS #B1010", "BITS?", "FETC?",
    "READ?", "SYST:ERR?", "SYST:TIM 5", "SYST:TIM?", "SOUR:SETP 10;BITS?", "PORT \"&H378\"",
    "CALC:AVER:MIN?;MAX?;AVER?", "CALC:AVER:SDEV?;COUN?", "CALC:AVER:CLE", "CALC:LIM:LOW -500",
    "CALC:LIM:UPP 1.5E3", "CALC:LIM:STAT ON", "CALC:LIM:FAIL?;CLE", "DISP:TREN ON", "DISP:TREN?",
    "INIT;*OPC?", "MEAS?", "TRIG:DEL 0.25", "TRIGger:DELay?", "TRIG:DEL MAX", "INIT;READ?;*OPC?",
};

std::string mutate(std::mt19937& rng, std::string s)
{
    std::uniform_int_distribution<int> byte(0, 255);
    const int edits = std::uniform_int_distribution<int>(0, 4)(rng);
    for (int e = 0; e < edits; ++e) {
        const std::size_t at = s.empty() ? 0 : rng() % (s.size() + 1);
        switch (rng() % 6) {
        case 0: s.insert(at, 1, static_cast<char>(byte(rng))); break;
        case 1: if (at < s.size()) s.erase(at, 1); break;
        case 2: if (at < s.size()) s[at] = static_cast<char>(byte(rng)); break;
        case 3: s.insert(at, std::string(";") + corpus[rng() % std::size(corpus)]); break;
        case 4: s.insert(at, std::to_string(static_cast<long long>(rng()) - 2147483648LL)); break;
        default: s.insert(at, std::string(1, "\"',:;?*#.e "[rng() % 11])); break;
        }
    }
    return s;
}

bool printable(char c) { return c >= 0x20 && c < 0x7F; }

TEST(ProtocolFuzz, RandomAndMutatedInputKeepsEverySettingSound)
{
    long iterations = 20000;
    if (const char* n = std::getenv("KORVEL_FUZZ_ITERATIONS"))
        iterations = std::strtol(n, nullptr, 10);
    std::mt19937 rng(20261207);
    KeepingInstrument f;
    f.trend = false;
    Interpreter in(f);
    LineSplitter splitter;
    for (long i = 0; i < iterations; ++i) {
        std::string input;
        if (rng() % 4 == 0) {
            input.resize(rng() % 600);
            for (char& c : input)
                c = static_cast<char>(rng() % 256);
        } else {
            input = mutate(rng, corpus[rng() % std::size(corpus)]);
            if (rng() % 200 == 0)
                input += std::string(LineSplitter::max_line, 'x');
        }
        input += '\n';
        // Fed in random pieces.
        for (std::size_t at = 0; at < input.size();) {
            const std::size_t n = 1 + rng() % (input.size() - at);
            splitter.feed(std::string_view(input).substr(at, n));
            at += n;
        }
        while (auto line = splitter.next()) {
            ASSERT_LE(line->text.size(), LineSplitter::max_line);
            if (line->too_long) {
                in.refuse_too_long();
                continue;
            }
            bool binary = false;
            for (char c : line->text)
                binary |= !printable(c) && c != '\t';
            const int before = f.changes;
            auto state = in.run_line(line->text);
            while (state == Interpreter::State::Waiting)
                state = rng() % 2 ? in.deliver({static_cast<int>(rng() % 40001) - 20000,
                                                rng() % 2 == 0, rng() % 2 == 0})
                                  : in.timed_out();
            if (binary) {
                ASSERT_EQ(f.changes, before) << line->text;
            }
            const std::string response = in.take_response();
            if (!response.empty()) {
                ASSERT_EQ(response.back(), '\n');
                for (std::size_t k = 0; k + 1 < response.size(); ++k)
                    ASSERT_TRUE(printable(response[k])) << response;
            }
        }
        ASSERT_GE(f.setpoint_, -30000);
        ASSERT_LE(f.setpoint_, 30000);
        ASSERT_GE(f.bits_, 0);
        ASSERT_LE(f.bits_, 255);
        ASSERT_TRUE(f.mode_ == "ZEP" || f.mode_ == "DPC" || f.mode_ == "DVM") << f.mode_;
        ASSERT_TRUE(f.port_ == "&H378" || f.port_ == "&H278" || f.port_ == "&H3BC") << f.port_;
        ASSERT_GE(f.lim.lower, -19999);
        ASSERT_LE(f.lim.lower, f.lim.upper);
        ASSERT_LE(f.lim.upper, 19999);
        ASSERT_LE(in.errors().size(), ErrorQueue::capacity);
        ASSERT_GE(in.timeout_ms(), 1);
    }
    // The mutations keep enough commands whole to reach the instrument.
    if (iterations >= 1000) {
        EXPECT_GT(f.changes, iterations / 100);
    }
}

} // namespace
} // namespace korvel::remote
