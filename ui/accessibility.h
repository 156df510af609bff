// What a screen reader says about the panel: every control's name and
// description in plain words, lamp states in words, and the accessible
// interfaces of the read-outs, lamps and spin controls.
#pragma once

#include "panel/design.h"

#include <QString>

#include <cstdint>

namespace korvel::ui {

struct Words {
    const char* name = "";        // what the control is ("Set-point coarse")
    const char* description = ""; // what it does, where that helps; may be empty
};

// The plain words for a control (empty for timers, which have no widget).
Words words_for(ControlId id);

// A lamp's state in words for its colour ("on", "off", "converting").
QString lamp_state(ControlId id, std::uint32_t rgb);

// Installs the accessible interfaces of the panel's own widget kinds: read-
// outs and lamps speak their value as text, spin controls speak the model
// value (not the scroll bar's negated one) and accept no value set from
// outside, only one step at a time. Call before the first widget is built:
// the toolkit keeps the interface it made first for each widget.
void install_accessibility();

} // namespace korvel::ui
