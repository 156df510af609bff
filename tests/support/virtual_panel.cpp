#include "support/virtual_panel.h"

namespace korvel::sim {

VirtualPanel::VirtualPanel(std::int64_t clock_hz)
    : board(clock, clock_hz), panel(board),
      timers(panel.controls(), [this](std::int64_t ns) { clock.set_ns(ns); })
{
}

void VirtualPanel::open()
{
    panel.load();
    panel.activate();
}

void VirtualPanel::power_on() { panel.set_power(true); }

} // namespace korvel::sim
