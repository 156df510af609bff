#include "ui/run_panel.h"

#include "ui/scripted_actions.h"

#include <QApplication>
#include <QStyle>
#include <QStyleFactory>


namespace korvel {

// The signal handlers come first: a signal that arrives while the window is
// being built waits in the pipe and runs the Exit sequence once the event
// loop runs.
PanelSession::PanelSession(Port& port, const PortOffer& ports)
    : form_(port, ports), window_(form_)
{
    termination_.on_signal = [this](int) { form_.form_unload(); };
}

int PanelSession::exec()
{
    const int status = QApplication::exec();
    if (!form_.ended())
        form_.form_unload();
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

int run_panel(Port& port, const PortOffer& ports, std::string_view test_actions,
              const SessionStart& start)
{
    use_panel_style();

    PanelSession session(port, ports);
    session.window().show();
    if (!test_actions.empty())
        ui::play_actions(session.form(), session.window(), test_actions);
    // Declared after the session: ends before the panel does.
    const std::shared_ptr<void> started = start ? start(session) : nullptr;
    return session.exec();
}

} // namespace korvel
