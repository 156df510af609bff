// korvel-sim: the panel on the built-in simulated board.
#include "app/guarded_run.h"
#include "sim/simulated.h"

#include <cstdlib>

int main(int argc, char** argv)
{
    // Test hook: user actions for tests that drive the real program.
    const char* actions = std::getenv("KORVEL_SIM_ACTIONS");
    return korvel::run_guarded(argc, argv, {"korvel-sim", false},
                               korvel::sim::make_simulated_board,
                               korvel::sim::reopen_simulated_board, actions ? actions : "");
}
