// --review FILE: the trend window read only on a reading store or a CSV log of --record,
// without a panel, a port, a watchdog or a socket.
#pragma once

#include "app/options.h"
#include "history/reading_source.h"
#include "session/window_module.h"

#include <memory>
#include <string>

namespace korvel::app {

// The readings of a file to review. A CSV log is read whole; each row that
// does not parse is named on standard error (the file, the line, why) and
// left out; a reading store is read where it lies, beside a program that may
// be writing it. nullptr when the file cannot be reviewed; *error then holds
// the line for standard error.
std::unique_ptr<history::ReadingSource> open_for_review(const std::string& path, const char* program,
                                                         std::string* error);

// Looks for a display, reads the file, and shows it until the window is
// closed; returns the exit status (1 when there is no display, the window
// cannot be loaded or the file cannot be reviewed, each said in one line;
// 2 for what Qt leaves on the command line that is not the program's).
// window: the window to use; nullptr loads the window module.
int run_review(int argc, char** argv, const Program& program, const std::string& path,
               const WindowModule* window);

} // namespace korvel::app
