// korvel-sim for the process tests: the same program, which also plays the
// user actions named by KORVEL_SIM_ACTIONS (support/scripted_actions.h),
// crashes and uncaught exceptions included. Built for the tests only and
// never installed.
#include "app/guarded_run.h"
#include "sim/simulated.h"
#include "support/scripted_actions.h"

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
                                   if (!script.empty())
                                       korvel::ui::play_actions(session.panel(), session.window(),
                                                                script);
                               });
}
