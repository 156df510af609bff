// The program around the panel: the panel core over the port that main()
// chose, its window, and the termination signals.
#pragma once

#include "history/reading_history.h"
#include "panel/marked_readings.h"
#include "panel/panel.h"
#include "port/port.h"
#include "ui/main_window.h"
#include "ui/termination_signals.h"
#include "ui/trend_link.h"

#include <functional>
#include <memory>

namespace korvel {

// The panel core over `port`, its window, and SIGINT, SIGTERM and SIGHUP
// running the Exit sequence. Needs a QApplication.
class PanelSession {
public:
    // ports: the port selector's items beyond the design's, and the start port.
    explicit PanelSession(Port& port, const PortOffer& ports = {});
    PanelSession(const PanelSession&) = delete;
    PanelSession& operator=(const PanelSession&) = delete;

    Panel& panel() { return panel_; }
    ui::MainWindow& window() { return window_; }
    // Every reading the panel accepts, with its wall-clock time.
    history::ReadingHistory& history() { return history_; }

    // The trend window, for the front ends that open and close it (the
    // remote interface, the web page): set where a trend window exists,
    // empty otherwise.
    std::function<bool()> trend_open;
    std::function<void(bool)> set_trend_open;
    // The trend window's opener (double-click on the reading, Ctrl+T),
    // which trend_open and set_trend_open above use.
    ui::TrendLink& trend() { return *trend_; }

    // Runs the event loop until the panel ends and returns its status.
    // However the loop ended, the board is left in the safe state: the Exit
    // sequence runs here unless it already has.
    int exec();

private:
    ui::TerminationSignals termination_;
    Panel panel_;
    history::ReadingHistory history_;
    MarkedReadings history_feed_;
    ui::MainWindow window_;
    std::unique_ptr<ui::TrendLink> trend_;  // goes first: it watches the window's reading
};

// The history's record of a reading the panel has just accepted: the time
// now, the mode and the set-point in force.
history::Sample history_sample(const Panel& panel, const dvm::Reading& reading,
                               std::int64_t time_ms);
// Milliseconds since 1970-01-01 UTC.
std::int64_t wall_clock_ms();

// The one style and palette the fixed layout is drawn for, the same on every
// desktop. Needs a QApplication.
void use_panel_style();

// More front ends beside the window: called once the window shows, before
// the event loop runs.
using FrontEnds = std::function<void(PanelSession&)>;

// Runs the panel until it ends; returns the exit status. Every way out
// (Exit, closing the window, SIGINT, SIGTERM, SIGHUP, the event loop ending
// otherwise) leaves the board in the safe state. Needs a QApplication.
int run_panel(Port& port, const PortOffer& ports, const FrontEnds& front_ends = {});

} // namespace korvel
