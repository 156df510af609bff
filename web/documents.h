// What the web page is made of, as text: the identification XML, the
// panel's state and the reading history as JSON, and the escaping that
// keeps any text of the panel or of a client inert in HTML, XML and JSON.
// Plain C++ over the panel's observations.
#pragma once

#include "history/reading_history.h"
#include "panel/panel.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace korvel::web {

// Who the instrument is, from the same values as *IDN?.
struct Identity {
    std::string manufacturer = "korvel";
    std::string model;           // "korvel", "korvel-sim"
    std::string serial = "0";
    std::string firmware;        // the version, "0.1.0"
    std::string hostname;
    std::string address;         // the IP address the page was reached on
    std::string visa;            // TCPIP::<host>::<port>::SOCKET, empty without --listen
    std::string vxi11_visa;      // TCPIP::<host>::INSTR, empty without --vxi11
};

std::string html_escape(std::string_view text);
// A JSON string literal, quotes included; bytes that are not UTF-8 text
// are replaced, control characters escaped.
std::string json_string(std::string_view text);

// The XML identification document: Manufacturer, Model, SerialNumber,
// FirmwareRevision and the network interface with its resource string.
std::string identification_xml(const Identity& id, std::string_view page_url);

// What the trend control can do: nothing when there is no trend window.
struct TrendState {
    bool available = false;
    bool open = false;
};

// {"type":"state", ...}: everything the page shows of the panel. Changes
// with every change of what the window shows that the page shows too.
// store_line: why the reading store keeps no more readings ("" while it
// writes, or where there is none); "store" is null then.
std::string state_json(const Panel& panel, const TrendState& trend, const std::string& store_line = {});
// {"type":"reading","t":...}: one reading of the history.
std::string sample_json(const history::Sample& s);
// {"type":"history","samples":[...],"statistics":{...}}: the readings kept
// with t0 <= time < t1, at most max_samples (reduced to min/max pairs per
// column beyond that), and the statistics over that span.
std::string history_json(const history::ReadingSource& h, std::int64_t t0, std::int64_t t1,
                         int max_samples);

// A time range asked of the history endpoints, in ms since 1970-01-01 UTC:
// t0 <= time < t1.
struct TimeRange {
    std::int64_t t0 = 0, t1 = 0;
};
// The range of a query's fields, or why it is none (for a 400):
//   t0=MS&t1=MS   from t0 to t1 (t1 may be left out: up to now);
//   span=SECONDS  the last SECONDS up to now;
//   span=all      from the oldest reading kept (`oldest`) up to now;
//   nothing       the last `default_span_s` seconds.
// Times within 1970..9999 and t0 < t1.
std::optional<TimeRange> time_range(const std::map<std::string, std::string>& query, std::int64_t now_ms,
                                    std::optional<std::int64_t> oldest, int default_span_s,
                                    std::string* why);
std::string statistics_json(const history::Statistics& s);

} // namespace korvel::web
