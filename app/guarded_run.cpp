#include "app/guarded_run.h"

#include "guard/crash.h"
#include "guard/guarded_port.h"

namespace korvel {

int run_guarded(int argc, char** argv, const std::function<std::unique_ptr<Port>()>& open,
                guard::Reopen reopen, const FrontEnds& front_ends)
{
    // The watchdog first: before any port is opened and before any thread.
    guard::Registry& registry = guard::shared_registry();
    guard::start_watchdog(registry, std::move(reopen));

    std::unique_ptr<Port> device = open();
    guard::GuardedPort port(*device, registry);
    guard::LastWords last_words(port);
    const int status = run_panel(argc, argv, port, front_ends);
    // The panel's Exit left its current port safe; any other port it drove
    // gets the safe state now, and the watchdog learns that all is done.
    port.finish();
    return status;
}

} // namespace korvel
