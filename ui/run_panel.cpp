#include "ui/run_panel.h"

#include "ui/scripted_actions.h"

#include <QApplication>
#include <QStyle>
#include <QStyleFactory>

#include <cstdio>

namespace korvel {

// The signal handlers come first: a signal that arrives while the window is
// being built waits in the pipe and runs the Exit sequence once the event
// loop runs.
PanelSession::PanelSession(Port& port) : form_(port), window_(form_)
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

int run_panel(int argc, char** argv, Port& port, std::string_view test_actions,
              const PanelExtras& extras)
{
    QApplication app(argc, argv);

    // Qt has taken its own options (-platform, -style ...) out of argv.
    const QStringList rest = QCoreApplication::arguments();
    if (extras.configure) {
        if (const auto status = extras.configure(rest))
            return *status;
    } else {
        const QString program = QCoreApplication::applicationName();
        for (qsizetype i = 1; i < rest.size(); ++i)
            std::fprintf(stderr,
                         "%s: ignoring argument '%s': the panel takes no options of its own\n",
                         qPrintable(program), qPrintable(rest[i]));
    }

    use_panel_style();

    PanelSession session(port);
    session.window().show();
    if (!test_actions.empty())
        ui::play_actions(session.form(), session.window(), test_actions);
    // Declared after the session: ends before the panel does.
    const std::shared_ptr<void> started = extras.start ? extras.start(session) : nullptr;
    return session.exec();
}

} // namespace korvel
