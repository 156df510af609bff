// Plays a list of user actions on the running panel, so that tests can drive
// the real program (power ON, set a set-point, then end it some way) without
// a display. Only the test build of korvel-sim has it; no installed program
// does.
//
// The script is a ';'-separated list, one action per event-loop turn:
// NAME is a control's role ("power_button", "coarse_spin").
//   click NAME         the control's click (a button, as by the mouse)
//   set NAME VALUE     a spin control's value, as by the user
//   select NAME ITEM   a list item, as by the user
//   wait MS            a pause before the next action
//   close              closes the window, as the title bar's close button
//   throw              an exception that no handler catches
//   segv               a real segmentation fault
#pragma once

#include "panel/panel.h"

#include <QWidget>

#include <string_view>

namespace korvel::ui {

void play_actions(Panel& panel, QWidget& window, std::string_view script);

} // namespace korvel::ui
