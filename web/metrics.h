// The figures of /metrics in Prometheus's text exposition format (version
// 0.0.4), so that a lab's Prometheus scrapes each board as it scrapes its
// machines. Plain C++. Figures only: no settings beyond the limits and the
// set-point, nothing of the host but the process's own figures.
//
// Every figure is read from where the panel, the reader, the history and
// the servers already keep it. Counters (`_total`) count from the start of
// the program and never go back: the history's totals, not its statistics,
// which CALCulate:AVERage:CLEar starts again.
#pragma once

#include "history/reading_history.h"
#include "panel/panel.h"
#include "web/documents.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvel::web {

inline constexpr const char* metrics_type = "text/plain; version=0.0.4; charset=utf-8";

// What /metrics shows that neither the panel nor its history knows: given
// by the program around them. An empty function counts as present, or
// as no clients.
struct MetricsSources {
    std::function<bool()> port_present;  // the panel's port reaches its device
    std::function<int()> remote_clients;  // SCPI clients connected (--listen)
};

// The process's own figures, as Prometheus's client libraries give them.
struct ProcessFigures {
    double cpu_seconds = 0;         // user and system time
    double resident_bytes = 0;
    double virtual_bytes = 0;
    double start_time_seconds = 0;  // since 1970-01-01 UTC
    double open_fds = 0;
    double max_fds = 0;
};
// From PROC/self/stat, PROC/self/statm, PROC/self/fd and PROC/stat's boot
// time; nothing when one cannot be read or makes no sense.
std::optional<ProcessFigures> read_process_figures(const std::string& proc, long clock_ticks, long page_bytes);
// The same for this process, from /proc.
std::optional<ProcessFigures> read_process_figures();

// Everything one scrape shows.
struct Figures {
    std::string program, version, port;          // build_info's labels
    std::optional<history::Sample> reading;      // the newest reading
    history::ReadingHistory::Totals totals;
    std::uint64_t conversions = 0;
    std::uint64_t samples = 0;
    std::uint64_t discarded = 0;
    bool limit_failing = false;
    std::optional<history::Limits> limits;       // while they are on
    bool power = false;
    Mode mode = Mode::zep;
    int setpoint = 0;
    int outputs = 0;
    bool port_present = true;
    int remote_clients = 0;
    int web_pages = 0;
    std::optional<ProcessFigures> process;
};

// The panel's, the reader's and the history's part of the figures.
Figures gather(const Panel& panel, const history::ReadingHistory& history);

// The exposition: # HELP and # TYPE before each family's samples, no
// time stamps on samples; a family with nothing to show is left out.
std::string exposition(const Figures& figures);

// One scrape of the web page's server: gather, fill in the rest, write.
std::string metrics_page(const Panel& panel, const history::ReadingHistory& history, const Identity& identity,
                         const MetricsSources& sources, int web_pages);

// The writer of the format, for one family after another.
class Exposition {
public:
    using Labels = std::vector<std::pair<std::string_view, std::string>>;

    // type: "counter" or "gauge".
    void family(std::string_view name, std::string_view type, std::string_view help);
    void sample(std::string_view name, double value, const Labels& labels = {});
    void sample(std::string_view name, std::uint64_t value, const Labels& labels = {});
    const std::string& text() const { return out_; }

private:
    void head(std::string_view name, const Labels& labels);
    std::string out_;
};

} // namespace korvel::web
