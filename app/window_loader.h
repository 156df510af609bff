// Finding the window for a program that shows one: whether a display can be
// had at all, and the window module, loaded only then.
#pragma once

#include "session/window_module.h"

#include <QStringList>

#include <string>

namespace korvel::app {

// Why no window can be opened before even trying: no display named
// (DISPLAY and WAYLAND_DISPLAY unset or empty) and no platform chosen
// (QT_QPA_PLATFORM unset, no -platform option). "" when one may be there.
// args: the command line, the program's name first.
std::string missing_display(const QStringList& args);

// Loads the window module: beside the executable (a build tree) or in the
// program's private library folder. nullptr when it cannot be loaded; *why
// then says why, as a clause.
const WindowModule* load_window_module(std::string* why);

} // namespace korvel::app
