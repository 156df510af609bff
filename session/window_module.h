// The window as a module that the programs load only when a window is
// wanted: without it (--no-window) no widget, display or windowing-system
// library is ever mapped into the process. The module is built from ui/ and
// hands out one table of entry points; the programs find it beside the
// executable (a build tree) or in their private library folder.
#pragma once

#include "session/panel_session.h"

#include <QCoreApplication>

#include <memory>
#include <string>

namespace korvel {

struct WindowModule {
    // Makes the widget application the window needs, with the panel's style.
    // Qt takes its own options (-platform, -display ...) out of argc/argv,
    // which must outlive the application. When no display can be opened it
    // does not return: one line on standard error names the cause and
    // --no-window, and the process ends with status 1 (no toolkit abort, no
    // core file). program: the name the line starts with.
    std::unique_ptr<QCoreApplication> (*make_application)(int& argc, char** argv,
                                                          const char* program);
    // Runs the panel with its window (run_panel); needs make_application's
    // application.
    int (*run)(Port& port, const PortOffer& ports, const FrontEnds& front_ends);
    // The trend window alone, read only on a reading store or log
    // (run_review); needs make_application's application.
    int (*review)(const history::ReadingSource& readings, const std::string& what);
};

// The module's one exported symbol: returns its table.
using WindowModuleEntry = const WindowModule* (*)();
inline constexpr const char* window_module_entry_name = "korvel_window_module";

// The table of the window built into this program, for programs that link
// the window themselves (tests) instead of loading the module.
const WindowModule& linked_window_module();

} // namespace korvel
