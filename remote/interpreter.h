// One remote client's conversation with the instrument: runs each line's
// commands in order and gathers the replies to its queries into one
// response line. A READ? (or MEASure?) measures afresh: the line stops
// there until the instrument's measurement ends (on_measured, then
// resume()) or the caller reports the wait timed out, and then goes on with
// the rest of its commands. A query that gets no reading still answers, with
// SCPI's not-a-number 9.91E+37, beside the error in the queue, so a client
// never waits for a reply that does not come.
//
// Commands:
//   *IDN?  *RST  *CLS  *OPC?
//   OUTPut[:STATe] ON|OFF|1|0, OUTPut[:STATe]?   the power switch
//   MODE ZEP|DPC|DVM, MODE?
//   PORT <item>, PORT?                             "&H378", "0x378", "#H378", 888
//   [SOURce]:SETPoint <-30000..30000>, [SOURce]:SETPoint?
//   [SOURce]:BITS <0..255>, [SOURce]:BITS?
//   FETCh?                the last accepted reading, at once
//   INITiate              measure from now (its measurement ends in the
//                         background; *OPC? waits for it)
//   READ?   MEASure?      INITiate, wait for its reading, and answer it
//   TRIGger:DELay <s>, TRIGger:DELay?   settling time, 0..60 s
//   SYSTem:ERRor[:NEXT]?   SYSTem:TIMeout <ms>, SYSTem:TIMeout?
//   CALCulate:AVERage:MINimum?|MAXimum?|AVERage?|SDEViation?|COUNt?, :CLEar
//                        the figures since the last clear, 9.91E+37 when
//                        there are none
//   CALCulate:LIMit:LOWer|UPPer <-19999..19999> (and ?), :STATe ON|OFF (and ?),
//   CALCulate:LIMit:FAIL?   "<latest failed 0|1>,<failures>", :CLEar
//   DISPlay:TRENd ON|OFF|1|0, DISPlay:TRENd?      the trend window
//
// After a command "A:B:C" the next one on the same line may leave out
// "A:B:" ("SOUR:SETP 10;BITS?"), as SCPI allows; a header that does not
// resolve that way is taken from the root. A malformed line, or one with an
// unknown header, is refused whole: none of its commands run.
#pragma once

#include "remote/instrument.h"
#include "remote/scpi.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::remote {

class Interpreter {
public:
    explicit Interpreter(Instrument& instrument) : instrument_(instrument) {}
    ~Interpreter();
    Interpreter(const Interpreter&) = delete;
    Interpreter& operator=(const Interpreter&) = delete;

    // The wait a measurement may legitimately take at 3 conversions a
    // second, before the trigger delay: the output's refresh (100 ms), the
    // conversion running at the change, the next one's start, and four
    // readings (three held back at the 10000 boundary, then the one shown)
    // of two conversions each, as readings below about 2000 counts take.
    static constexpr int default_timeout_ms = 4000;
    static constexpr int max_timeout_ms = 3600000;
    // The most readings one TRACe:DATA? answers.
    static constexpr int max_trace_points = 10000;
    static constexpr int max_trigger_delay_ms = 60000;
    // The answer of a query that got no reading.
    static constexpr std::string_view not_a_number = "9.91E+37";

    enum class State { Done, Waiting };

    // Runs a line (without its terminator).
    State run_line(std::string_view line);
    // A line that was longer than the limit and has been discarded.
    void refuse_too_long();

    // Called when the measurement a wait is for has ended, from inside the
    // instrument's work: the owner then calls resume() from its own loop.
    std::function<void()> on_measured;
    // While Waiting: goes on once the measurement has ended (still Waiting
    // until then).
    State resume();
    // While Waiting: a reading the caller hands over for the wait instead
    // of the measurement's; or the end of the wait.
    State deliver(const Reading& reading);
    State timed_out();
    bool waiting() const { return waiting_; }
    // How long a wait may take (SYSTem:TIMeout; unless set, the default
    // plus the trigger delay).
    int timeout_ms() const;
    int trigger_delay_ms() const { return trigger_delay_ms_; }
    // The client is gone: its measurements are cancelled, nothing of it
    // runs any more.
    void abandon();

    // The response to the line just finished: the replies joined by ';' and
    // ended by '\n', or empty when the line had no reply.
    std::string take_response();

    ErrorQueue& errors() { return errors_; }

private:
    enum class Id { Idn, Rst, Cls, Opc, Power, Mode, Port, Setpoint, Bits, Fetch, Read,
                    Error, Timeout, PortView, ProbeView, Exit,
                    AverageMin, AverageMax, AverageMean, AverageSdev, AverageCount, AverageClear,
                    LimitLower, LimitUpper, LimitState, LimitFail, LimitClear, Trend,
                    Initiate, Measure, TriggerDelay, TracePoints, TraceData };
    struct Step {
        Id id;
        bool query;
        std::string arg;
    };

    bool resolve(const Command& cmd, std::vector<std::string>& prefix, Step& out);
    State run_steps();
    void run(const Step& s);
    void set_power(const std::string& arg);
    void set_mode(const std::string& arg);
    void set_port(const std::string& arg);
    void set_setpoint(const std::string& arg);
    void set_bits(const std::string& arg);
    void set_timeout(const std::string& arg);
    void set_trigger_delay(const std::string& arg);
    // READ?/MEASure?, INITiate and *OPC?: whether the line waits here.
    bool start_read();
    void initiate();
    void cancel_measurements();
    // The wait's end: its reply, then the rest of the line.
    State finish_wait(const std::optional<Reading>& reading, bool timed_out);
    void view(Instrument::View which, const Step& s);
    // CALCulate:AVERage:..., CALCulate:LIMit:... and DISPlay:TRENd
    // (interpreter_calculate.cpp).
    void statistics(const Step& s);
    void limits(const Step& s);
    void trend(const Step& s);
    void trace(const Step& s);
    // The argument as a whole number within low..high; otherwise an error
    // queued (-104 not a number, -222 out of range) and nothing.
    std::optional<int> number_within(const std::string& arg, long low, long high,
                                     std::string_view header, std::string_view range);
    void reply(std::string text) { replies_.push_back(std::move(text)); }

    Instrument& instrument_;
    ErrorQueue errors_;
    std::optional<int> timeout_ms_;  // unset: the default
    int trigger_delay_ms_ = 0;
    std::vector<Step> steps_;
    std::size_t next_ = 0;
    bool waiting_ = false;
    // What the line waits for: a READ?'s measurement, or *OPC? for INIT's.
    enum class Wait { reading, initiated };
    Wait wait_ = Wait::reading;
    int read_key_ = -1;               // READ?'s measurement while it runs
    int init_key_ = -1;               // INITiate's measurement while it runs
    bool read_ended_ = false;         // READ?'s measurement has ended ...
    std::optional<Reading> measured_; // ... with this reading, or none
    std::vector<std::string> replies_;
};

// A time of whole milliseconds in seconds: "0", "0.2", "12.345".
std::string seconds_text(int ms);

// "+12345", "-700", "+0", with ",OR" or ",UR" when marked.
std::string format_reading(const Reading& r);

} // namespace korvel::remote
