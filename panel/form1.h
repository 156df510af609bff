// The main window's logic: the panel state, the control model and every
// handler and procedure, over the port chosen in main(). The toolkit window
// (ui/) only mirrors the controls and delivers events here.
#pragma once

#include "panel/controls.h"
#include "panel/panel_state.h"
#include "port/port.h"

#include <functional>

namespace korvel {

class Form1 {
public:
    explicit Form1(Port& port);
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
    // Set by get_d5 when the half digit's lines held no BCD code: the scan
    // tick ends there.
    bool half_digit_unreadable_ = false;
};

// Upper-case hexadecimal without prefix or leading zeros ("0", "A5", "7530").
std::string hex(int value);

} // namespace korvel
