// One remote client's conversation with the instrument: runs each line's
// commands in order and gathers the replies to its queries into one
// response line. A READ? waits for the next accepted reading: the line
// stops there until the caller delivers that reading or reports the wait
// timed out, and then goes on with the rest of its commands.
//
// Commands:
//   *IDN?  *RST  *CLS  *OPC?
//   OUTPut[:STATe] ON|OFF|1|0, OUTPut[:STATe]?   the power switch
//   MODE ZEP|DPC|DVM, MODE?
//   PORT <item>, PORT?                             "&H378", "0x378", "#H378", 888
//   [SOURce]:SETPoint <-30000..30000>, [SOURce]:SETPoint?
//   [SOURce]:BITS <0..255>, [SOURce]:BITS?
//   FETCh?   READ?
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

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::remote {

class Interpreter {
public:
    explicit Interpreter(Instrument& instrument) : instrument_(instrument) {}

    static constexpr int default_timeout_ms = 2000;
    static constexpr int max_timeout_ms = 3600000;

    enum class State { Done, Waiting };

    // Runs a line (without its terminator).
    State run_line(std::string_view line);
    // A line that was longer than the limit and has been discarded.
    void refuse_too_long();

    // While Waiting: the reading the READ? waited for, or the end of the wait.
    State deliver(const Reading& reading);
    State timed_out();
    bool waiting() const { return waiting_; }
    // How long a READ? waits (SYSTem:TIMeout).
    int timeout_ms() const { return timeout_ms_; }

    // The response to the line just finished: the replies joined by ';' and
    // ended by '\n', or empty when the line had no reply.
    std::string take_response();

    ErrorQueue& errors() { return errors_; }

private:
    enum class Id { Idn, Rst, Cls, Opc, Power, Mode, Port, Setpoint, Bits, Fetch, Read,
                    Error, Timeout, PortView, ProbeView, Exit,
                    AverageMin, AverageMax, AverageMean, AverageSdev, AverageCount, AverageClear,
                    LimitLower, LimitUpper, LimitState, LimitFail, LimitClear, Trend };
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
    void view(Instrument::View which, const Step& s);
    // CALCulate:AVERage:..., CALCulate:LIMit:... and DISPlay:TRENd
    // (interpreter_calculate.cpp).
    void statistics(const Step& s);
    void limits(const Step& s);
    void trend(const Step& s);
    // The argument as a whole number within low..high; otherwise an error
    // queued (-104 not a number, -222 out of range) and nothing.
    std::optional<int> number_within(const std::string& arg, long low, long high,
                                     std::string_view header, std::string_view range);
    void reply(std::string text) { replies_.push_back(std::move(text)); }

    Instrument& instrument_;
    ErrorQueue errors_;
    int timeout_ms_ = default_timeout_ms;
    std::vector<Step> steps_;
    std::size_t next_ = 0;
    bool waiting_ = false;
    std::vector<std::string> replies_;
};

// "+12345", "-700", "+0", with ",OR" or ",UR" when marked.
std::string format_reading(const Reading& r);

} // namespace korvel::remote
