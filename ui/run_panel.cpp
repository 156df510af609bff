#include "ui/run_panel.h"

#include <QApplication>
#include <QStyle>
#include <QStyleFactory>

#include <chrono>


namespace korvel {

// The signal handlers come first: a signal that arrives while the window is
// being built waits in the pipe and runs the Exit sequence once the event
// loop runs.
PanelSession::PanelSession(Port& port, const PortOffer& ports)
    : panel_(port, ports),
      history_feed_(panel_,
                    [this](const dvm::Reading& r) {
                        history_.add(history_sample(panel_, r, wall_clock_ms()));
                    }),
      window_(panel_)
{
    termination_.on_signal = [this](int) { panel_.close(); };
    // The trend window beside the panel's window.
    trend_ = std::make_unique<ui::TrendLink>(window_, *window_.widget(ControlId::reading_box), history_);
    trend_open = [this] { return trend_->is_open(); };
    set_trend_open = [this](bool open) { trend_->set_open(open); };
}

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
    const int status = QApplication::exec();
    trend_->set_open(false);  // the trend goes with the panel
    if (!panel_.ended())
        panel_.close();
    return status;
}

void use_panel_style()
{
    // The layout is fixed to the pixel: the same style and colours on every
    // desktop.
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) {
        QApplication::setStyle(fusion);
        QApplication::setPalette(fusion->standardPalette());
    }
}

int run_panel(Port& port, const PortOffer& ports, const FrontEnds& front_ends)
{
    use_panel_style();

    PanelSession session(port, ports);
    session.window().show();
    if (front_ends)
        front_ends(session);
    return session.exec();
}

} // namespace korvel
