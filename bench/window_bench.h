// What the benchmarks with korvel-sim's window share: the application,
// offscreen unless QT_QPA_PLATFORM names a platform (xcb shows the window on
// the desktop), in the style korvel-sim sets so that the painting measured
// is the user's; korvel-sim's board on the real clock, measuring its own
// set-point output; and the remote interface on a loopback port.
#pragma once

#include "remote/server.h"
#include "sim/clock.h"
#include "sim/sim_board.h"

#include <QApplication>

namespace korvel::bench {

class WindowBench {
public:
    // argc must outlive the bench (the application keeps a reference).
    WindowBench(int& argc, char** argv);

    sim::SimBoard& board() { return board_; }

private:
    struct Platform {
        Platform();
    } platform_;
    QApplication app_;
    struct Style {
        Style();
    } style_;
    sim::RealClock clock_;
    sim::SimBoard board_{clock_};
};

// Listens on a free loopback port; false, with a line on standard error,
// when it cannot.
bool listen_on_loopback(remote::Server& server);

// A client's socket connected to a loopback port, with Nagle's delay off so
// that each line goes at once; -1 when it cannot connect.
int connect_to_loopback(quint16 port);

} // namespace korvel::bench
