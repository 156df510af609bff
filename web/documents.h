// What the web page is made of, as text: the identification XML, the
// panel's state and the reading history as JSON, and the escaping that
// keeps any text of the panel or of a client inert in HTML, XML and JSON.
// Plain C++ over the panel's observations.
#pragma once

#include "history/reading_history.h"
#include "panel/panel.h"

#include <cstdint>
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
std::string state_json(const Panel& panel, const TrendState& trend);
// {"type":"reading","t":...}: one reading of the history.
std::string sample_json(const history::Sample& s);
// {"type":"history","samples":[...],"statistics":{...}}: the readings kept
// with t0 <= time < t1, at most max_samples (reduced to min/max pairs per
// column beyond that), and the statistics over that span.
std::string history_json(const history::ReadingHistory& h, std::int64_t t0, std::int64_t t1,
                         int max_samples);
std::string statistics_json(const history::Statistics& s);

} // namespace korvel::web
