#include "remote/interpreter.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>

namespace korvel::remote {

namespace {

constexpr int setpoint_limit = 30000;

struct Entry {
    std::string_view pattern;
    bool common;
    bool settable;
    bool queryable;
};

// In the order of Interpreter::Id.
constexpr std::array<Entry, 33> table{{
    {"IDN", true, false, true},
    {"RST", true, true, false},
    {"CLS", true, true, false},
    {"OPC", true, false, true},
    {"OUTPut[:STATe]", false, true, true},
    {"MODE", false, true, true},
    {"PORT", false, true, true},
    {"[SOURce]:SETPoint", false, true, true},
    {"[SOURce]:BITS", false, true, true},
    {"FETCh", false, false, true},
    {"READ", false, false, true},
    {"SYSTem:ERRor[:NEXT]", false, false, true},
    {"SYSTem:TIMeout", false, true, true},
    {"DISPlay:PORT", false, true, true},
    {"DISPlay:PROBe", false, true, true},
    {"SYSTem:EXIT", false, true, false},
    {"CALCulate:AVERage:MINimum", false, false, true},
    {"CALCulate:AVERage:MAXimum", false, false, true},
    {"CALCulate:AVERage:AVERage", false, false, true},
    {"CALCulate:AVERage:SDEViation", false, false, true},
    {"CALCulate:AVERage:COUNt", false, false, true},
    {"CALCulate:AVERage:CLEar", false, true, false},
    {"CALCulate:LIMit:LOWer[:DATA]", false, true, true},
    {"CALCulate:LIMit:UPPer[:DATA]", false, true, true},
    {"CALCulate:LIMit:STATe", false, true, true},
    {"CALCulate:LIMit:FAIL", false, false, true},
    {"CALCulate:LIMit:CLEar", false, true, false},
    {"DISPlay:TRENd", false, true, true},
    {"INITiate", false, true, false},
    {"MEASure", false, false, true},
    {"TRIGger:DELay", false, true, true},
    {"TRACe:POINts:ACTual", false, false, true},
    {"TRACe:DATA", false, false, true},
}};

// Settable commands without an argument (*RST, *CLS, SYSTem:EXIT, INITiate).
bool takes_argument(std::string_view pattern)
{
    return pattern != "RST" && pattern != "CLS" && pattern != "SYSTem:EXIT" &&
           pattern != "CALCulate:AVERage:CLEar" && pattern != "CALCulate:LIMit:CLEar" &&
           pattern != "INITiate";
}

const std::vector<std::vector<Node>>& patterns()
{
    static const std::vector<std::vector<Node>> p = [] {
        std::vector<std::vector<Node>> v;
        for (const Entry& e : table)
            v.push_back(header_pattern(e.pattern));
        return v;
    }();
    return p;
}

std::string join_header(const Command& cmd)
{
    std::string s = cmd.common ? "*" : (cmd.absolute ? ":" : "");
    for (std::size_t i = 0; i < cmd.mnemonics.size(); ++i)
        s += (i ? ":" : "") + cmd.mnemonics[i];
    return s + (cmd.query ? "?" : "");
}

// A port item's or argument's address: "&H378", "0x378", "#H378" or "888".
std::optional<long> port_number(std::string_view text)
{
    if (text.size() > 2 && text[0] == '&' && (text[1] == 'H' || text[1] == 'h'))
        return parse_number("#H" + std::string(text.substr(2)));
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        return parse_number("#H" + std::string(text.substr(2)));
    return parse_number(text);
}

} // namespace

std::string seconds_text(int ms)
{
    std::string s = std::to_string(ms / 1000);
    if (const int frac = ms % 1000) {
        std::string f = std::to_string(1000 + frac).substr(1);
        while (f.back() == '0')
            f.pop_back();
        s += "." + f;
    }
    return s;
}

std::string format_reading(const Reading& r)
{
    std::string s = (r.value < 0 ? "" : "+") + std::to_string(r.value);
    if (r.over)
        s += ",OR";
    if (r.under)
        s += ",UR";
    return s;
}

bool Interpreter::resolve(const Command& cmd, std::vector<std::string>& prefix, Step& out)
{
    const std::string header = join_header(cmd);
    auto find = [&](const std::vector<std::string>& written) -> int {
        for (std::size_t i = 0; i < table.size(); ++i) {
            if (table[i].common != cmd.common)
                continue;
            if (header_matches(written, patterns()[i]))
                return static_cast<int>(i);
        }
        return -1;
    };
    int found = -1;
    if (!cmd.common && !cmd.absolute && !prefix.empty()) {
        std::vector<std::string> full = prefix;
        full.insert(full.end(), cmd.mnemonics.begin(), cmd.mnemonics.end());
        found = find(full);
        if (found >= 0)
            prefix = std::move(full);
    }
    if (found < 0) {
        found = find(cmd.mnemonics);
        if (found >= 0 && !cmd.common)
            prefix = cmd.mnemonics;
    }
    if (!cmd.common && found >= 0)
        prefix.pop_back(); // the path for the next command: all but the last mnemonic
    const Entry* e = found >= 0 ? &table[static_cast<std::size_t>(found)] : nullptr;
    if (!e || (cmd.query && !e->queryable) || (!cmd.query && !e->settable)) {
        errors_.push(err::undefined_header, header);
        return false;
    }
    // TRACe:DATA? is the one query with an argument.
    const std::size_t wanted = cmd.query ? (e->pattern == "TRACe:DATA" ? 1 : 0)
                                         : (takes_argument(e->pattern) ? 1 : 0);
    if (cmd.args.size() > wanted) {
        errors_.push(err::parameter_not_allowed, header);
        return false;
    }
    if (cmd.args.size() < wanted) {
        errors_.push(err::missing_parameter, header);
        return false;
    }
    out.id = static_cast<Id>(found);
    out.query = cmd.query;
    out.arg = wanted ? cmd.args[0] : std::string();
    return true;
}

Interpreter::State Interpreter::run_line(std::string_view line)
{
    steps_.clear();
    next_ = 0;
    replies_.clear();
    const ParsedLine parsed = parse_line(line);
    if (parsed.error != 0) {
        errors_.push(parsed.error, parsed.detail);
        return State::Done;
    }
    std::vector<std::string> prefix;
    std::vector<Step> steps;
    for (const Command& cmd : parsed.commands) {
        Step s{};
        if (!resolve(cmd, prefix, s))
            return State::Done;
        steps.push_back(std::move(s));
    }
    steps_ = std::move(steps);
    return run_steps();
}

void Interpreter::refuse_too_long()
{
    errors_.push(err::too_much_data,
                 "line longer than " + std::to_string(LineSplitter::max_line) + " bytes, discarded");
}

Interpreter::~Interpreter() { cancel_measurements(); }

int Interpreter::timeout_ms() const
{
    return timeout_ms_ ? *timeout_ms_ : default_timeout_ms + trigger_delay_ms_;
}

Interpreter::State Interpreter::run_steps()
{
    while (next_ < steps_.size()) {
        const Step& s = steps_[next_++];
        const bool waits = (s.id == Id::Read || s.id == Id::Measure) ? start_read()
                         : s.id == Id::Opc ? init_key_ >= 0
                                           : false;
        if (waits) {
            wait_ = s.id == Id::Opc ? Wait::initiated : Wait::reading;
            waiting_ = true;
            return State::Waiting;
        }
        run(s);
    }
    return State::Done;
}

bool Interpreter::start_read()
{
    if (!instrument_.power()) {
        errors_.push(err::settings_conflict, "no reading while the panel is OFF");
        reply(std::string(not_a_number));
        return false;
    }
    read_ended_ = false;
    measured_.reset();
    read_key_ = instrument_.initiate(trigger_delay_ms_, [this](const std::optional<Reading>& r) {
        read_key_ = -1;
        read_ended_ = true;
        measured_ = r;
        if (on_measured)
            on_measured();
    });
    return true;
}

void Interpreter::initiate()
{
    if (!instrument_.power()) {
        errors_.push(err::settings_conflict, "no measurement while the panel is OFF");
        return;
    }
    // A new INITiate starts over from now.
    if (init_key_ >= 0)
        instrument_.cancel(init_key_);
    init_key_ = instrument_.initiate(trigger_delay_ms_, [this](const std::optional<Reading>&) {
        init_key_ = -1;
        if (waiting_ && wait_ == Wait::initiated && on_measured)
            on_measured();
    });
}

void Interpreter::cancel_measurements()
{
    for (int* key : {&read_key_, &init_key_}) {
        if (*key >= 0)
            instrument_.cancel(*key);
        *key = -1;
    }
}

void Interpreter::abandon()
{
    cancel_measurements();
    on_measured = nullptr;
    waiting_ = false;
    steps_.clear();
    next_ = 0;
    replies_.clear();
}

Interpreter::State Interpreter::resume()
{
    if (!waiting_)
        return State::Done;
    if (wait_ == Wait::reading)
        return read_ended_ ? finish_wait(measured_, false) : State::Waiting;
    return init_key_ < 0 ? finish_wait(std::nullopt, false) : State::Waiting;
}

Interpreter::State Interpreter::deliver(const Reading& reading)
{
    if (!waiting_)
        return State::Done;
    cancel_measurements();
    return finish_wait(reading, false);
}

Interpreter::State Interpreter::timed_out()
{
    if (!waiting_)
        return State::Done;
    cancel_measurements();
    return finish_wait(std::nullopt, true);
}

Interpreter::State Interpreter::finish_wait(const std::optional<Reading>& reading, bool timed_out)
{
    waiting_ = false;
    read_ended_ = false;
    const std::string within = " within " + std::to_string(timeout_ms()) + " ms";
    if (wait_ == Wait::initiated) {
        // *OPC?: the operation is over, done or failed.
        if (timed_out)
            errors_.push(err::timeout, "the measurement INITiate started did not end" + within);
        reply("1");
    } else if (reading) {
        reply(format_reading(*reading));
    } else {
        if (timed_out)
            errors_.push(err::timeout, "no reading" + within);
        else
            errors_.push(err::settings_conflict, "the panel stopped reading (switched OFF) "
                                                 "before a fresh reading");
        reply(std::string(not_a_number));
    }
    return run_steps();
}

std::string Interpreter::take_response()
{
    if (replies_.empty())
        return {};
    std::string s;
    for (std::size_t i = 0; i < replies_.size(); ++i)
        s += (i ? ";" : "") + replies_[i];
    replies_.clear();
    return s + '\n';
}

void Interpreter::run(const Step& s)
{
    switch (s.id) {
    case Id::Idn: reply(instrument_.identity()); break;
    case Id::Rst: instrument_.reset(); break;
    case Id::Cls: errors_.clear(); break;
    case Id::Opc: reply("1"); break; // nothing pending: run_steps waits otherwise
    case Id::Power:
        if (s.query)
            reply(instrument_.power() ? "1" : "0");
        else
            set_power(s.arg);
        break;
    case Id::Mode:
        if (s.query)
            reply(instrument_.mode());
        else
            set_mode(s.arg);
        break;
    case Id::Port:
        if (s.query)
            reply(instrument_.port());
        else
            set_port(s.arg);
        break;
    case Id::Setpoint:
        if (s.query)
            reply(std::to_string(instrument_.setpoint()));
        else
            set_setpoint(s.arg);
        break;
    case Id::Bits:
        if (s.query)
            reply(std::to_string(instrument_.bits()));
        else
            set_bits(s.arg);
        break;
    case Id::Fetch:
        if (auto r = instrument_.last_reading()) {
            reply(format_reading(*r));
        } else {
            errors_.push(err::data_stale, "no reading since the panel was switched ON");
            reply(std::string(not_a_number));
        }
        break;
    case Id::Read:
    case Id::Measure: break; // run_steps started the wait, or answered
    case Id::Initiate: initiate(); break;
    case Id::TriggerDelay:
        if (s.query)
            reply(seconds_text(trigger_delay_ms_));
        else
            set_trigger_delay(s.arg);
        break;
    case Id::Error: reply(errors_.pop()); break;
    case Id::Timeout:
        if (s.query)
            reply(std::to_string(timeout_ms()));
        else
            set_timeout(s.arg);
        break;
    case Id::PortView: view(Instrument::View::port, s); break;
    case Id::ProbeView: view(Instrument::View::probe, s); break;
    case Id::Exit: instrument_.exit(); break;
    case Id::AverageMin:
    case Id::AverageMax:
    case Id::AverageMean:
    case Id::AverageSdev:
    case Id::AverageCount:
    case Id::AverageClear: statistics(s); break;
    case Id::LimitLower:
    case Id::LimitUpper:
    case Id::LimitState:
    case Id::LimitFail:
    case Id::LimitClear: limits(s); break;
    case Id::Trend: trend(s); break;
    case Id::TracePoints:
    case Id::TraceData: trace(s); break;
    }
}

void Interpreter::view(Instrument::View which, const Step& s)
{
    if (s.query) {
        reply(instrument_.view_open(which) ? "1" : "0");
        return;
    }
    const auto open = parse_boolean(s.arg);
    if (!open) {
        errors_.push(err::illegal_value, "DISPlay:PORT and DISPlay:PROBe take ON, OFF, 1 or 0");
        return;
    }
    if (*open != instrument_.view_open(which))
        instrument_.set_view_open(which, *open);
}

void Interpreter::set_power(const std::string& arg)
{
    const auto on = parse_boolean(arg);
    if (!on) {
        errors_.push(err::illegal_value, "OUTPut takes ON, OFF, 1 or 0");
        return;
    }
    if (*on != instrument_.power())
        instrument_.set_power(*on);
}

void Interpreter::set_mode(const std::string& arg)
{
    for (std::string_view mode : {"ZEP", "DPC", "DVM"}) {
        if (mnemonic_matches(arg, mode)) {
            instrument_.set_mode(mode);
            return;
        }
    }
    errors_.push(err::illegal_value, "MODE takes ZEP, DPC or DVM");
}

void Interpreter::set_port(const std::string& arg)
{
    const auto wanted = port_number(arg);
    const std::vector<std::string> items = instrument_.ports();
    std::string choices;
    for (const std::string& item : items) {
        if (wanted && port_number(item) == wanted) {
            instrument_.set_port(item);
            return;
        }
        choices += (choices.empty() ? "" : ", ") + item;
    }
    errors_.push(err::illegal_value, "no such port; the ports are " + choices);
}

std::optional<int> Interpreter::number_within(const std::string& arg, long low, long high,
                                              std::string_view header, std::string_view range)
{
    const auto v = parse_number(arg);
    if (!v) {
        errors_.push(err::data_type, std::string(header) + " takes a number");
        return std::nullopt;
    }
    if (*v < low || *v > high) {
        errors_.push(err::out_of_range, range);
        return std::nullopt;
    }
    return static_cast<int>(*v);
}

void Interpreter::set_setpoint(const std::string& arg)
{
    const auto v = number_within(arg, -setpoint_limit, setpoint_limit, "SETPoint",
                                 "the set-point lies within -30000..30000");
    if (!v)
        return;
    if (!instrument_.power()) {
        errors_.push(err::settings_conflict, "the spin controls move only while the panel is ON");
        return;
    }
    if (instrument_.mode() != "ZEP") {
        errors_.push(err::settings_conflict, "the set-point is driven in mode ZEP");
        return;
    }
    instrument_.set_setpoint(*v);
}

void Interpreter::set_bits(const std::string& arg)
{
    const auto v = number_within(arg, 0, 255, "BITS", "the output bits are a byte, 0..255");
    if (!v)
        return;
    if (instrument_.mode() != "DPC") {
        errors_.push(err::settings_conflict, "the output bits are driven in mode DPC");
        return;
    }
    // While OFF the bits are all clear and none can be set.
    if (!instrument_.power() && *v != 0) {
        errors_.push(err::settings_conflict, "output bits are set only while the panel is ON");
        return;
    }
    instrument_.set_bits(*v);
}

void Interpreter::set_timeout(const std::string& arg)
{
    if (const auto v = number_within(arg, 1, max_timeout_ms, "TIMeout",
                                     "the time-out lies within 1..3600000 ms"))
        timeout_ms_ = *v;
}

void Interpreter::set_trigger_delay(const std::string& arg)
{
    std::optional<double> seconds;
    if (mnemonic_matches(arg, "MINimum") || mnemonic_matches(arg, "DEFault"))
        seconds = 0.0;
    else if (mnemonic_matches(arg, "MAXimum"))
        seconds = max_trigger_delay_ms / 1000.0;
    else
        seconds = parse_real(arg);
    if (!seconds) {
        errors_.push(err::data_type, "TRIGger:DELay takes a number of seconds");
        return;
    }
    if (!(*seconds >= 0 && *seconds <= max_trigger_delay_ms / 1000.0)) {
        errors_.push(err::out_of_range, "the trigger delay lies within 0..60 s");
        return;
    }
    trigger_delay_ms_ = static_cast<int>(std::lround(*seconds * 1000));
}

} // namespace korvel::remote
