// korvel-sim: the panel on the built-in simulated board.
#include "sim/simulated.h"
#include "ui/run_panel.h"

int main(int argc, char** argv)
{
    auto board = korvel::sim::make_simulated_board();
    return korvel::run_panel(argc, argv, *board);
}
