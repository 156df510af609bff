#include "panel/design.h"

#include <iterator>
#include <stdexcept>
#include <string>

namespace korvel {

namespace {

constexpr Font arial(double pt, bool bold) { return {"Arial", pt, bold}; }
constexpr Font sans(double pt, bool bold) { return {"MS Sans Serif", pt, bold}; }
constexpr Font verdana(double pt, bool bold) { return {"Verdana", pt, bold}; }

Design base(ControlId id, std::string_view name, Kind kind, std::string_view container,
            std::string_view text, int l, int t, int w, int h, Colour back, Colour fore,
            Font font = default_font)
{
    Design d;
    d.id = id;
    d.name = name;
    d.kind = kind;
    d.container = container;
    d.text = text;
    d.left = l;
    d.top = t;
    d.width = w;
    d.height = h;
    d.back = back;
    d.fore = fore;
    d.font = font;
    return d;
}

Design frame(ControlId id, std::string_view name, std::string_view caption, int l, int t, int w, int h,
             std::uint32_t back, std::uint32_t fore, int tab, bool visible)
{
    Design d = base(id, name, Kind::Frame, {}, caption, l, t, w, h, rgb(back), rgb(fore));
    d.tab = tab;
    d.visible = visible;
    return d;
}

Design label(ControlId id, std::string_view name, std::string_view container, std::string_view caption,
             int l, int t, int w, int h, std::uint32_t fore, Font font, int tab,
             bool visible = true)
{
    Design d = base(id, name, Kind::Label, container, caption, l, t, w, h, unset, rgb(fore), font);
    d.tab = tab;
    d.visible = visible;
    return d;
}

Design textbox(ControlId id, std::string_view name, std::string_view container, std::string_view text,
               int l, int t, int w, int h, Colour back, std::uint32_t fore, Font font, int tab)
{
    Design d = base(id, name, Kind::TextBox, container, text, l, t, w, h, back, rgb(fore), font);
    d.tab = tab;
    return d;
}

Design button(ControlId id, std::string_view name, std::string_view container, std::string_view caption,
              int l, int t, int w, int h, Colour face, Font font, int tab)
{
    Design d = base(id, name, Kind::Button, container, caption, l, t, w, h, face, unset, font);
    d.tab = tab;
    return d;
}

Design lamp(ControlId id, std::string_view name, std::string_view container, int l, int t, int w, int h,
            std::uint32_t colour)
{
    return base(id, name, Kind::Lamp, container, {}, l, t, w, h, rgb(colour), unset);
}

Design spin(ControlId id, std::string_view name, int l, int min, int max, int step, int tab)
{
    Design d = base(id, name, Kind::Spin, "Frame6", {}, l, 480, 735, 495, unset, unset);
    d.tab = tab;
    d.enabled = false;
    d.min = min;
    d.max = max;
    d.step = step;
    return d;
}

Design timer(ControlId id, std::string_view name, int interval_ms)
{
    Design d = base(id, name, Kind::Timer, {}, {}, 0, 0, 0, 0, unset, unset);
    d.enabled = false;
    d.interval_ms = interval_ms;
    return d;
}

std::array<Design, control_count> make_table()
{
    constexpr std::uint32_t bit_off = 0xE0E0E0;
    Design mode_selector = base(ControlId::mode_selector, "Combo2", Kind::Combo, {}, "ZEP|DVM|DPC", 240, 120, 1215, 360,
                         rgb(0x404040), rgb(0xC0C0FF), sans(9.75, true));
    mode_selector.tab = 42;
    Design exit_button = button(ControlId::exit_button, "Command12", {}, "Exit", 9720, 7800, 735, 255, system_menu,
                         arial(8.25, false), 19);
    exit_button.tooltip = "exit";
    Design port_selector = base(ControlId::port_selector, "Combo1", Kind::Combo, "Frame1", "&H378|&H278|&H3BC", 240, 240, 855,
                         315, rgb(0xC0FFC0), system_window_text);
    port_selector.tab = 15;
    Design port_ok_button = button(ControlId::port_ok_button, "Command14", "Frame1", "OK", 360, 1800, 615, 255, system_menu,
                            verdana(8.25, true), 29);
    port_ok_button.flat = true;

    const Colour probe_back = rgb(0x000000);
    const Colour byte_back = rgb(0x000040);

    const Design rows[] = {
        mode_selector,
        frame(ControlId::input_frame, "Frame2", "Input", 2400, 120, 4935, 1935, 0x000080, 0xFFFFC0, 0, true),
        frame(ControlId::port_panel, "Frame1", "Port", 240, 600, 1335, 2175, 0x800080, 0xFFFFC0, 11, false),
        frame(ControlId::setpoint_frame, "Frame6", "Potentiometer", 2400, 2520, 4935, 1335, 0x008080, 0xC0FFFF, 33, true),
        frame(ControlId::probe_panel, "Frame5", "Probe", 240, 3000, 1335, 2415, 0x008000, 0xFFE0C0, 20, false),
        frame(ControlId::output_frame, "Frame3", "Output", 2400, 3960, 4935, 1335, 0x000040, 0xC0C0FF, 2, false),
        button(ControlId::probe_button, "Command10", {}, "Probe", 120, 5760, 735, 255, unset, default_font, 27),
        button(ControlId::port_button, "Command11", {}, "Port", 960, 5760, 735, 255, unset, default_font, 28),
        frame(ControlId::power_frame, "Frame4", "Power", 480, 6240, 735, 1335, 0xFF8000, 0xFFFF80, 25, true),
        exit_button,
        timer(ControlId::sync_timer, "Timer1", 10),
        timer(ControlId::refresh_timer, "Timer2", 100),
        timer(ControlId::scan_timer, "Timer3", 1),
        // Frame2 "Input"
        textbox(ControlId::reading_box, "dvm_reading", "Frame2", "1245", 480, 360, 3855, 1155, rgb(0x000040), 0x00FF00,
                arial(45, true), 1),
        label(ControlId::over_mark, "Label1", "Frame2", "OR", 0, 360, 495, 255, 0xFF8000, sans(8.25, true), 32),
        label(ControlId::under_mark, "Label5", "Frame2", "UR", 0, 1320, 495, 255, 0xFF8000, sans(8.25, true), 31, false),
        lamp(ControlId::conversion_lamp, "Shape9", "Frame2", 4440, 480, 375, 135, 0x800000),
        // Frame6 "Potentiometer"
        textbox(ControlId::setpoint_box, "Text8", "Frame6", "0", 240, 480, 1695, 555, system_window_frame, 0xFFFF00,
                arial(21.75, false), 38),
        label(ControlId::coarse_label, "Label6", "Frame6", "Coarse", 2040, 240, 735, 255, 0xFFFFC0, default_font, 36),
        spin(ControlId::coarse_spin, "VScroll1", 2040, -20000, 20000, 100, 34),
        label(ControlId::medium_label, "Label8", "Frame6", "Medium", 3000, 240, 735, 255, 0xFFFFC0, default_font, 40),
        spin(ControlId::medium_spin, "VScroll2", 3000, -5000, 5000, 10, 35),
        label(ControlId::fine_label, "Label7", "Frame6", "Fine", 3960, 240, 735, 255, 0xFFFFC0, default_font, 37),
        spin(ControlId::fine_spin, "VScroll3", 3960, -5000, 5000, 1, 39),
        // Frame3 "Output": Q7 on the left to Q0 on the right
        button(ControlId::q7_button, "Command1", "Frame3", "Q7", 120, 840, 495, 375, unset, default_font, 10),
        lamp(ControlId::q7_lamp, "Shape1", "Frame3", 120, 360, 495, 135, bit_off),
        button(ControlId::q6_button, "Command2", "Frame3", "Q6", 720, 840, 495, 375, unset, default_font, 3),
        lamp(ControlId::q6_lamp, "Shape2", "Frame3", 720, 360, 495, 135, bit_off),
        button(ControlId::q5_button, "Command3", "Frame3", "Q5", 1320, 840, 495, 375, unset, default_font, 4),
        lamp(ControlId::q5_lamp, "Shape3", "Frame3", 1320, 360, 495, 135, bit_off),
        button(ControlId::q4_button, "Command4", "Frame3", "Q4", 1920, 840, 495, 375, unset, default_font, 5),
        lamp(ControlId::q4_lamp, "Shape4", "Frame3", 1920, 360, 495, 135, bit_off),
        button(ControlId::q3_button, "Command5", "Frame3", "Q3", 2520, 840, 495, 375, unset, default_font, 6),
        lamp(ControlId::q3_lamp, "Shape5", "Frame3", 2520, 360, 495, 135, bit_off),
        button(ControlId::q2_button, "Command6", "Frame3", "Q2", 3120, 840, 495, 375, unset, default_font, 7),
        lamp(ControlId::q2_lamp, "Shape6", "Frame3", 3120, 360, 495, 135, bit_off),
        button(ControlId::q1_button, "Command7", "Frame3", "Q1", 3720, 840, 495, 375, unset, default_font, 8),
        lamp(ControlId::q1_lamp, "Shape7", "Frame3", 3720, 360, 495, 135, bit_off),
        button(ControlId::q0_button, "Command8", "Frame3", "Q0", 4320, 840, 495, 375, unset, default_font, 9),
        lamp(ControlId::q0_lamp, "Shape8", "Frame3", 4320, 360, 495, 135, bit_off),
        // Frame1 "Port"
        port_selector,
        label(ControlId::data_address_label, "Label2", "Frame1", "Out", 0, 720, 375, 255, 0xC0FFC0, default_font, 16),
        textbox(ControlId::data_address_box, "Text1", "Frame1", "", 360, 720, 735, 285, rgb(0xC0FFC0), 0x004040,
                default_font, 12),
        label(ControlId::status_address_label, "Label3", "Frame1", "Inp", 0, 1080, 375, 255, 0xC0FFC0, default_font, 17),
        textbox(ControlId::status_address_box, "Text2", "Frame1", "", 360, 1080, 735, 285, rgb(0xC0FFC0), 0x004040,
                default_font, 13),
        label(ControlId::control_address_label, "Label4", "Frame1", "Cnt", 0, 1440, 375, 255, 0xC0FFC0, default_font, 18),
        textbox(ControlId::control_address_box, "Text3", "Frame1", "", 360, 1440, 735, 285, rgb(0xC0FFC0), 0x004040,
                default_font, 14),
        port_ok_button,
        // Frame5 "Probe"
        textbox(ControlId::probe_value_box, "Text5", "Frame5", "value", 240, 240, 855, 345, probe_back, 0x00FF00,
                sans(12, true), 22),
        textbox(ControlId::probe_status_box, "Text6", "Frame5", "status", 240, 600, 855, 345, probe_back, 0x00FF00,
                sans(12, true), 23),
        textbox(ControlId::probe_strobe_box, "Text4", "Frame5", "digits", 240, 960, 855, 300, probe_back, 0x00FF00,
                sans(12, true), 21),
        textbox(ControlId::probe_sign_box, "Text11", "Frame5", "+", 240, 1320, 255, 225, byte_back, 0xFFFF00,
                sans(8.25, true), 44),
        textbox(ControlId::probe_high_box, "Text10", "Frame5", "hi", 600, 1320, 255, 225, byte_back, 0xFFFF00,
                sans(8.25, true), 43),
        textbox(ControlId::probe_low_box, "Text7", "Frame5", "lo", 840, 1320, 255, 225, byte_back, 0xFFFF00,
                sans(8.25, true), 24),
        textbox(ControlId::probe_magnitude_box, "Text9", "Frame5", "set", 240, 1680, 855, 300, byte_back, 0xFF8000,
                sans(12, true), 41),
        button(ControlId::probe_ok_button, "Command13", "Frame5", "OK", 360, 2040, 615, 255, unset, verdana(8.25, true), 30),
        // Frame4 "Power"
        lamp(ControlId::power_lamp, "Shape10", "Frame4", 120, 360, 495, 135, 0xC04000),
        button(ControlId::power_button, "Command9", "Frame4", "ON", 120, 720, 495, 495, unset, default_font, 26),
    };

    // Each control has its row, in the control list's order.
    static_assert(std::size(rows) == control_count);
    std::array<Design, control_count> t;
    for (std::size_t i = 0; i < control_count; ++i) {
        if (rows[i].id != static_cast<ControlId>(i))
            throw std::logic_error("design table out of order at " + std::string(rows[i].name));
        t[i] = rows[i];
    }
    return t;
}

} // namespace

const std::array<Design, control_count>& design_table()
{
    static const std::array<Design, control_count> table = make_table();
    return table;
}

const Design& design_of(ControlId id)
{
    return design_table()[static_cast<std::size_t>(id)];
}

} // namespace korvel
