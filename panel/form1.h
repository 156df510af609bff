// The main window's logic: the panel state, the control model and every
// handler and procedure, over the port chosen in main(). The toolkit window
// (ui/) only mirrors the controls and delivers events here.
#pragma once

#include "panel/controls.h"
#include "panel/panel_state.h"
#include "port/port.h"

#include <functional>
#include <vector>

namespace korvel {

// The ports the panel offers besides the three motherboard addresses of the
// design, and the one it starts on.
struct PortOffer {
    // Every base at which the kernel runs a parallel port, in any order.
    std::vector<unsigned> kernel_bases;
    // The port selected at start; offered too when the kernel runs none there.
    unsigned start_base = 0x378;
};

// The port selector's items after the design's "&H378", "&H278" and
// "&H3BC": every other base of the offer in ascending order, in the same
// form ("&HD010"). Bases that are no port base are left out.
std::vector<std::string> extra_port_items(const PortOffer& offer);

class Form1 {
public:
    explicit Form1(Port& port, const PortOffer& ports = {});
    Form1(const Form1&) = delete;
    Form1& operator=(const Form1&) = delete;

    PanelState st;
    Controls c;

    // What the host does for the system beep and to end the program at once.
    std::function<void()> beep;
    std::function<void()> end_program;
    // Runs once per accepted reading, at the end of the scan tick that
    // showed it (the reading is on the display and its marks are set).
    std::function<void()> reading_accepted;

    // Window events.
    void form_load();
    void form_activate();
    // The window is being closed by any means other than Exit (also a
    // termination signal): runs the Exit sequence unless the program has
    // already ended.
    void form_unload();
    bool ended() const { return c.ended(); }

    // Procedures.
    void start_up();
    void update_output();
    void update_output_hi();
    void output_word();
    void get_d5();
    void d5_pol();

    // Handlers.
    void combo1_click();
    void combo2_click();
    void command9_click();
    void command12_click();
    void toggle_bit(int bit);
    void command10_click();
    void command11_click();
    void command13_click();
    void command14_click();
    void timer1_tick();
    void timer2_tick();
    void timer3_tick();

private:
    void resolve_addresses();
    void safe_state_write();
    void switch_on();
    void switch_off();
    void show_reading();

    Port& port_;
    // The selector's item chosen at load.
    std::string start_item_ = "&H378";
    // Set by get_d5 when the half digit's lines held no BCD code: the scan
    // tick ends there.
    bool half_digit_unreadable_ = false;
};

// Upper-case hexadecimal without prefix or leading zeros ("0", "A5", "7530").
std::string hex(int value);

} // namespace korvel
