// The program around the panel, with or without a window: the panel core
// over the port that main() chose, its three timers on the event loop, the
// reading history, and SIGINT, SIGTERM and SIGHUP running the Exit sequence.
// The window (ui/) extends it; front ends (the remote interface, the reading
// log, ...) attach to it the same way in both cases.
#pragma once

#include "history/reading_history.h"
#include "panel/marked_readings.h"
#include "panel/panel.h"
#include "port/port.h"
#include "session/panel_timers.h"
#include "session/termination_signals.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <string>

class QTimer;

namespace korvel {

// Needs a QCoreApplication (or a widget application).
class PanelSession {
public:
    // ports: the port selector's items beyond the design's, and the start port.
    explicit PanelSession(Port& port, const PortOffer& ports = {});
    virtual ~PanelSession();
    PanelSession(const PanelSession&) = delete;
    PanelSession& operator=(const PanelSession&) = delete;

    Panel& panel() { return panel_; }
    // Every reading the panel accepts, with its wall-clock time.
    history::ReadingHistory& history() { return history_; }
    // The readings over time as front ends read them: the reading store
    // when there is one (set with read_from), else the history.
    history::ReadingSource& readings() { return readings_ ? *readings_ : history_; }
    // source must outlive the session's front ends; nullptr: the history.
    void read_from(history::ReadingSource* source) { readings_ = source; }
    // Why the reading store keeps no more readings ("" while it writes or
    // where there is none), for the front ends that show it.
    std::function<std::string()> store_state_line;
    // The QTimer of one of the panel's timers (sync_timer, refresh_timer,
    // scan_timer).
    QTimer* timer(ControlId id) const { return timers_.timer(id); }
    // A parent for what front ends attach: its children go before the
    // panel does, so none outlives the panel it drives.
    QObject& attachments() { return attachments_; }

    // The trend window, for the front ends that open and close it (the
    // remote interface, the web page): set where a trend window exists,
    // empty otherwise.
    std::function<bool()> trend_open;
    std::function<void(bool)> set_trend_open;

    // Runs the event loop until the panel ends and returns its status.
    // However the loop ended, the board is left in the safe state: the Exit
    // sequence runs here unless it already has.
    int exec();

private:
    TerminationSignals termination_;
    Panel panel_;
    history::ReadingHistory history_;
    history::ReadingSource* readings_ = nullptr;
    // Feeds the history each reading with the marks seen during its
    // conversion.
    MarkedReadings history_feed_;
    PanelTimers timers_;
    QObject attachments_;
};

// The history's record of a reading the panel has just accepted: the time
// now, the mode and the set-point in force.
history::Sample history_sample(const Panel& panel, const dvm::Reading& reading,
                               std::int64_t time_ms);
// Milliseconds since 1970-01-01 UTC.
std::int64_t wall_clock_ms();

// More front ends beside the panel: called once the panel has loaded (and
// the window shows, where there is one), before the event loop runs.
using FrontEnds = std::function<void(PanelSession&)>;

// Runs the panel without a window until it ends (Exit from a front end,
// SIGINT, SIGTERM, SIGHUP); returns the exit status. The panel is loaded
// (the start port gets the safe state) before the front ends start. Needs a
// QCoreApplication; loads no widget or display library.
int run_without_window(Port& port, const PortOffer& ports, const FrontEnds& front_ends = {});

} // namespace korvel
