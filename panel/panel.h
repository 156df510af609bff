// The panel core: the control model, the latch writer and the voltmeter
// reader over the port that main() chose, and the three timers that drive
// them, behind an interface that any front end can use. The window is one
// front end: it mirrors the control model and delivers the user's events
// into it; a remote interface or a script runs the same operations.
//
// Every operation runs through the handler that a user's gesture on the
// window runs, so the board sees the same port traffic whoever drives it.
#pragma once

#include "dvm/voltmeter_reader.h"
#include "output/latch_writer.h"
#include "panel/controls.h"
#include "panel/measurement.h"
#include "port/port.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
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

enum class Mode { zep, dvm, dpc };
enum class Spin { coarse, medium, fine };
enum class PopUp { port_panel, probe_panel };

// Why an operation was refused.
enum class Outcome {
    done,
    out_of_range,  // a value outside what the panel can take
    not_now,       // the panel's state does not allow it (mode, power)
    held,          // a sequence holds the set-point (Panel::setpoint_holder)
};

// The panel's timers, as tick listeners hear of them.
enum class Tick { sync, refresh, scan };

class Panel {
public:
    // ports: the port selector's items beyond the design's, and the start port.
    explicit Panel(Port& port, const PortOffer& ports = {});
    Panel(const Panel&) = delete;
    Panel& operator=(const Panel&) = delete;

    // What the front end does for the system beep, and to end the program
    // at once after Exit.
    std::function<void()> beep;
    std::function<void()> end_program;

    // --- The program's life ---
    // Selects the start port (0x378 unless the offer names another) and
    // mode ZEP, then runs the reset: the board on that port gets the safe
    // state. Once, before the front end shows.
    void load();
    // The window's first activation: the focus goes to the power button.
    void activate();
    // The front end is going away by any means but Exit (the window closed,
    // a termination signal): runs the Exit sequence unless it has run.
    void close();
    bool ended() const { return controls_.ended(); }

    // --- Operations, in the user's terms ---
    void toggle_power();
    void set_power(bool on);
    Outcome choose_mode(Mode mode);
    // An item of the port selector ("&H378").
    Outcome choose_port(std::string_view item);
    // One step of a spin control (its arrow or key); refused while OFF and
    // outside mode ZEP, where the spin controls are not on screen.
    Outcome step(Spin spin, bool up);
    // Sets the spin controls so that they add up to `value`: Coarse takes
    // the hundreds it can within its range, Medium the tens, Fine the rest,
    // each through the change handler a user's step runs; the board gets
    // the sum at the next refresh. Refused outside -30000..30000, while
    // OFF (when the spin controls take no input) and outside mode ZEP.
    Outcome set_setpoint(int value);
    // The same for the holder of the set-point (hold_setpoint's key).
    Outcome set_setpoint(int value, int hold_key);

    // --- The set-point's holder ---
    // A sequence that drives the set-point (a sweep) holds it while it
    // runs, so that it and a person cannot fight over the output: every
    // other change of the set-point (a spin control's step on the window,
    // step(), set_setpoint() from any front end) is refused with
    // Outcome::held, and the spin controls keep their values. `interrupted`
    // is told, with why, when the panel takes the set-point's ground away:
    // the mode or the port changed (the hold stays until the holder lets
    // go), or the panel is switched OFF or ends (the hold is gone once it
    // returns). Returns the key for set_setpoint(value, key) and
    // release_setpoint(), or -1 while something holds it already.
    int hold_setpoint(std::string holder, std::function<void(std::string_view why)> interrupted);
    void release_setpoint(int key);
    // What holds the set-point ("a sweep"), empty while nothing does.
    const std::string& setpoint_holder() const { return holder_; }
    // Told after every tick of the panel's timers; returns a key for
    // forget_ticks().
    int on_tick(std::function<void(Tick)> listener);
    void forget_ticks(int key);
    // Why the writes to the port driven reach no device ("" while they do).
    std::string port_fault();

    // Toggles output bit 0..7 as its button does.
    Outcome toggle_bit(int bit);
    // Toggles each bit that differs from `bits` through its button. Refused
    // unless the mode is DPC and the panel is ON.
    Outcome set_bits(int bits);
    void toggle_panel(PopUp panel);
    void close_panel(PopUp panel);
    // The Exit button: timers stopped, the safe state written, a beep, and
    // the program ends.
    void exit();

