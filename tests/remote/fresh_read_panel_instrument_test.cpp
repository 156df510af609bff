// READ? on the simulated board in virtual time: a sweep of set-point jumps,
// each followed at once by READ?, reads every new set-point and nothing of
// the old output; with a trigger delay on a slow output too. INITiate,
// FETCh? and READ? while OFF and on an absent port; a client that goes
// away in the middle of a wait.
#include "app/panel_instrument.h"
#include "remote/interpreter.h"
#include "sim/clock.h"
#include "sim/sim_board.h"
#include "support/recording_port.h"
#include "support/virtual_timers.h"
#include "sweep/sweep.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <memory>
#include <string>
#include <vector>

namespace korvel {
namespace {

using remote::Interpreter;

// The panel on the simulated board in virtual time. Every port access is
// logged, and every change of the latched set-point kept with its time, so
// the board's input can follow the output late, as a slow output does.
struct Rig {
    struct Tee : Port {
        explicit Tee(Rig& r) : rig(r) {}
        std::int16_t Inp32(std::int16_t address) override
        {
            const std::int16_t v = rig.board.Inp32(address);
            rig.log.push_back(rd(address, v));
            return v;
        }
        void Out32(std::int16_t address, std::int16_t value) override
        {
            rig.board.Out32(address, value);
            rig.log.push_back(wr(address, value));
            const sim::Registers r = sim::registers(rig.board.state());
            const int magnitude = ((r.latch_hi & 0x7F) << 8) | r.latch_lo;
            const int v = (r.latch_hi & 0x80) ? -magnitude : magnitude;
            if (rig.output.empty() || rig.output.back().second != v)
                rig.output.emplace_back(rig.clock.now_ns(), v);
        }
        Rig& rig;
    };

    Rig()
    {
        board.set_diagnostic([](std::string_view) {});
        panel.load();
        panel.activate();
    }

    // The converter sees the output lag_ms after it was latched.
    void slow_output(int lag_ms)
    {
        board.use_waveform_input([this, lag_ms](std::int64_t ns) {
            const std::int64_t at = ns - lag_ms * 1'000'000LL;
            double v = 0;
            for (const auto& [t, value] : output)
                if (t <= at)
                    v = value;
            return v;
        });
    }

    sim::VirtualClock clock;
    sim::SimBoard board{clock};
    std::vector<PortAccess> log;
    std::vector<std::pair<std::int64_t, int>> output;
    Tee port{*this};
    Panel panel{port};
    VirtualTimers timers{panel.controls(), [this](std::int64_t ns) { clock.set_ns(ns); }};
};

// A client driven as the server drives one: a waiting line goes on once
// the measurement has ended, or times out after the interpreter's time-out.
struct Client {
    explicit Client(Rig& r) : rig(r), instrument(r.panel, "korvel-test")
    {
        in = std::make_unique<Interpreter>(instrument);
        in->on_measured = [this] { measured = true; };
    }
    std::string ask(std::string_view line)
    {
        auto state = in->run_line(line);
        const std::int64_t start = rig.timers.now_ns();
        std::int64_t waited_ms = 0;
        while (state == Interpreter::State::Waiting) {
            if (measured) {
                measured = false;
                state = in->resume();
                waited_ms = 0;
            } else if (waited_ms >= in->timeout_ms()) {
                state = in->timed_out();
                waited_ms = 0;
            } else {
                rig.timers.run_for_ms(1);
                ++waited_ms;
            }
        }
        took_ms = (rig.timers.now_ns() - start) / 1'000'000;
        return in->take_response();
    }

