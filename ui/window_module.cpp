// The window's entry points, for the programs that load the window as a
// module (and for those that link it).
#include "session/window_module.h"
#include "ui/run_panel.h"

#include <QApplication>
#include <QByteArray>
#include <QList>

#include <cstdio>
#include <string>
#include <unistd.h>

namespace korvel {

namespace {

// While the application is being made: the display plugin's warnings are
// held back, and a fatal failure to open a display ends the program with
// one line instead of the toolkit's abort.
const char* g_program = "korvel";
QtMessageHandler g_previous_handler = nullptr;
QList<QByteArray>* g_held = nullptr;

void while_starting(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtFatalMsg) {
        // The first line the display plugin gave is the cause
        // ("could not connect to display :7"), else Qt's own message.
        QString cause = g_held && !g_held->isEmpty() ? QString::fromUtf8(g_held->first()) : message;
        cause = cause.simplified();
        if (cause.endsWith(QLatin1Char('.')))
            cause.chop(1);
        const std::string line = std::string(g_program) + ": cannot open the window: no usable display (" +
                                 cause.toStdString() + "); to run without a screen, start '" +
                                 g_program + " --no-window --listen 5025' and drive the board remotely\n";
        [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
        // No abort, no core file: nothing was started that needs more.
        ::_exit(1);
    }
    if (g_held && context.category && QByteArray(context.category).startsWith("qt.qpa")) {
        g_held->append(message.toUtf8());
        return;
    }
    if (g_previous_handler)
        g_previous_handler(type, context, message);
    else
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

std::unique_ptr<QCoreApplication> make_application(int& argc, char** argv, const char* program)
{
    g_program = program;
    QList<QByteArray> held;
    g_held = &held;
    g_previous_handler = qInstallMessageHandler(while_starting);
    auto application = std::make_unique<QApplication>(argc, argv);
    qInstallMessageHandler(g_previous_handler);
    g_held = nullptr;
    // The window opened after all: what the display plugin said is worth
    // seeing.
    for (const QByteArray& line : held)
        std::fprintf(stderr, "%s\n", line.constData());
    return application;
}

const WindowModule module_table = {make_application, run_panel, run_review};

} // namespace

const WindowModule& linked_window_module() { return module_table; }

} // namespace korvel

extern "C" __attribute__((visibility("default"))) const korvel::WindowModule* korvel_window_module()
{
    return &korvel::module_table;
}