    // --- Observations ---
    // The control model: every control's text, colour, visibility ...;
    // observe it for changes.
    Controls& controls() { return controls_; }
    const Controls& controls() const { return controls_; }
    bool power() const { return power_; }
    Mode mode() const;
    // The port selector's item.
    const std::string& port_item() const;
    std::int16_t base() const { return base_; }
    // The spin controls' sum.
    int setpoint() const { return setpoint_; }
    // Output bits Q7..Q0 as the bit buttons set them.
    int bits() const { return output_.state().bits; }
    // The reading shown, with its over/under-range marks.
    const dvm::Reading& reading() const { return reader_.reading(); }
    // Told of every reading accepted from now on; returns a key for
    // forget_readings().
    int on_reading(std::function<void(const dvm::Reading&)> listener);
    void forget_readings(int key);

    // --- Fresh measurements ---
    // Measures from now on: `done` gets the first reading accepted from a
    // conversion that began after every change made so far had reached the
    // board (the latch refresh that follows a change of set-point, bits,
    // mode or port; now, when no change is waiting) and delay_ms more had
    // passed (see FreshMeasurement). It gets nullptr instead when the panel
    // stops taking readings: switched OFF, reset or ended. Called once,
    // from inside the panel's tick or operation; after the reading
    // listeners, so they have seen the reading. Returns a key for
    // cancel_measurement(). One started while OFF waits for the panel to
    // be switched ON and to read.
    int measure(int delay_ms, std::function<void(const dvm::Reading*)> done);
    void cancel_measurement(int key);
    // A change of set-point, bits, mode or port that no latch refresh has
    // written yet (also from the reset until the first refresh).
    bool output_pending() const { return output_pending_; }

    // The modules, for tests and benchmarks.
    output::LatchWriter& output() { return output_; }
    dvm::VoltmeterReader& reader() { return reader_; }
    const dvm::VoltmeterReader& reader() const { return reader_; }
    bool port_panel_open() const { return port_panel_open_; }
    bool probe_panel_open() const { return probe_panel_open_; }

    // --- Handlers: each control's event ---
    void on_power_click();
    void on_exit_click();
    void on_mode_choice();
    void on_port_choice();
    void on_setpoint_change();
    void on_bit_click(int bit);
    void on_port_button();
    void on_probe_button();
    void on_port_ok();
    void on_probe_ok();
    // Timers: sync_timer every 10 ms, refresh_timer every 100 ms (the
    // latch refresh), scan_timer every 1 ms while a scan runs.
    void on_sync_tick();
    void on_refresh_tick();
    void on_scan_tick();

    // The reset: the safe state on the port driven so far, then every
    // control, latch byte and reader state back to its start.
    void reset();

private:
    void resolve_addresses();
    void write_safe_state();
    void switch_on();
    void switch_off();
    void show_reading();
    // Ends every measurement without a reading.
    void end_measurements();
    Control& bit_button(int bit);
    Control& bit_lamp(int bit);
    Control& spin_control(Spin spin);
    Outcome compose_setpoint(int value);
    // Ends the hold, telling the holder why first.
    void break_hold(std::string_view why);
    void tell_interrupted(std::string_view why);
    void tell_ticks(Tick tick);

    Controls controls_;
    Controls& c_ = controls_;  // short name for the handlers
    output::LatchWriter output_;
    dvm::VoltmeterReader reader_;

    // The selector's item chosen at load.
    std::string start_item_ = "&H378";
    // Register addresses, from the port selector.
    std::int16_t base_ = 0;
    bool power_ = false;
    int setpoint_ = 0;
    // Whether the Port and Probe panels are open.
    bool port_panel_open_ = false;
    bool probe_panel_open_ = false;

    std::vector<std::pair<int, std::function<void(const dvm::Reading&)>>> reading_listeners_;
    int next_listener_ = 0;

    // The set-point's holder: its key (-1: none), what it is, its hook.
    int hold_key_ = -1;
    int next_hold_key_ = 0;
    std::string holder_;
    std::function<void(std::string_view)> interrupted_;
    // The holder's own change runs.
    bool moving_held_ = false;
    // The mode the last mode choice left: a change away from ZEP lets the
    // holder put the set-point back as ZEP drives it.
    Mode driven_mode_ = Mode::dvm;
    bool leaving_zep_ = false;
    std::vector<std::pair<int, std::function<void(Tick)>>> tick_listeners_;
    int next_tick_listener_ = 0;

    bool output_pending_ = true;
    struct PendingMeasurement {
        int key;
        FreshMeasurement progress;
        std::function<void(const dvm::Reading*)> done;
    };
    std::vector<PendingMeasurement> measurements_;
    int next_measurement_ = 0;
};

} // namespace korvel
