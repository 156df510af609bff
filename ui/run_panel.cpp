#include "ui/run_panel.h"

#include <QApplication>
#include <QStyle>
#include <QStyleFactory>

#include <cstdio>

namespace korvel {

// The signal handlers come first: a signal that arrives while the window is
// being built waits in the pipe and runs the Exit sequence once the event
// loop runs.
PanelSession::PanelSession(Port& port) : panel_(port), window_(panel_)
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

int run_panel(int argc, char** argv, Port& port, const FrontEnds& front_ends)
{
    QApplication app(argc, argv);

    // Qt has taken its own options (-platform, -style ...) out of argv.
    const QStringList rest = QCoreApplication::arguments();
    const QString program = QCoreApplication::applicationName();
    for (qsizetype i = 1; i < rest.size(); ++i)
        std::fprintf(stderr, "%s: ignoring argument '%s': the panel takes no options of its own\n",
                     qPrintable(program), qPrintable(rest[i]));

    use_panel_style();

    PanelSession session(port);
    session.window().show();
    if (front_ends)
        front_ends(session);
    return session.exec();
}

} // namespace korvel
