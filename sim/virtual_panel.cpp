#include "sim/virtual_panel.h"

#include <algorithm>

namespace korvel::sim {

VirtualPanel::VirtualPanel(std::int64_t clock_hz)
    : board(clock, clock_hz), form(board),
      timers(form.c, [this](std::int64_t ns) { clock.set_ns(ns); })
{
}

void VirtualPanel::open()
{
    form.form_load();
    form.form_activate();
}

void VirtualPanel::power_on()
{
    if (form.st.power == 0)
        form.c.Command9.fire();
}

void VirtualPanel::set_point(int value)
{
    const int coarse
        = std::clamp(value, form.c.VScroll1.design().min, form.c.VScroll1.design().max);
    const int rest = value - coarse;
    const int medium = std::clamp(rest, form.c.VScroll2.design().min, form.c.VScroll2.design().max);
    form.c.VScroll1.set_value(coarse);
    form.c.VScroll2.set_value(medium);
    form.c.VScroll3.set_value(rest - medium);
}

} // namespace korvel::sim
