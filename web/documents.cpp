#include "web/documents.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace korvel::web {

namespace {

// Length of the UTF-8 sequence starting at s[i], or 0 when it is not one.
std::size_t utf8_length(std::string_view s, std::size_t i)
{
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size())
        return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2)
            return 0;
    return n;
}

std::string number(double v)
{
    if (!std::isfinite(v))
        return "null";
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3f", v);
    return buffer;
}

const char* mode_name(Mode m)
{
    switch (m) {
    case Mode::zep: return "ZEP";
    case Mode::dpc: return "DPC";
    case Mode::dvm: return "DVM";
    }
    return "";
}

std::string list_json(const std::vector<std::string>& items)
{
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i)
        out += (i ? "," : "") + json_string(items[i]);
    return out + "]";
}

std::string spin_json(const Control& c)
{
    const Design& d = c.design();
    return "{\"value\":" + std::to_string(c.value()) + ",\"min\":" + std::to_string(d.min) +
           ",\"max\":" + std::to_string(d.max) + ",\"step\":" + std::to_string(d.step) +
           ",\"enabled\":" + (c.enabled() ? "true" : "false") + "}";
}

} // namespace

std::string html_escape(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = utf8_length(text, i);
        if (n == 0 || (n == 1 && static_cast<unsigned char>(text[i]) < 0x20 && text[i] != '\n')) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        switch (text[i]) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out.append(text.substr(i, n)); break;
        }
        i += n;
    }
    return out;
}

std::string json_string(std::string_view text)
{
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = utf8_length(text, i);
        if (n == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == '<' || c == '>' || c == '&') {
            // '<' and friends too, so that the text is inert inside a page.
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else {
            out.append(text.substr(i, n));
        }
        i += n;
    }
    return out + "\"";
}

std::string identification_xml(const Identity& id, std::string_view page_url)
{
    const auto e = [](std::string_view s) { return html_escape(s); };
    std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                    "<LXIDevice xmlns=\"http://www.lxistandard.org/InstrumentIdentification/1.0\" "
                    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n";
    x += "  <Manufacturer>" + e(id.manufacturer) + "</Manufacturer>\n";
    x += "  <Model>" + e(id.model) + "</Model>\n";
    x += "  <SerialNumber>" + e(id.serial) + "</SerialNumber>\n";
    x += "  <FirmwareRevision>" + e(id.firmware) + "</FirmwareRevision>\n";
    x += "  <ManufacturerDescription>Instrument board on a parallel port; free software under the GNU GPL "
         "version 3 or later</ManufacturerDescription>\n";
    x += "  <HomepageURL>" + e(page_url) + "</HomepageURL>\n";
    x += "  <DriverURL>" + e(page_url) + "</DriverURL>\n";
    x += "  <UserDescription>" + e(id.hostname) + "</UserDescription>\n";
    x += "  <IdentificationURL>" + e(page_url) + "lxi/identification</IdentificationURL>\n";
    x += "  <Interface xsi:type=\"NetworkInformation\" InterfaceType=\"LXI\" IPType=\"" +
         std::string(id.address.find(':') != std::string::npos ? "IPv6" : "IPv4") +
         "\" InterfaceName=\"eth0\">\n";
    if (!id.visa.empty())
        x += "    <InstrumentAddressString>" + e(id.visa) + "</InstrumentAddressString>\n";
    if (!id.vxi11_visa.empty())
        x += "    <InstrumentAddressString>" + e(id.vxi11_visa) + "</InstrumentAddressString>\n";
    x += "    <Hostname>" + e(id.hostname) + "</Hostname>\n";
    x += "    <IPAddress>" + e(id.address) + "</IPAddress>\n";
    x += "  </Interface>\n";
    x += "  <LXIVersion>1.5</LXIVersion>\n";
    x += "</LXIDevice>\n";
    return x;
}

std::string state_json(const Panel& panel, const TrendState& trend, const std::string& store_line)
{
    const Controls& c = panel.controls();
    std::string bits_usable = panel.power() && panel.mode() == Mode::dpc ? "true" : "false";
    std::string s = "{\"type\":\"state\"";
    s += ",\"power\":" + std::string(panel.power() ? "true" : "false");
    s += ",\"ended\":" + std::string(panel.ended() ? "true" : "false");
    s += ",\"mode\":" + json_string(mode_name(panel.mode()));
    s += ",\"modes\":" + list_json(c.mode_selector.items());
    s += ",\"port\":" + json_string(panel.port_item());
    s += ",\"ports\":" + list_json(c.port_selector.items());
    s += ",\"registers\":[" + json_string(c.data_address_box.text()) + "," +
         json_string(c.status_address_box.text()) + "," + json_string(c.control_address_box.text()) + "]";
    s += ",\"setpoint\":" + std::to_string(panel.setpoint());
    s += ",\"coarse\":" + spin_json(c.coarse_spin);
    s += ",\"medium\":" + spin_json(c.medium_spin);
    s += ",\"fine\":" + spin_json(c.fine_spin);
    s += ",\"bits\":" + std::to_string(panel.bits());
    s += ",\"bits_usable\":" + bits_usable;
    s += ",\"reading\":" + json_string(c.reading_box.text());
    s += ",\"over\":" + std::string(c.over_mark.visible() ? "true" : "false");
    s += ",\"under\":" + std::string(c.under_mark.visible() ? "true" : "false");
    s += ",\"converting\":" + std::string(c.conversion_lamp.colour() == 0xFF0000 ? "true" : "false");
    s += ",\"trend\":" + std::string(!trend.available ? "null" : trend.open ? "true" : "false");
    s += ",\"store\":" + (store_line.empty() ? std::string("null") : json_string(store_line));
    return s + "}";
}

