// korvel-sim: the panel on the built-in simulated board.
#include "app/guarded_run.h"
#include "sim/simulated.h"

int main(int argc, char** argv)
{
    return korvel::run_guarded(argc, argv, {"korvel-sim", false},
                               korvel::sim::make_simulated_board,
                               korvel::sim::reopen_simulated_board);
}
