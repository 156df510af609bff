// The program around the panel with its window: the session of the panel
// core (session/) and the window over it.
#pragma once

#include "panel/panel.h"
#include "port/port.h"
#include "session/panel_session.h"
#include "ui/main_window.h"
#include "ui/sweep_link.h"
#include "ui/trend_link.h"

#include <memory>
#include <string>

namespace korvel {

// The panel session with its window, which closes by the Exit sequence.
// Needs a QApplication.
class WindowSession : public PanelSession {
public:
    // ports: the port selector's items beyond the design's, and the start port.
    explicit WindowSession(Port& port, const PortOffer& ports = {});

    ui::MainWindow& window() { return window_; }
    // The trend window's opener (double-click on the reading, Ctrl+T); the
    // session's trend_open and set_trend_open use it.
    ui::TrendLink& trend() { return *trend_; }
    // The sweep window's opener (Ctrl+W); the session's sweep window hooks
    // use it.
    ui::SweepLink& sweep_link() { return *sweep_link_; }

private:
    ui::MainWindow window_;
    std::unique_ptr<ui::TrendLink> trend_;  // goes first: it watches the window's reading
    std::unique_ptr<ui::SweepLink> sweep_link_;
};

// The one style and palette the fixed layout is drawn for, the same on every
// desktop. Needs a QApplication.
void use_panel_style();

// Runs the panel with its window until it ends; returns the exit status.
// Every way out (Exit, closing the window, SIGINT, SIGTERM, SIGHUP, the
// event loop ending otherwise) leaves the board in the safe state. The front
// ends start once the window shows. Needs a QApplication.
int run_panel(Port& port, const PortOffer& ports, const FrontEnds& front_ends = {});

// --review: the trend window alone, read only on `readings` (named `what`
// in its title), until it is closed; returns the exit status. No panel, no
// port. Needs a QApplication.
int run_review(const history::ReadingSource& readings, const std::string& what);

} // namespace korvel