std::string sample_json(const history::Sample& s)
{
    return "{\"type\":\"reading\",\"t\":" + std::to_string(s.time_ms) + ",\"v\":" + std::to_string(s.value) +
           ",\"mark\":\"" + history::text(s.mark) + "\",\"sp\":" + std::to_string(s.setpoint) + "}";
}

std::string statistics_json(const history::Statistics& s)
{
    std::string out = "{\"count\":" + std::to_string(s.count) + ",\"over\":" + std::to_string(s.over) +
                      ",\"under\":" + std::to_string(s.under);
    if (s.count > 0)
        out += ",\"min\":" + std::to_string(s.min) + ",\"max\":" + std::to_string(s.max) +
               ",\"mean\":" + number(s.mean) + ",\"sdev\":" + number(s.sdev);
    return out + "}";
}

std::string history_json(const history::ReadingSource& h, std::int64_t t0, std::int64_t t1,
                         int max_samples)
{
    std::string out = "{\"type\":\"history\",\"t0\":" + std::to_string(t0) + ",\"t1\":" + std::to_string(t1) +
                      ",\"samples\":[";
    const history::Statistics stats = h.statistics(t0, t1);
    const std::size_t in_range = stats.count + stats.over + stats.under;
    bool any = false;
    const auto point = [&](std::int64_t t, int v, const char* mark) {
        out += std::string(any ? "," : "") + "[" + std::to_string(t) + "," + std::to_string(v) + ",\"" + mark + "\"]";
        any = true;
    };
    if (max_samples > 1 && in_range > static_cast<std::size_t>(max_samples)) {
        // Each column's extremes in time order, so no peak is lost.
        for (const history::Column& col : h.reduce(t0, t1, max_samples / 2)) {
            if (col.count == 0)
                continue;
            const std::int64_t mid = col.t0 + (col.t1 - col.t0) / 2;
            point(col.t0, col.first <= col.last ? col.min : col.max, "");
            point(mid, col.first <= col.last ? col.max : col.min, "");
        }
    } else {
        h.visit(t0, t1, [&](const history::Sample& s) {
            point(s.time_ms, s.value, history::text(s.mark));
            return true;
        });
    }
    out += "],\"statistics\":" + statistics_json(stats) + "}";
    return out;
}

std::optional<TimeRange> time_range(const std::map<std::string, std::string>& query, std::int64_t now_ms,
                                    std::optional<std::int64_t> oldest, int default_span_s,
                                    std::string* why)
{
    // 1970-01-01 to 9999-12-31: what a date field and the CSV's times show.
    constexpr std::int64_t latest = 253402300800000;
    const auto number = [&](const char* name, std::int64_t* v) {
        const auto it = query.find(name);
        if (it == query.end())
            return true;
        const std::string& text = it->second;
        std::int64_t n = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
        if (text.empty() || ec != std::errc() || end != text.data() + text.size() || n < 0 || n > latest) {
            *why = std::string(name) + " must be a time in ms since 1970-01-01 UTC, from 0 to " +
                   std::to_string(latest);
            return false;
        }
        *v = n;
        return true;
    };
    TimeRange r;
    r.t1 = now_ms + 1;
    const auto span = query.find("span");
    const bool has_t0 = query.contains("t0"), has_t1 = query.contains("t1");
    if (span != query.end() && (has_t0 || has_t1)) {
        *why = "give either span or t0 and t1, not both";
        return std::nullopt;
    }
    if (has_t1 && !has_t0) {
        *why = "t1 needs t0";
        return std::nullopt;
    }
    if (has_t0) {
        if (!number("t0", &r.t0) || !number("t1", &r.t1))
            return std::nullopt;
    } else if (span != query.end() && span->second == "all") {
        r.t0 = std::min(oldest.value_or(now_ms), now_ms);
    } else {
        std::int64_t seconds = default_span_s;
        if (span != query.end()) {
            const std::string& text = span->second;
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
            if (text.empty() || ec != std::errc() || end != text.data() + text.size() || seconds < 1 ||
                seconds > latest / 1000) {
                *why = "span must be a number of seconds (1 or more) or all";
                return std::nullopt;
            }
        }
        r.t0 = std::max<std::int64_t>(0, r.t1 - seconds * 1000);
    }
    if (r.t0 >= r.t1) {
        *why = "t0 must be before t1";
        return std::nullopt;
    }
    return r;
}

} // namespace korvel::web
