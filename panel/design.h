// The window's controls as designed: one table of every control's kind,
// container, caption, place, size, colours, font, focus order and start
// state. The control model starts from it and the window builds its widgets
// from it.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace korvel {

// Every control by its role, in the design table's order (the order the
// window builds them: a frame before what it holds). The design's own name
// of each control (Command9, Text8 ...) is data in the table below: the
// object name that the window and automation use.
#define KORVEL_CONTROLS(X)                                                      \
    X(mode_selector) X(input_frame) X(port_panel) X(setpoint_frame)             \
    X(probe_panel) X(output_frame) X(probe_button) X(port_button)               \
    X(power_frame) X(exit_button) X(sync_timer) X(refresh_timer) X(scan_timer)  \
    X(reading_box) X(over_mark) X(under_mark) X(conversion_lamp)                \
    X(setpoint_box) X(coarse_label) X(coarse_spin) X(medium_label)              \
    X(medium_spin) X(fine_label) X(fine_spin)                                   \
    X(q7_button) X(q7_lamp) X(q6_button) X(q6_lamp) X(q5_button) X(q5_lamp)     \
    X(q4_button) X(q4_lamp) X(q3_button) X(q3_lamp) X(q2_button) X(q2_lamp)     \
    X(q1_button) X(q1_lamp) X(q0_button) X(q0_lamp)                             \
    X(port_selector) X(data_address_label) X(data_address_box)                  \
    X(status_address_label) X(status_address_box) X(control_address_label)     \
    X(control_address_box) X(port_ok_button)                                    \
    X(probe_value_box) X(probe_status_box) X(probe_strobe_box) X(probe_sign_box) \
    X(probe_high_box) X(probe_low_box) X(probe_magnitude_box) X(probe_ok_button) \
    X(power_lamp) X(power_button)

enum class ControlId : std::uint8_t {
#define KORVEL_CONTROL_ID(name) name,
    KORVEL_CONTROLS(KORVEL_CONTROL_ID)
#undef KORVEL_CONTROL_ID
};

constexpr std::size_t control_count = 0
#define KORVEL_CONTROL_COUNT(name) +1
    KORVEL_CONTROLS(KORVEL_CONTROL_COUNT)
#undef KORVEL_CONTROL_COUNT
    ;
static_assert(control_count == 58);

enum class Kind { Frame, Label, TextBox, Button, Combo, Spin, Lamp, Timer };

// A colour as the window gives it: an RGB value, or one of the desktop's
// system colours, or nothing set (the kind's standard look; transparent for
// labels).
struct Colour {
    enum Source : std::uint8_t { Unset, Rgb, SystemMenu, SystemWindowFrame, SystemWindowText };
    Source source = Unset;
    std::uint32_t rgb = 0;
};
constexpr Colour rgb(std::uint32_t v) { return {Colour::Rgb, v}; }
constexpr Colour unset{};
constexpr Colour system_menu{Colour::SystemMenu, 0};
constexpr Colour system_window_frame{Colour::SystemWindowFrame, 0};
constexpr Colour system_window_text{Colour::SystemWindowText, 0};

// Family empty means the window's default font ("MS Sans Serif" 8.25 pt).
struct Font {
    std::string_view family;
    double points = 8.25;
    bool bold = false;
};
constexpr Font default_font{"MS Sans Serif", 8.25, false};

struct Design {
    ControlId id{};
    // The design's name: the object name of the control's widget.
    std::string_view name;
    Kind kind = Kind::Frame;
    // The container's name; empty for controls on the window itself.
    std::string_view container;
    // Caption or text; for drop-down lists the items separated by '|'.
    std::string_view text;
    // Place and size in twips (15 per pixel at 96 dpi), from the container.
    int left = 0, top = 0, width = 0, height = 0;
    Colour back;
    Colour fore;
    Font font = default_font;
    // Keyboard focus order; -1 for lamps and timers.
    int tab = -1;
    bool visible = true;
    bool enabled = true;
    // Spin controls: range and step (arrow and page alike).
    int min = 0, max = 0, step = 0;
    // Timers: interval in milliseconds.
    int interval_ms = 0;
    std::string_view tooltip;
    // Buttons: drawn flat.
    bool flat = false;
};

const std::array<Design, control_count>& design_table();
const Design& design_of(ControlId id);

// The window itself.
struct FormDesign {
    // The window's object name.
    std::string_view name = "Form1";
    std::string_view caption = "Zepora : Korvel";
    int client_width_twips = 10515;
    int client_height_twips = 8085;
    Colour back = rgb(0xC0C0FF);
    Colour fore = rgb(0xC0C0C0);
};
constexpr FormDesign form_design{};

constexpr int twips_per_pixel = 15;

} // namespace korvel
