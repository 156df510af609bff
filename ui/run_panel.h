// The program around the panel: the panel's logic over the port that main()
// chose, its window, and the termination signals.
#pragma once

#include "panel/form1.h"
#include "port/port.h"
#include "ui/main_window.h"
#include "ui/termination_signals.h"

#include <functional>
#include <memory>
#include <string_view>

namespace korvel {

// The panel's logic over `port`, its window, and SIGINT, SIGTERM and SIGHUP
// running the Exit sequence. Needs a QApplication.
class PanelSession {
public:
    // ports: the port selector's items beyond the design's, and the start port.
    explicit PanelSession(Port& port, const PortOffer& ports = {});
    PanelSession(const PanelSession&) = delete;
    PanelSession& operator=(const PanelSession&) = delete;

    Form1& form() { return form_; }
    ui::MainWindow& window() { return window_; }

    // Runs the event loop until the panel ends and returns its status.
    // However the loop ended, the board is left in the safe state: the Exit
    // sequence runs here unless it already has.
    int exec();

private:
    ui::TerminationSignals termination_;
    Form1 form_;
    ui::MainWindow window_;
};

// The one style and palette the fixed layout is drawn for, the same on every
// desktop. Needs a QApplication.
void use_panel_style();

// Runs the panel until it ends; returns the exit status. Every way out
// (Exit, closing the window, SIGINT, SIGTERM, SIGHUP, the event loop ending
// otherwise) leaves the board in the safe state. Needs a QApplication.
// test_actions: a script of user actions for tests (ui/scripted_actions.h);
// empty for users.
// start: runs once the panel has loaded and its window is shown; what it
// gives lives until the panel has ended (front ends beside the window).
using SessionStart = std::function<std::shared_ptr<void>(PanelSession&)>;
int run_panel(Port& port, const PortOffer& ports, std::string_view test_actions = {},
              const SessionStart& start = {});

} // namespace korvel
