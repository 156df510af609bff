#include "ui/run_panel.h"

#include <QApplication>
#include <QStyle>
#include <QStyleFactory>


namespace korvel {

// The signal handlers come first: a signal that arrives while the window is
// being built waits in the pipe and runs the Exit sequence once the event
// loop runs.
PanelSession::PanelSession(Port& port, const PortOffer& ports)
    : panel_(port, ports), window_(panel_)
{
    termination_.on_signal = [this](int) { panel_.close(); };
}

int PanelSession::exec()
{
    const int status = QApplication::exec();
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
