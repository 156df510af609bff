// korvel-sim for the process tests: the same program, which also plays the
// user actions named by KORVEL_SIM_ACTIONS (support/scripted_actions.h),
// crashes and uncaught exceptions included. Built for the tests only and
// never installed.
#include "app/guarded_run.h"
#include "sim/simulated.h"
#include "support/scripted_actions.h"
#include "ui/run_panel.h"

#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    const char* actions = std::getenv("KORVEL_SIM_ACTIONS");
    const std::string script = actions ? actions : "";
    return korvel::run_guarded(argc, argv, {"korvel-sim", false},
                               korvel::sim::make_simulated_board,
                               korvel::sim::reopen_simulated_board,
                               [&script](korvel::PanelSession& session) {
                                   auto* with_window = dynamic_cast<korvel::WindowSession*>(&session);
                                   if (!script.empty() && with_window)
                                       korvel::ui::play_actions(session.panel(),
                                                                with_window->window(), script);
                               },
                               &korvel::linked_window_module());
}
