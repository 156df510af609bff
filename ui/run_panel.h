// The program around the panel: the Qt application, the panel's logic over
// the port that main() chose, its window, and the termination signals.
#pragma once

#include "panel/form1.h"
#include "port/port.h"
#include "ui/main_window.h"
#include "ui/termination_signals.h"

#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <string_view>

namespace korvel {

// The panel's logic over `port`, its window, and SIGINT, SIGTERM and SIGHUP
// running the Exit sequence. Needs a QApplication.
class PanelSession {
public:
    explicit PanelSession(Port& port);
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

// What a program runs around the panel besides the window.
struct PanelExtras {
    // Runs once the application exists, with the program's own arguments
    // (Qt's options taken out), before any port is written. Returns an exit
    // status to end at once (having said why on standard error), or nothing
    // to go on. Unset: the program takes no arguments of its own.
    std::function<std::optional<int>(const QStringList& arguments)> configure;
    // Runs once the panel has loaded and its window is shown. What it gives
    // lives until the panel has ended.
    std::function<std::shared_ptr<void>(PanelSession& session)> start;
};

// Runs the panel until it ends; returns the exit status. Every way out
// (Exit, closing the window, SIGINT, SIGTERM, SIGHUP, the event loop ending
// otherwise) leaves the board in the safe state.
// test_actions: a script of user actions for tests (ui/scripted_actions.h);
// empty for users.
int run_panel(int argc, char** argv, Port& port, std::string_view test_actions = {},
              const PanelExtras& extras = {});

} // namespace korvel
