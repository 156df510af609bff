// The sweep commands of the interpreter:
//   [SOURce]:SWEep:STARt|STOP|STEP <v>, :DIRection UP|DOWN|UPDown,
//   :COUNt <n>|INFinity, :MODE SWEep|LIST, :SLEW <counts>|OFF, :END RETurn|HOLD,
//   their queries, :POINts?, :STATe?; [SOURce]:LIST:SETPoint <v>,<v>,...;
//   [SENSe]:AVERage:COUNt <n>; INITiate:SWEep; FETCh:SWEep?; DISPlay:SWEep.
// A bad value is refused with -222 and changes nothing.
#include "remote/interpreter.h"

#include <cmath>
#include <cstdio>

namespace korvel::remote {

namespace {

constexpr int setpoint_limit = 30000;
constexpr int max_list = 2000;

// A whole number within low..high, written as a decimal or #H number.
std::optional<int> whole_within(const std::string& text, long low, long high)
{
    const auto r = parse_real(text);
    const auto v = parse_number(text);
    if (!v || *v < low || *v > high)
        return std::nullopt;
    if (r && *r != std::trunc(*r))
        return std::nullopt; // 12.5 set-point counts are none
    return static_cast<int>(*v);
}

std::string mean_text(const SweepPoint& p)
{
    if (p.over)
        return std::string(Interpreter::not_a_number);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.3f", p.mean);
    std::string s = buf;
    while (s.back() == '0')
        s.pop_back();
    if (s.back() == '.')
        s.pop_back();
    return s == "-0" ? "0" : s;
}

} // namespace

void Interpreter::sweep(const Step& s)
{
    auto settings = instrument_.sweep_settings();
    if (!settings) {
        errors_.push(err::settings_conflict, "there is no sweep here");
        if (s.query)
            reply(s.id == Id::FetchSweep ? "" : "0");
        return;
    }
    SweepSettings& w = *settings;
    using D = SweepSettings::Direction;
    if (s.query) {
        switch (s.id) {
        case Id::SweepStart: reply(std::to_string(w.start)); break;
        case Id::SweepStop: reply(std::to_string(w.stop)); break;
        case Id::SweepStep: reply(std::to_string(w.step)); break;
        case Id::SweepDirection:
            reply(w.direction == D::up ? "UP" : w.direction == D::down ? "DOWN" : "UPD");
            break;
        case Id::SweepCount: reply(w.count == 0 ? "INF" : std::to_string(w.count)); break;
        case Id::SweepPoints: reply(std::to_string(instrument_.sweep_points())); break;
        case Id::ListSetpoints: {
            std::string t;
            for (int v : w.points)
                t += (t.empty() ? "" : ",") + std::to_string(v);
            reply(t);
            break;
        }
        case Id::SweepMode: reply(w.list ? "LIST" : "SWE"); break;
        case Id::AverageReadings: reply(std::to_string(w.readings)); break;
        case Id::SweepSlew: reply(w.slew == 0 ? "OFF" : std::to_string(w.slew)); break;
        case Id::SweepEnd: reply(w.hold ? "HOLD" : "RET"); break;
        case Id::SweepState: reply(instrument_.sweep_running() ? "1" : "0"); break;
        case Id::FetchSweep: {
            std::string t;
            for (const SweepPoint& p : instrument_.sweep_results())
                t += (t.empty() ? "" : ",") + std::to_string(p.setpoint) + "," + mean_text(p);
            reply(t);
            break;
        }
        case Id::SweepWindow: {
            const auto open = instrument_.sweep_window_open();
            reply(open && *open ? "1" : "0");
            break;
        }
        default: break;
        }
        return;
    }
    switch (s.id) {
    case Id::InitiateSweep:
        if (std::string why = instrument_.start_sweep(trigger_delay_ms_); !why.empty())
            errors_.push(err::settings_conflict, why);
        return;
    case Id::SweepWindow: {
        const auto open = parse_boolean(s.arg);
        if (!open) {
            errors_.push(err::out_of_range, "DISPlay:SWEep takes ON, OFF, 1 or 0");
        } else if (!instrument_.sweep_window_open()) {
            errors_.push(err::settings_conflict, "there is no sweep window here (--no-window)");
        } else if (*open != *instrument_.sweep_window_open()) {
            instrument_.set_sweep_window_open(*open);
        }
        return;
    }
    default: break;
    }
    sweep_setting(s, w);
}

void Interpreter::sweep_setting(const Step& s, SweepSettings& w)
{
    using D = SweepSettings::Direction;
    const auto refuse = [this](std::string why) { errors_.push(err::out_of_range, why); };
    const std::string setpoints = "lies within -30000..30000";
    switch (s.id) {
    case Id::SweepStart:
    case Id::SweepStop: {
        const auto v = whole_within(s.arg, -setpoint_limit, setpoint_limit);
        if (!v)
            return refuse(std::string(s.id == Id::SweepStart ? "the start " : "the stop ") + setpoints);
        (s.id == Id::SweepStart ? w.start : w.stop) = *v;
        break;
    }
    case Id::SweepStep: {
        const auto v = whole_within(s.arg, 1, 2 * setpoint_limit);
        if (!v)
            return refuse("the step lies within 1..60000");
        w.step = *v;
        break;
    }
    case Id::SweepDirection:
        if (mnemonic_matches(s.arg, "UPDown"))
            w.direction = D::up_down;
        else if (mnemonic_matches(s.arg, "UP"))
            w.direction = D::up;
        else if (mnemonic_matches(s.arg, "DOWN"))
            w.direction = D::down;
        else
            return refuse("the direction is UP, DOWN or UPDown");
        break;
    case Id::SweepCount:
        if (mnemonic_matches(s.arg, "INFinity")) {
            w.count = 0;
        } else if (const auto v = whole_within(s.arg, 1, 1000)) {
            w.count = *v;
        } else {
            return refuse("the count lies within 1..1000, or INFinity");
        }
        break;
    case Id::ListSetpoints: {
        if (s.args.empty() || s.args.size() > static_cast<std::size_t>(max_list))
            return refuse("a list holds 1 to 2000 set-points");
        std::vector<int> points;
        for (const std::string& a : s.args) {
            const auto v = whole_within(a, -setpoint_limit, setpoint_limit);
            if (!v)
                return refuse("each set-point of the list " + setpoints);
            points.push_back(*v);
        }
        w.points = std::move(points);
        break;
    }
    case Id::SweepMode:
        if (mnemonic_matches(s.arg, "SWEep"))
            w.list = false;
        else if (mnemonic_matches(s.arg, "LIST"))
            w.list = true;
        else
            return refuse("the sweep mode is SWEep or LIST");
        break;
    case Id::AverageReadings: {
        const auto v = whole_within(s.arg, 1, 100);
        if (!v)
            return refuse("the readings per point lie within 1..100");
        w.readings = *v;
        break;
    }
    case Id::SweepSlew:
        if (mnemonic_matches(s.arg, "OFF")) {
            w.slew = 0;
        } else if (const auto v = whole_within(s.arg, 1, 2 * setpoint_limit)) {
            w.slew = *v;
        } else {
            return refuse("the slew limit lies within 1..60000 counts per 100 ms, or OFF");
        }
        break;
    case Id::SweepEnd:
        if (mnemonic_matches(s.arg, "RETurn"))
            w.hold = false;
        else if (mnemonic_matches(s.arg, "HOLD"))
            w.hold = true;
        else
            return refuse("the end state is RETurn or HOLD");
        break;
    default: return;
    }
    instrument_.set_sweep_settings(w);
}

} // namespace korvel::remote
