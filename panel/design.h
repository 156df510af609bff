// The window's controls as designed: one table of every control's kind,
// container, caption, place, size, colours, font, focus order and start
// state. The control model starts from it and the window builds its widgets
// from it.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace korvel {

// Every control, in the table's order.
#define KORVEL_CONTROLS(X)                                                     \
    X(Combo2) X(Frame2) X(Frame1) X(Frame6) X(Frame5) X(Frame3) X(Command10)   \
    X(Command11) X(Frame4) X(Command12) X(Timer1) X(Timer2) X(Timer3)          \
    X(dvm_reading) X(Label1) X(Label5) X(Shape9)                               \
    X(Text8) X(Label6) X(VScroll1) X(Label8) X(VScroll2) X(Label7) X(VScroll3) \
    X(Command1) X(Shape1) X(Command2) X(Shape2) X(Command3) X(Shape3)          \
    X(Command4) X(Shape4) X(Command5) X(Shape5) X(Command6) X(Shape6)          \
    X(Command7) X(Shape7) X(Command8) X(Shape8)                                \
    X(Combo1) X(Label2) X(Text1) X(Label3) X(Text2) X(Label4) X(Text3)         \
    X(Command14)                                                               \
    X(Text5) X(Text6) X(Text4) X(Text11) X(Text10) X(Text7) X(Text9)           \
    X(Command13)                                                               \
    X(Shape10) X(Command9)

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
    std::string_view caption = "Zepora : Korvel";
    int client_width_twips = 10515;
    int client_height_twips = 8085;
    Colour back = rgb(0xC0C0FF);
    Colour fore = rgb(0xC0C0C0);
};
constexpr FormDesign form_design{};

constexpr int twips_per_pixel = 15;

} // namespace korvel
