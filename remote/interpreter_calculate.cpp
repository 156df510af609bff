// The statistics, limit and trend commands of the interpreter:
//   CALCulate:AVERage:MINimum? MAXimum? AVERage? SDEViation? COUNt? CLEar
//   CALCulate:LIMit:LOWer|UPPer <n>, :STATe ON|OFF, their queries, :FAIL?, :CLEar
//   DISPlay:TRENd ON|OFF|1|0, DISPlay:TRENd?
//   TRACe:POINts:ACTual?, TRACe:DATA? <n>
#include "remote/interpreter.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace korvel::remote {

namespace {

constexpr int reading_limit = 19999;

// What a figure without readings behind it answers: the value SCPI
// instruments give for "not a number".
constexpr std::string_view not_a_number = Interpreter::not_a_number;

std::string signed_count(int v) { return (v < 0 ? "" : "+") + std::to_string(v); }

std::string decimal(double v, bool sign)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, sign ? "%+.3f" : "%.3f", v);
    return buf;
}

// A limit as a whole number of counts within the reading range; nothing
// for anything else (not a number, a fraction, out of range).
std::optional<int> whole_count(const std::string& text)
{
    const auto v = parse_number(text);
    if (!v || *v < -reading_limit || *v > reading_limit)
        return std::nullopt;
    if (!text.empty() && text[0] != '#') {
        // parse_number rounds; a limit of 12.5 counts is no whole count.
        std::string_view body = text;
        if (body[0] == '+')
            body.remove_prefix(1);
        double d = 0;
        const auto [p, ec] = std::from_chars(body.data(), body.data() + body.size(), d);
        if (ec != std::errc() || p != body.data() + body.size() || d != std::trunc(d))
            return std::nullopt;
    }
    return static_cast<int>(*v);
}

} // namespace

void Interpreter::statistics(const Step& s)
{
    if (s.id == Id::AverageClear) {
        if (instrument_.statistics())
            instrument_.clear_statistics();
        else
            errors_.push(err::settings_conflict, "no reading history here");
        return;
    }
    const auto st = instrument_.statistics();
    if (!st) {
        errors_.push(err::settings_conflict, "no reading history here");
        return;
    }
    switch (s.id) {
    case Id::AverageMin: reply(st->count ? signed_count(st->min) : std::string(not_a_number)); break;
    case Id::AverageMax: reply(st->count ? signed_count(st->max) : std::string(not_a_number)); break;
    case Id::AverageMean: reply(st->count ? decimal(st->mean, true) : std::string(not_a_number)); break;
    case Id::AverageSdev: reply(st->count > 1 ? decimal(st->sdev, false) : std::string(not_a_number)); break;
    case Id::AverageCount: reply(std::to_string(st->count)); break;
    default: break;
    }
}

void Interpreter::limits(const Step& s)
{
    const auto current = instrument_.limits();
    if (!current) {
        errors_.push(err::settings_conflict, "no reading history here");
        return;
    }
    Limits wanted = *current;
    switch (s.id) {
    case Id::LimitFail: {
        const LimitFailures f = instrument_.limit_failures();
        reply(std::string(f.failing ? "1," : "0,") + std::to_string(f.count));
        return;
    }
    case Id::LimitClear: instrument_.clear_limit_failures(); return;
    case Id::LimitState: {
        if (s.query) {
            reply(current->enabled ? "1" : "0");
            return;
        }
        const auto on = parse_boolean(s.arg);
        if (!on) {
            errors_.push(err::illegal_value, "CALCulate:LIMit:STATe takes ON, OFF, 1 or 0");
            return;
        }
        wanted.enabled = *on;
        break;
    }
    case Id::LimitLower:
    case Id::LimitUpper: {
        const bool lower = s.id == Id::LimitLower;
        if (s.query) {
            reply(signed_count(lower ? current->lower : current->upper));
            return;
        }
        const auto v = whole_count(s.arg);
        if (!v) {
            errors_.push(err::out_of_range, std::string(lower ? "the lower" : "the upper") +
                                                " limit is a whole number of counts, -19999..19999");
            return;
        }
        (lower ? wanted.lower : wanted.upper) = *v;
        if (wanted.lower > wanted.upper) {
            errors_.push(err::out_of_range,
                         lower ? "the lower limit lies above the upper, " + signed_count(wanted.upper)
                               : "the upper limit lies below the lower, " + signed_count(wanted.lower));
            return;
        }
        break;
    }
    default: return;
    }
    instrument_.set_limits(wanted);
}

void Interpreter::trend(const Step& s)
{
    const auto open = instrument_.trend_open();
    if (s.query) {
        reply(open.value_or(false) ? "1" : "0");
        return;
    }
    const auto wanted = parse_boolean(s.arg);
    if (!wanted) {
        errors_.push(err::illegal_value, "DISPlay:TRENd takes ON, OFF, 1 or 0");
        return;
    }
    if (!open) {
        // Nothing to close; nothing to open with either.
        if (*wanted)
            errors_.push(err::settings_conflict, "no trend window in this program");
        return;
    }
    if (*wanted != *open)
        instrument_.set_trend_open(*wanted);
}

void Interpreter::trace(const Step& s)
{
    const auto kept = instrument_.readings_kept();
    if (!kept) {
        errors_.push(err::settings_conflict, "no reading history here");
        return;
    }
    if (s.id == Id::TracePoints) {
        reply(std::to_string(*kept));
        return;
    }
    // A whole number of readings, 1..10000: anything else is out of range.
    const auto n = parse_number(s.arg);
    double d = 0;
    std::string_view body = s.arg;
    if (!body.empty() && body[0] == '+')
        body.remove_prefix(1);
    const auto [p, ec] = std::from_chars(body.data(), body.data() + body.size(), d);
    const bool whole = !s.arg.empty() && (s.arg[0] == '#' || (ec == std::errc() && p == body.data() + body.size() &&
                                                             d == std::trunc(d)));
    if (!n || !whole || *n < 1 || *n > max_trace_points) {
        errors_.push(err::out_of_range, "TRACe:DATA? takes a whole number of readings, 1.." +
                                            std::to_string(max_trace_points));
        return;
    }
    std::string text;
    for (const Reading& r : instrument_.newest_readings(std::size_t(*n))) {
        if (!text.empty())
            text += ',';
        text += format_reading(Reading{r.value, false, false, Limit::none});
    }
    reply(text.empty() ? std::string(not_a_number) : text);
}

} // namespace korvel::remote
