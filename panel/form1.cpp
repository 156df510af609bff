#include "panel/form1.h"

#include "port/port_address.h"
#include "port/registers.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace korvel {

std::string hex(int value)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%X", static_cast<unsigned>(value));
    return buf;
}

int& PanelState::q(int bit)
{
    switch (bit) {
    case 7: return q7;
    case 6: return q6;
    case 5: return q5;
    case 4: return q4;
    case 3: return q3;
    case 2: return q2;
    case 1: return q1;
    default: return q0;
    }
}

namespace {

// The port selector's text read as a number: "&H378" is hexadecimal 378.
std::int16_t selector_number(const std::string& text)
{
    std::string_view s = text;
    int base = 10;
    if (s.size() > 2 && s[0] == '&' && (s[1] == 'H' || s[1] == 'h')) {
        s.remove_prefix(2);
        base = 16;
    }
    int value = 0;
    std::from_chars(s.data(), s.data() + s.size(), value, base);
    return static_cast<std::int16_t>(value);
}

} // namespace

std::vector<std::string> extra_port_items(const PortOffer& offer)
{
    std::vector<unsigned> bases = offer.kernel_bases;
    bases.push_back(offer.start_base);
    std::sort(bases.begin(), bases.end());
    bases.erase(std::unique(bases.begin(), bases.end()), bases.end());
    std::vector<std::string> items;
    for (unsigned base : bases)
        if (is_port_base(base) && base != reg::base_378 && base != reg::base_278 &&
            base != reg::base_3bc)
            items.push_back("&H" + hex(static_cast<int>(base)));
    return items;
}

Form1::Form1(Port& port, const PortOffer& ports) : port_(port)
{
    for (auto& item : extra_port_items(ports))
        c.Combo1.add_item(std::move(item));
    if (is_port_base(ports.start_base))
        start_item_ = "&H" + hex(static_cast<int>(ports.start_base));

    c.Combo1.handler = [this] { combo1_click(); };
    c.Combo2.handler = [this] { combo2_click(); };
    c.Command9.handler = [this] { command9_click(); };
    c.Command12.handler = [this] { command12_click(); };
    c.Command10.handler = [this] { command10_click(); };
    c.Command11.handler = [this] { command11_click(); };
    c.Command13.handler = [this] { command13_click(); };
    c.Command14.handler = [this] { command14_click(); };
    // Command1 is Q7 on the left, Command8 is Q0 on the right.
    Control* bits[] = {&c.Command1, &c.Command2, &c.Command3, &c.Command4,
                       &c.Command5, &c.Command6, &c.Command7, &c.Command8};
    for (int i = 0; i < 8; ++i)
        bits[i]->handler = [this, bit = 7 - i] { toggle_bit(bit); };
    for (Control* spin : {&c.VScroll1, &c.VScroll2, &c.VScroll3})
        spin->handler = [this] { output_word(); };
    c.Timer1.handler = [this] { timer1_tick(); };
    c.Timer2.handler = [this] { timer2_tick(); };
    c.Timer3.handler = [this] { timer3_tick(); };
}

void Form1::form_load()
{
    c.Combo1.select(start_item_);
    c.Combo2.select("ZEP");
    start_up();
}

void Form1::form_activate() { c.set_focus(ControlId::Command9); }

void Form1::form_unload()
{
    if (ended())
        return;
    command12_click();
}

void Form1::resolve_addresses()
{
    st.port_base = selector_number(c.Combo1.text());
    st.port_status = static_cast<std::int16_t>(st.port_base + 1);
    st.port_control = static_cast<std::int16_t>(st.port_base + 2);
    // The addresses are 16-bit: those from 0x8000 up are negative as
    // numbers, and read out unsigned.
    c.Text1.set_text("0x" + hex(static_cast<std::uint16_t>(st.port_base)));
    c.Text2.set_text("0x" + hex(static_cast<std::uint16_t>(st.port_status)));
    c.Text3.set_text("0x" + hex(static_cast<std::uint16_t>(st.port_control)));
}

void Form1::combo1_click() { resolve_addresses(); }

void Form1::safe_state_write()
{
    st.out_lo = reg::safe_data;
    update_output();
    port_.Out32(st.port_control, reg::safe_control);
}

void Form1::start_up()
{
    // Safe state on the port the panel was driving.
    safe_state_write();

    // Addresses afresh from the selector.
    resolve_addresses();

    st.sel_value = reg::ctl_sel_value;
    st.sel_status = reg::ctl_sel_status;
    st.sel_digits = reg::ctl_sel_digits;
    st.out_lo = 0;
    st.out_hi = 0;
    st.out_sign = 0;
    st.strobe_lo = reg::ctl_strobe_lo;
    st.strobe_hi = reg::ctl_strobe_hi;
    st.strobe_idle = reg::ctl_idle;
    for (int bit = 7; bit >= 0; --bit)
        st.q(bit) = 0;
    st.power = 0;
    c.Timer1.set_enabled(false);
    c.Timer2.set_enabled(false);
    c.Timer3.set_enabled(false);
    for (Control* lamp : {&c.Shape1, &c.Shape2, &c.Shape3, &c.Shape4, &c.Shape5, &c.Shape6,
                          &c.Shape7, &c.Shape8})
        lamp->set_colour(0xE0E0E0);
    st.sync_count = 0;
    c.Shape9.set_colour(0x000080);
    st.d1 = st.d2 = st.d3 = st.d4 = st.d5 = 0;
    st.pol_sign = "+";
    st.seen_d1 = st.seen_d2 = st.seen_d3 = st.seen_d4 = st.seen_d5 = 0;
    show_reading();
    st.last_d5 = 0;
    st.last_d4 = 0;
    st.boundary_discards = 0;
    c.Label1.set_visible(false);
    c.Label5.set_visible(false);
    st.set_word = 0;
    c.Text8.set_text("0");
    // Each value that really changes runs the set-point composition.
    c.VScroll1.set_value(0);
    c.VScroll2.set_value(0);
    c.VScroll3.set_value(0);
    c.VScroll1.set_enabled(false);
    c.VScroll2.set_enabled(false);
    c.VScroll3.set_enabled(false);
    // The panel flags follow the panels, which the reset leaves as they are,
    // so one click on a panel's button always opens or closes it.
    st.port_panel_open = c.Frame1.visible() ? 1 : 0;
    st.probe_panel_open = c.Frame5.visible() ? 1 : 0;
}

void Form1::command9_click()
{
    if (st.power == 0)
        switch_on();
    else
        switch_off();
}

void Form1::switch_on()
{
    c.Shape10.set_colour(0xFFFF00);
    st.power = 1;
    c.Timer1.set_enabled(true);
    c.Timer2.set_enabled(true);
    c.Timer3.set_enabled(false);
    c.Command9.set_text("OFF");
    c.VScroll1.set_enabled(true);
    c.VScroll2.set_enabled(true);
    c.VScroll3.set_enabled(true);
}

void Form1::switch_off()
{
    c.Shape10.set_colour(0xC04000);
    st.power = 0;
    c.Timer1.set_enabled(false);
    c.Timer2.set_enabled(false);
    c.Timer3.set_enabled(false);
    c.Command9.set_text("ON");
    start_up();
}

void Form1::command12_click()
{
    st.power = 0;
    c.Timer1.set_enabled(false);
    c.Timer2.set_enabled(false);
    c.Timer3.set_enabled(false);
    safe_state_write();
    if (beep)
        beep();
    // From here on no handler runs, the unload handler included.
    c.mark_ended();
    if (end_program)
        end_program();
}

} // namespace korvel