    Rig& rig;
    PanelInstrument instrument;
    std::unique_ptr<Interpreter> in;
    bool measured = false;
    std::int64_t took_ms = 0;
};

int value_of(const std::string& reply)
{
    int v = 0;
    const char* p = reply.data() + (reply[0] == '+' ? 1 : 0);
    std::from_chars(p, reply.data() + reply.size(), v);
    return v;
}

// Set-points across the converter's range: fixed jumps that cross zero and
// the 10000 boundary both ways, then a deterministic scatter.
std::vector<int> jumps()
{
    std::vector<int> v = {19000, -19000, 19000, 10267, 883, 10971, -771, -15000, 5000,
                          15021, -3688, 9999, 10000, 9999, -10001, 1801, 1800, -1, 1, 19999,
                          -19999, 12, -12345, 12345, 10500, 100, 9800, 19500, 10100, -500,
                          9000, 10300, 1000};
    std::uint32_t x = 12345;
    while (v.size() < 220) {
        x = x * 1664525u + 1013904223u;
        v.push_back(static_cast<int>(x >> 8) % 39999 - 19999);
    }
    return v;
}

// Runs the sweep: SOUR:SETP then READ? at once, every reply checked
// against the new set-point. Returns the readings that were wrong.
std::vector<std::string> sweep(Client& c, std::int64_t* longest_ms = nullptr)
{
    std::vector<std::string> wrong;
    for (int setpoint : jumps()) {
        c.ask("SOUR:SETP " + std::to_string(setpoint));
        std::string r = c.ask("READ?");
        if (longest_ms)
            *longest_ms = std::max(*longest_ms, c.took_ms);
        r.pop_back();
        const int magnitude = std::abs(setpoint);
        const std::string mark = magnitude <= 1800 ? ",UR" : "";
        const std::size_t comma = std::min(r.find(','), r.size());
        // The converter's resolution is one count.
        if (std::abs(value_of(r) - setpoint) > 1 || r.substr(comma) != mark)
            wrong.push_back(std::to_string(setpoint) + " read " + r);
    }
    return wrong;
}

TEST(FreshRead, EverySetPointJumpReadsTheNewOutput)
{
    Rig rig;
    Client c(rig);
    c.ask("OUTP ON;MODE ZEP");
    std::int64_t longest = 0;
    const auto wrong = sweep(c, &longest);
    EXPECT_TRUE(wrong.empty()) << wrong.size() << " wrong, first: " << wrong.front();
    EXPECT_EQ(c.ask("SYST:ERR?"), "0,\"No error\"\n");
    // The default time-out covers the longest of these waits (the jumps
    // across the 10000 boundary to a small reading).
    EXPECT_LT(longest, Interpreter::default_timeout_ms) << longest;
    std::printf("longest READ? in the sweep: %lld ms\n", static_cast<long long>(longest));
}

TEST(FreshRead, TheTriggerDelayLetsASlowOutputSettle)
{
    // The output reaches the converter 150 ms after the latches take it.
    Rig rig;
    rig.slow_output(150);
    Client c(rig);
    c.ask("OUTP ON;MODE ZEP");
    // Without a delay the sweep reads the old output on some points ...
    EXPECT_FALSE(sweep(c).empty());
    // ... with 0.2 s on none, and the time-out grows by the delay.
    EXPECT_EQ(c.ask("TRIG:DEL 0.2;DEL?;:SYST:TIM?"),
              "0.2;" + std::to_string(Interpreter::default_timeout_ms + 200) + "\n");
    const auto wrong = sweep(c);
    EXPECT_TRUE(wrong.empty()) << wrong.size() << " wrong, first: " << wrong.front();
    EXPECT_EQ(c.ask("SYST:ERR?"), "0,\"No error\"\n");
}

TEST(FreshRead, InitiateThenOpcThenFetchGivesTheFreshReading)
{
    Rig rig;
    Client c(rig);
    c.ask("OUTP ON;SOUR:SETP 4000");
    EXPECT_EQ(c.ask("READ?"), "+4000\n");
    c.ask("SOUR:SETP -12000;INIT");
    // FETCh? answers at once, with the reading before the change.
    EXPECT_EQ(c.ask("FETC?"), "+4000\n");
    EXPECT_EQ(c.ask("*OPC?;FETC?"), "1;-12000\n");
    EXPECT_EQ(c.ask("SOUR:SETP 7000;MEAS?;FETC?"), "+7000;+7000\n");
}

TEST(FreshRead, WithoutReadingsEveryQueryStillAnswers)
{
    Rig rig;
    Client c(rig);
    // OFF: at once, not-a-number beside -221 (-230 for FETCh?).
    EXPECT_EQ(c.ask("READ?;MEAS?;FETC?;INIT;*OPC?"), "9.91E+37;9.91E+37;9.91E+37;1\n");
    EXPECT_EQ(c.took_ms, 0);
    for (const char* code : {"-221", "-221", "-230", "-221"}) {
        const std::string e = c.ask("SYST:ERR?");
        EXPECT_EQ(e.substr(0, 4), code) << e;
    }
    // An absent port: the wait times out, and the reply still comes.
    c.ask("OUTP ON;PORT &H278");
    EXPECT_EQ(c.ask("SYST:TIM 1500;READ?"), "9.91E+37\n");
    EXPECT_EQ(c.took_ms, 1500);
    EXPECT_EQ(c.ask("SYST:ERR?"), "-365,\"Time out error;no reading within 1500 ms\"\n");
    EXPECT_EQ(c.ask("FETC?"), "9.91E+37\n");
    EXPECT_EQ(c.ask("SYST:ERR?").substr(0, 5), "-230,");
    c.ask("INIT");
    EXPECT_EQ(c.ask("*OPC?"), "1\n");
    EXPECT_EQ(c.took_ms, 1500);
    EXPECT_EQ(c.ask("SYST:ERR?").substr(0, 5), "-365,");
    // Switched OFF by someone else during the wait: it ends at once.
    Client other(rig);
    c.ask("PORT &H378");
    c.in->run_line("READ?");
    rig.timers.run_for_ms(50);
    other.ask("OUTP OFF");
    EXPECT_TRUE(c.measured);
    c.measured = false;
    EXPECT_EQ(c.in->resume(), Interpreter::State::Done);
    EXPECT_EQ(c.in->take_response(), "9.91E+37\n");
    EXPECT_EQ(c.ask("SYST:ERR?").substr(0, 5), "-221,");
}

TEST(FreshRead, AClientGoneInTheMiddleOfAWaitChangesNothing)
{
    // Two panels from the same start; on one a client leaves while waiting.
    Rig quiet, left;
    Client q(quiet), l(left);
    for (Client* c : {&q, &l})
        c->ask("OUTP ON;SOUR:SETP 15000");
    auto view = std::make_unique<Client>(left);
    view->in->run_line("INIT");
    EXPECT_EQ(l.in->run_line("SOUR:SETP -2000;READ?"), Interpreter::State::Waiting);
    q.in->run_line("SOUR:SETP -2000");
    for (Rig* r : {&quiet, &left})
        r->timers.run_for_ms(120);
    l.in->abandon();
    l.in.reset();
    view.reset(); // its PanelInstrument too, with an INITiate running
    for (Rig* r : {&quiet, &left})
        r->timers.run_for_ms(3000);
    EXPECT_EQ(left.log, quiet.log);
    EXPECT_EQ(left.panel.reading().value(), -2000);
    EXPECT_EQ(left.panel.controls().reading_box.text(), quiet.panel.controls().reading_box.text());
}

// The sweep through the remote interface: INITiate:SWEep returns at once,
// *OPC? waits for the end, the set-point is held meanwhile, ABORt stops it
// into its end state, and FETCh:SWEep? gives every point.
TEST(FreshRead, TheSweepRunsBehindTheCommandsAndOpcWaitsForItsEnd)
{
    Rig rig;
    sweep::Sweep engine(rig.panel);
    Client c(rig);
    const std::function<bool()> no_window;
    const std::function<void(bool)> no_window_set;
    c.instrument.use_sweep(engine, no_window, no_window_set);
    c.ask("OUTP ON;SOUR:SETP 300");
    c.ask("SWE:STAR 1000;STOP 3000;STEP 1000;DIR UPD;:AVER:COUN 2");
    EXPECT_EQ(c.ask("SWE:POIN?;:INIT:SWE;:SWE:STAT?"), "5;1\n");
    EXPECT_EQ(c.took_ms, 0);
    c.ask("SETP 5");
    EXPECT_EQ(c.ask("SYST:ERR?"), "-221,\"Settings conflict;a sweep holds the set-point; ABORt it first\"\n");
    const std::string done = c.ask("*OPC?;:SWE:STAT?;:SETP?;:FETC:SWE?");
    EXPECT_EQ(done.substr(0, 10), "1;0;300;10");
    std::vector<double> pairs;
    for (std::size_t at = 8; at < done.size();) {
        const std::size_t end = done.find_first_of(",\n", at);
        pairs.push_back(std::stod(done.substr(at, end - at)));
        at = end + 1;
    }
    const std::vector<double> points = {1000, 2000, 3000, 2000, 1000};
    ASSERT_EQ(pairs.size(), 2 * points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        EXPECT_EQ(pairs[2 * i], points[i]);
        EXPECT_NEAR(pairs[2 * i + 1], points[i], 1.0);
    }
    // Endless, with the last point held: ABORt ends it at once.
    c.ask("SWE:COUN INF;END HOLD;:INIT:SWE");
    rig.timers.run_for_ms(1200);
    EXPECT_EQ(c.ask("ABOR;:SWE:STAT?;:SETP?"), "0;" + std::to_string(rig.panel.setpoint()) + "\n");
    EXPECT_NE(rig.panel.setpoint(), 300);
    EXPECT_EQ(engine.end_reason(), "aborted");
    // No sweep window here; OFF refuses a start.
    EXPECT_EQ(c.ask("DISP:SWE?;:OUTP OFF;:INIT:SWE;:SYST:ERR?;ERR?"),
              "0;-221,\"Settings conflict;the panel is OFF; switch it ON first\";0,\"No error\"\n");
}

} // namespace
} // namespace korvel
