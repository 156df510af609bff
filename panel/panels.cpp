// The mode selector and the two pop-up panels (Port and Probe).
#include "panel/form1.h"

namespace korvel {

void Form1::combo2_click()
{
    const std::string& mode = c.Combo2.text();
    if (mode == "DPC") {
        c.Frame3.set_visible(true);
        c.Frame6.set_visible(false);
    } else if (mode == "ZEP") {
        c.Frame3.set_visible(false);
        c.Frame6.set_visible(true);
    } else {
        c.Frame3.set_visible(false);
        c.Frame6.set_visible(false);
    }
}

namespace {

void toggle_panel(int& flag, Control& frame)
{
    if (flag == 0) {
        flag = 1;
        frame.set_visible(true);
    } else {
        flag = 0;
        frame.set_visible(false);
    }
}

void close_panel(int& flag, Control& frame)
{
    frame.set_visible(false);
    flag = 0;
}

} // namespace

void Form1::command11_click() { toggle_panel(st.port_panel_open, c.Frame1); }
void Form1::command14_click() { close_panel(st.port_panel_open, c.Frame1); }
void Form1::command10_click() { toggle_panel(st.probe_panel_open, c.Frame5); }
void Form1::command13_click() { close_panel(st.probe_panel_open, c.Frame5); }

} // namespace korvel
