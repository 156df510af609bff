// What both programs do around the window: the watchdog, the tracking of
// every port driven, the last-words handlers, and the safe state of every
// driven board at the end.
#pragma once

#include "guard/watchdog.h"

#include <functional>
#include <memory>
#include <string_view>

namespace korvel {

// model: the program's name in the remote identity ("korvel", "korvel-sim").
// open: the port for the panel. reopen: the same ports again, from the
// watchdog process once the panel is gone.
// test_actions: user actions played by tests (ui/scripted_actions.h).
int run_guarded(int argc, char** argv, std::string_view model,
                const std::function<std::unique_ptr<Port>()>& open, guard::Reopen reopen,
                std::string_view test_actions = {});

} // namespace korvel
