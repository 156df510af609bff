// The web page's sweep panel in plain C++: the sweep's state, settings and
// points as JSON, and the settings read from the page's form.
#pragma once

#include "sweep/sweep.h"

#include <cstddef>
#include <map>
#include <string>

namespace korvel::web {

// {"running":..,"reason":..,"done":..,"total":..,"left_ms":..,"readings":..,
//  "settings":{..},"first":N,
//  "points":[[setpoint,mean,min,max,repeat,marks,readings in range],..]}
// with the points from index `since` of the run on (0: all).
std::string sweep_json(const sweep::Sweep& sweep, std::size_t since);

// The settings from the page's form fields (shape, start, stop, step,
// direction, list, settle_ms, readings, repeats, slew, end) over `s`: ""
// when read, else what is wrong; `s` is changed only when read.
std::string sweep_settings_from_form(const std::map<std::string, std::string>& form,
                                     sweep::Settings& s);

} // namespace korvel::web
