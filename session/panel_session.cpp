#include "session/panel_session.h"

#include <QCoreApplication>

#include <chrono>

namespace korvel {

// The signal handlers come first: a signal that arrives while the panel is
// being set up waits in the pipe and runs the Exit sequence once the event
// loop runs.
PanelSession::PanelSession(Port& port, const PortOffer& ports)
    : port_(port),
      panel_(port, ports),
      history_feed_(panel_,
                    [this](const dvm::Reading& r) {
                        history_.add(history_sample(panel_, r, wall_clock_ms()));
                    }),
      timers_(panel_.controls()), sweep_(panel_)
{
    termination_.on_signal = [this](int) { panel_.close(); };
    // Without a window, Exit ends the event loop at once; a window replaces
    // this with its own end.
    panel_.end_program = [] { QCoreApplication::exit(0); };
}

// What the front ends attached (the last member) goes first, while the
// panel still exists.
PanelSession::~PanelSession() = default;

history::Sample history_sample(const Panel& panel, const dvm::Reading& reading,
                               std::int64_t time_ms)
{
    history::Sample s;
    s.time_ms = time_ms;
    s.value = static_cast<std::int16_t>(reading.value());
    s.setpoint = static_cast<std::int16_t>(panel.setpoint());
    s.mark = reading.over    ? history::Mark::over
             : reading.under ? history::Mark::under
                             : history::Mark::none;
    switch (panel.mode()) {
    case Mode::zep: s.mode = history::Mode::zep; break;
    case Mode::dvm: s.mode = history::Mode::dvm; break;
    case Mode::dpc: s.mode = history::Mode::dpc; break;
    }
    return s;
}

std::int64_t wall_clock_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

int PanelSession::exec()
{
    const int status = QCoreApplication::exec();
    if (!panel_.ended())
        panel_.close();
    return status;
}

int run_without_window(Port& port, const PortOffer& ports, const FrontEnds& front_ends)
{
    PanelSession session(port, ports);
    session.panel().load();
    if (front_ends)
        front_ends(session);
    return session.exec();
}

} // namespace korvel
