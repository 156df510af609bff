#include "app/guarded_run.h"

#include "app/scripting.h"

#include "guard/crash.h"
#include "guard/guarded_port.h"
#include "ui/run_panel.h"

namespace korvel {

int run_guarded(int argc, char** argv, std::string_view model,
                const std::function<std::unique_ptr<Port>()>& open, guard::Reopen reopen,
                std::string_view test_actions)
{
    // The watchdog first: before any port is opened and before any thread.
    guard::Registry& registry = guard::shared_registry();
    guard::start_watchdog(registry, std::move(reopen));

    std::unique_ptr<Port> device = open();
    guard::GuardedPort port(*device, registry);
    guard::LastWords last_words(port);
    const int status = run_panel(argc, argv, port, test_actions,
                                 scripting_extras(std::string(model)));
    // The panel's Exit left its current port safe; any other port it drove
    // gets the safe state now, and the watchdog learns that all is done.
    port.finish();
    return status;
}

} // namespace korvel
