// korvel: the panel on the PC's real parallel ports.
#include "app/guarded_run.h"
#include "port/hardware.h"

int main(int argc, char** argv)
{
    return korvel::run_guarded(argc, argv, {"korvel", true}, korvel::open_hardware_port,
                               korvel::reopen_hardware_port);
}
