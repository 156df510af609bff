// What both programs do around the panel: the command line, the watchdog,
// the tracking of every port driven, the last-words handlers, and the safe
// state of every driven board at the end.
#pragma once

#include "app/options.h"
#include "guard/watchdog.h"
#include "session/panel_session.h"
#include "session/window_module.h"

#include <functional>
#include <memory>

namespace korvel {

// program: its name and whether it drives real ports (then the kernel's
// ports are offered in the port selector and --list-ports is answered).
// open: the port for the panel. reopen: the same ports again, from the
// watchdog process once the panel is gone.
// front_ends: more front ends beside the panel. window: the window to show
// unless --no-window is given; nullptr loads the window module (only then,
// so that --no-window maps no widget or display library).
int run_guarded(int argc, char** argv, const app::Program& program,
                const std::function<std::unique_ptr<Port>()>& open, guard::Reopen reopen,
                const FrontEnds& front_ends = {}, const WindowModule* window = nullptr);

} // namespace korvel
