#include "web/sweep_documents.h"

#include "web/documents.h"

#include <charconv>
#include <cstdio>

namespace korvel::web {

namespace {

const char* direction_name(sweep::Direction d)
{
    switch (d) {
    case sweep::Direction::up: return "up";
    case sweep::Direction::down: return "down";
    case sweep::Direction::up_down: break;
    }
    return "updown";
}

std::string number(double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    return buf;
}

bool whole(const std::string& text, int& out)
{
    if (text.empty() || text.size() > 7)
        return false;
    const char* b = text.data() + (text[0] == '+' ? 1 : 0);
    const auto [p, ec] = std::from_chars(b, text.data() + text.size(), out);
    return ec == std::errc() && p == text.data() + text.size();
}

} // namespace

std::string sweep_json(const sweep::Sweep& sw, std::size_t since)
{
    const sweep::Progress p = sw.progress();
    const sweep::Settings& s = sw.running() ? sw.running_settings() : sw.settings();
    std::string j = "{\"type\":\"sweep\",\"running\":" + std::string(sw.running() ? "true" : "false");
    j += ",\"reason\":" + json_string(sw.end_reason());
    j += ",\"done\":" + std::to_string(p.done) + ",\"total\":" + std::to_string(p.total);
    j += ",\"left_ms\":" + std::to_string(p.left_ms);
    j += ",\"settings\":{\"shape\":\"" + std::string(s.shape == sweep::Shape::list ? "list" : "staircase") +
         "\",\"start\":" + std::to_string(s.start) + ",\"stop\":" + std::to_string(s.stop) +
         ",\"step\":" + std::to_string(s.step) + ",\"direction\":\"" + direction_name(s.direction) +
         "\",\"settle_ms\":" + std::to_string(s.settle_ms) + ",\"readings\":" + std::to_string(s.readings) +
         ",\"repeats\":" + std::to_string(s.repeats) + ",\"slew\":" + std::to_string(s.slew) +
         ",\"end\":\"" + (s.end == sweep::EndState::hold ? "hold" : "back") + "\",\"list\":[";
    for (std::size_t i = 0; i < s.list.size(); ++i)
        j += (i ? "," : "") + std::to_string(s.list[i]);
    // Points are numbered from the run's first; the oldest may have gone.
    const auto& results = sw.results();
    const std::size_t first = p.done - results.size();
    j += "]},\"first\":" + std::to_string(first) + ",\"points\":[";
    bool comma = false;
    for (std::size_t i = since > first ? since - first : 0; i < results.size(); ++i) {
        const sweep::PointResult& r = results[i];
        j += (comma ? ",[" : "[") + std::to_string(r.setpoint) + "," + number(r.mean) + "," +
             std::to_string(r.min) + "," + std::to_string(r.max) + "," + std::to_string(r.repeat) +
             "," + json_string(sweep::marks(r)) + "," + std::to_string(r.in_range) + "]";
        comma = true;
    }
    return j + "]}";
}

std::string sweep_settings_from_form(const std::map<std::string, std::string>& form, sweep::Settings& s)
{
    auto get = [&](const char* name) {
        const auto it = form.find(name);
        return it == form.end() ? std::string() : it->second;
    };
    sweep::Settings n = s;
    const std::string shape = get("shape");
    if (shape != "staircase" && shape != "list")
        return "shape: staircase or list";
    n.shape = shape == "list" ? sweep::Shape::list : sweep::Shape::staircase;
    struct Whole {
        const char* name;
        int* into;
    };
    for (const Whole& w : {Whole{"start", &n.start}, Whole{"stop", &n.stop}, Whole{"step", &n.step},
                           Whole{"settle_ms", &n.settle_ms}, Whole{"readings", &n.readings},
                           Whole{"repeats", &n.repeats}, Whole{"slew", &n.slew}})
        if (!whole(get(w.name), *w.into))
            return std::string(w.name) + ": a whole number";
    const std::string d = get("direction");
    if (d == "up")
        n.direction = sweep::Direction::up;
    else if (d == "down")
        n.direction = sweep::Direction::down;
    else if (d == "updown")
        n.direction = sweep::Direction::up_down;
    else
        return "direction: up, down or updown";
    const std::string end = get("end");
    if (end != "back" && end != "hold")
        return "end: back or hold";
    n.end = end == "hold" ? sweep::EndState::hold : sweep::EndState::back;
    if (n.shape == sweep::Shape::list) {
        const sweep::ParsedList list = sweep::parse_list(get("list"));
        if (!list.error.empty())
            return "list: " + list.error;
        n.list = list.points;
    }
    if (std::string why = sweep::check(n); !why.empty())
        return why;
    s = n;
    return {};
}

} // namespace korvel::web
