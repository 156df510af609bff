// korvel: the panel on the PC's real parallel ports.
#include "port/hardware.h"
#include "ui/run_panel.h"

int main(int argc, char** argv)
{
    auto port = korvel::open_hardware_port();
    return korvel::run_panel(argc, argv, *port);
}
