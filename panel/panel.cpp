#include "panel/panel.h"

#include "port/port_address.h"
#include "port/registers.h"
#include "port/text.h"

#include <algorithm>
#include <charconv>

namespace korvel {

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

const char* mode_item(Mode mode)
{
    switch (mode) {
    case Mode::zep: return "ZEP";
    case Mode::dpc: return "DPC";
    case Mode::dvm: break;
    }
    return "DVM";
}

// Lamp colours.
constexpr std::uint32_t bit_on = 0xFF8000;
constexpr std::uint32_t bit_off = 0xE0E0E0;
constexpr std::uint32_t power_on_colour = 0xFFFF00;
constexpr std::uint32_t power_off_colour = 0xC04000;
constexpr std::uint32_t converting_colour = 0xFF0000;
constexpr std::uint32_t idle_colour = 0x000080;

constexpr int setpoint_limit = 30000;

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

Panel::Panel(Port& port, const PortOffer& ports) : output_(port), reader_(port)
{
    for (auto& item : extra_port_items(ports))
        c_.port_selector.add_item(std::move(item));
    if (is_port_base(ports.start_base))
        start_item_ = "&H" + hex(static_cast<int>(ports.start_base));

    c_.mode_selector.handler = [this] { on_mode_choice(); };
    c_.port_selector.handler = [this] { on_port_choice(); };
    c_.power_button.handler = [this] { on_power_click(); };
    c_.exit_button.handler = [this] { on_exit_click(); };
    c_.port_button.handler = [this] { on_port_button(); };
    c_.probe_button.handler = [this] { on_probe_button(); };
    c_.port_ok_button.handler = [this] { on_port_ok(); };
    c_.probe_ok_button.handler = [this] { on_probe_ok(); };
    for (int bit = 0; bit < 8; ++bit)
        bit_button(bit).handler = [this, bit] { on_bit_click(bit); };
    for (Control* spin : {&c_.coarse_spin, &c_.medium_spin, &c_.fine_spin}) {
        spin->handler = [this] { on_setpoint_change(); };
        // While a sequence holds the set-point only its own changes, and
        // the reset's, move the spin controls.
        spin->may_change = [this] { return hold_key_ < 0 || moving_held_; };
    }
    c_.sync_timer.handler = [this] { on_sync_tick(); };
    c_.refresh_timer.handler = [this] { on_refresh_tick(); };
    c_.scan_timer.handler = [this] { on_scan_tick(); };

    // The probe's read-outs show each byte as it is latched; the sign bit
    // of the high latch is not shown.
    output_.on_latched = [this](output::Latch latch, int byte) {
        if (latch == output::Latch::low)
            c_.probe_low_box.set_text(hex(byte));
        else
            c_.probe_high_box.set_text(hex(byte & 127));
    };
}

Control& Panel::bit_button(int bit)
{
    // Q7 is on the left, Q0 on the right.
    Control* const buttons[8] = {&c_.q0_button, &c_.q1_button, &c_.q2_button, &c_.q3_button,
                                 &c_.q4_button, &c_.q5_button, &c_.q6_button, &c_.q7_button};
    return *buttons[bit];
}

Control& Panel::bit_lamp(int bit)
{
    Control* const lamps[8] = {&c_.q0_lamp, &c_.q1_lamp, &c_.q2_lamp, &c_.q3_lamp,
                               &c_.q4_lamp, &c_.q5_lamp, &c_.q6_lamp, &c_.q7_lamp};
    return *lamps[bit];
}

Control& Panel::spin_control(Spin spin)
{
    switch (spin) {
    case Spin::coarse: return c_.coarse_spin;
    case Spin::medium: return c_.medium_spin;
    case Spin::fine: break;
    }
    return c_.fine_spin;
}

// --- The program's life ---

void Panel::load()
{
    c_.port_selector.select(start_item_);
    c_.mode_selector.select("ZEP");
    reset();
}

void Panel::activate() { c_.set_focus(ControlId::power_button); }

void Panel::close()
{
    if (ended())
        return;
    on_exit_click();
}

void Panel::resolve_addresses()
{
    base_ = selector_number(c_.port_selector.text());
    output_.set_base(base_);
    reader_.set_base(base_);
    // The addresses are 16-bit: those from 0x8000 up are negative as
    // numbers, and read out unsigned.
    c_.data_address_box.set_text("0x" + hex(static_cast<std::uint16_t>(base_)));
    c_.status_address_box.set_text("0x" + hex(static_cast<std::uint16_t>(base_ + 1)));
    c_.control_address_box.set_text("0x" + hex(static_cast<std::uint16_t>(base_ + 2)));
}

void Panel::write_safe_state() { output_.write_safe_state(); }

void Panel::reset()
{
    // The safe state on the port the panel was driving.
    write_safe_state();
    break_hold("the panel was switched OFF");
    // No reading comes until the panel is switched ON again.
    end_measurements();
    // The board holds the safe state, not the cleared bytes, until the
    // first refresh.
    output_pending_ = true;

    // Addresses afresh from the selector.
    resolve_addresses();

    output_.clear();
    power_ = false;
    c_.sync_timer.set_enabled(false);
    c_.refresh_timer.set_enabled(false);
    c_.scan_timer.set_enabled(false);
    for (int bit = 7; bit >= 0; --bit)
        bit_lamp(bit).set_colour(bit_off);
    reader_.reset();
    c_.conversion_lamp.set_colour(idle_colour);
    show_reading();
    c_.over_mark.set_visible(false);
    c_.under_mark.set_visible(false);
    setpoint_ = 0;
    c_.setpoint_box.set_text("0");
    // Each value that really changes runs the set-point composition.
    c_.coarse_spin.set_value(0);
    c_.medium_spin.set_value(0);
    c_.fine_spin.set_value(0);
    c_.coarse_spin.set_enabled(false);
    c_.medium_spin.set_enabled(false);
    c_.fine_spin.set_enabled(false);
    // The panel flags follow the panels, which the reset leaves as they are,
    // so one click on a panel's button always opens or closes it.
    port_panel_open_ = c_.port_panel.visible();
    probe_panel_open_ = c_.probe_panel.visible();
}

// --- Operations ---

void Panel::toggle_power()
{
    if (!ended())
        c_.power_button.fire();
}

void Panel::set_power(bool on)
{
    if (on != power_)
        toggle_power();
}

Outcome Panel::choose_mode(Mode mode)
{
    if (ended())
        return Outcome::not_now;
    c_.mode_selector.select(mode_item(mode));
    return Outcome::done;
}

Outcome Panel::choose_port(std::string_view item)
{
    if (ended())
        return Outcome::not_now;
    c_.port_selector.select(item);
    return c_.port_selector.text() == item ? Outcome::done : Outcome::out_of_range;
}

Outcome Panel::step(Spin spin, bool up)
{
    Control& s = spin_control(spin);
    // The spin controls are on screen in mode ZEP only; a change elsewhere
    // would show a set-point that the latches never get.
    if (ended() || !s.enabled() || mode() != Mode::zep)
        return Outcome::not_now;
    if (hold_key_ >= 0)
        return Outcome::held;
    if (up)
        s.step_up();
    else
        s.step_down();
    return Outcome::done;
}

Outcome Panel::set_setpoint(int value)
{
    if (value < -setpoint_limit || value > setpoint_limit)
        return Outcome::out_of_range;
    if (ended() || !power_ || mode() != Mode::zep)
        return Outcome::not_now;
    if (hold_key_ >= 0)
        return Outcome::held;
    return compose_setpoint(value);
}

Outcome Panel::set_setpoint(int value, int hold_key)
{
    if (hold_key < 0 || hold_key != hold_key_)
        return set_setpoint(value);
    if (value < -setpoint_limit || value > setpoint_limit)
        return Outcome::out_of_range;
    // Leaving ZEP, the holder may still put the set-point back as ZEP
    // drives it, as if just before the change.
    if (ended() || !power_ || (mode() != Mode::zep && !leaving_zep_))
        return Outcome::not_now;
    moving_held_ = true;
    const Outcome o = compose_setpoint(value);
    moving_held_ = false;
    return o;
}

Outcome Panel::compose_setpoint(int value)
{
    const Design& coarse = c_.coarse_spin.design();
    const Design& medium = c_.medium_spin.design();
    const int hundreds = std::clamp(value / 100 * 100, coarse.min, coarse.max);
    const int rest = value - hundreds;
    const int tens = std::clamp(rest / 10 * 10, medium.min, medium.max);
    c_.coarse_spin.set_value(hundreds);
    c_.medium_spin.set_value(tens);
    c_.fine_spin.set_value(rest - tens);
    return Outcome::done;
}

Outcome Panel::toggle_bit(int bit)
{
    if (bit < 0 || bit > 7)
        return Outcome::out_of_range;
    // The bit buttons are on screen in mode DPC only.
    if (ended() || mode() != Mode::dpc)
        return Outcome::not_now;
    bit_button(bit).fire();
    return Outcome::done;
}

Outcome Panel::set_bits(int bits)
{
    if (bits < 0 || bits > 255)
        return Outcome::out_of_range;
    if (ended() || mode() != Mode::dpc || !power_)
        return Outcome::not_now;
    for (int bit = 7; bit >= 0; --bit)
        if (output_.bit(bit) != ((bits >> bit & 1) != 0))
            bit_button(bit).fire();
    return Outcome::done;
}

void Panel::toggle_panel(PopUp panel)
{
    (panel == PopUp::port_panel ? c_.port_button : c_.probe_button).fire();
}

void Panel::close_panel(PopUp panel)
{
    (panel == PopUp::port_panel ? c_.port_ok_button : c_.probe_ok_button).fire();
}

void Panel::exit() { c_.exit_button.fire(); }

int Panel::hold_setpoint(std::string holder, std::function<void(std::string_view)> interrupted)
{
    if (hold_key_ >= 0)
        return -1;
    hold_key_ = next_hold_key_++;
    holder_ = std::move(holder);
    interrupted_ = std::move(interrupted);
    return hold_key_;
}

void Panel::release_setpoint(int key)
{
    if (key < 0 || key != hold_key_)
        return;
    hold_key_ = -1;
    holder_.clear();
    interrupted_ = nullptr;
}

void Panel::tell_interrupted(std::string_view why)
{
    if (hold_key_ < 0 || !interrupted_)
        return;
    const auto hook = interrupted_; // the holder may let go inside
    hook(why);
}

void Panel::break_hold(std::string_view why)
{
    tell_interrupted(why);
    release_setpoint(hold_key_);
}

int Panel::on_tick(std::function<void(Tick)> listener)
{
    tick_listeners_.emplace_back(next_tick_listener_, std::move(listener));
    return next_tick_listener_++;
}

void Panel::forget_ticks(int key)
{
    std::erase_if(tick_listeners_, [key](const auto& l) { return l.first == key; });
}

void Panel::tell_ticks(Tick tick)
{
    // A thousand times a second while a scan runs: no copy of the list. A
    // listener added meanwhile hears from the next tick; one forgotten is
    // not called again.
    const std::size_t n = tick_listeners_.size();
    for (std::size_t i = 0; i < n && i < tick_listeners_.size(); ++i) {
        const auto listener = tick_listeners_[i].second;
        listener(tick);
    }
}

std::string Panel::port_fault() { return output_.port().fault(base_); }

// --- Observations ---

Mode Panel::mode() const
{
    const std::string& item = c_.mode_selector.text();
    if (item == "ZEP")
        return Mode::zep;
    if (item == "DPC")
        return Mode::dpc;
    return Mode::dvm; // also before the load selects a mode: neither latch is driven
}

const std::string& Panel::port_item() const { return c_.port_selector.text(); }

int Panel::on_reading(std::function<void(const dvm::Reading&)> listener)
{
    reading_listeners_.emplace_back(next_listener_, std::move(listener));
    return next_listener_++;
}

void Panel::forget_readings(int key)
{
    std::erase_if(reading_listeners_, [key](const auto& l) { return l.first == key; });
}

// --- Handlers ---

void Panel::on_port_choice()
{
    resolve_addresses();
    // The board on the new port has not been refreshed yet.
    output_pending_ = true;
    tell_interrupted("the port changed");
}

void Panel::on_power_click()
{
    if (!power_)
        switch_on();
    else
        switch_off();
}

void Panel::switch_on()
{
    c_.power_lamp.set_colour(power_on_colour);
    power_ = true;
    c_.sync_timer.set_enabled(true);
    c_.refresh_timer.set_enabled(true);
    c_.scan_timer.set_enabled(false);
    c_.power_button.set_text("OFF");
    c_.coarse_spin.set_enabled(true);
    c_.medium_spin.set_enabled(true);
    c_.fine_spin.set_enabled(true);
}

void Panel::switch_off()
{
    c_.power_lamp.set_colour(power_off_colour);
    power_ = false;
    c_.sync_timer.set_enabled(false);
    c_.refresh_timer.set_enabled(false);
    c_.scan_timer.set_enabled(false);
    c_.power_button.set_text("ON");
    reset();
}

void Panel::on_exit_click()
{
    power_ = false;
    c_.sync_timer.set_enabled(false);
    c_.refresh_timer.set_enabled(false);
    c_.scan_timer.set_enabled(false);
    write_safe_state();
    break_hold("the program is ending");
    end_measurements();
    if (beep)
        beep();
    // From here on no handler runs, the close handler included.
    c_.mark_ended();
    if (end_program)
        end_program();
}

void Panel::on_mode_choice()
{
    const Mode m = mode();
    if (m != driven_mode_) {
        leaving_zep_ = driven_mode_ == Mode::zep;
        driven_mode_ = m;
        tell_interrupted("the mode changed");
        leaving_zep_ = false;
    }
    // The next refresh writes other latches, or other bytes into them.
    output_pending_ = true;
    c_.output_frame.set_visible(m == Mode::dpc);
    c_.setpoint_frame.set_visible(m == Mode::zep);
}

namespace {

void toggle(bool& open, Control& frame)
{
    open = !open;
    frame.set_visible(open);
}

void close_frame(bool& open, Control& frame)
{
    frame.set_visible(false);
    open = false;
}

} // namespace

void Panel::on_port_button() { toggle(port_panel_open_, c_.port_panel); }
void Panel::on_port_ok() { close_frame(port_panel_open_, c_.port_panel); }
void Panel::on_probe_button() { toggle(probe_panel_open_, c_.probe_panel); }
void Panel::on_probe_ok() { close_frame(probe_panel_open_, c_.probe_panel); }

void Panel::on_setpoint_change()
{
    // The ranges keep the sum within -30000..30000.
    setpoint_ = static_cast<std::int16_t>(c_.coarse_spin.value() + c_.medium_spin.value() +
                                          c_.fine_spin.value());
    c_.setpoint_box.set_text(std::to_string(setpoint_));
    if (mode() != Mode::zep && !leaving_zep_)
        return;
    const output::SetPointBytes bytes = output::compose_setpoint(setpoint_);
    output_.load_setpoint(bytes);
    output_pending_ = true;
    c_.probe_magnitude_box.set_text(hex(bytes.magnitude));
    c_.probe_sign_box.set_text(bytes.negative ? "1" : "0");
}

void Panel::on_bit_click(int bit)
{
    if (bit < 0 || bit > 7)
        return;
    // Switching a bit on needs the panel ON; off is always possible.
    const bool on = output_.toggle_bit(bit, power_);
    bit_lamp(bit).set_colour(on ? bit_on : bit_off);
    output_pending_ = true;
}

void Panel::on_refresh_tick()
{
    switch (mode()) {
    case Mode::dpc: output_.refresh(output::Refresh::low_latch); break;
    case Mode::zep: output_.refresh(output::Refresh::both_latches); break;
    case Mode::dvm: break;
    }
    // In mode DVM nothing is driven: the board has all there is to get.
    output_pending_ = false;
    for (auto& m : measurements_)
        m.progress.output_written();
    tell_ticks(Tick::refresh);
}

void Panel::on_sync_tick()
{
    const dvm::SyncTick t = reader_.sync_tick();
    c_.probe_status_box.set_text(hex(t.status));
    c_.conversion_lamp.set_colour(t.converting ? converting_colour : idle_colour);
    for (auto& m : measurements_)
        m.progress.sync_tick(t.converting);
    if (t.scan_due) {
        c_.scan_timer.set_enabled(true);
        c_.sync_timer.set_enabled(false);
    }
    tell_ticks(Tick::sync);
}

void Panel::on_scan_tick()
{
    const dvm::ScanTick t = reader_.scan_tick();
    for (auto& m : measurements_)
        m.progress.scan_tick();
    if (t.strobe)
        c_.probe_strobe_box.set_text(std::to_string(*t.strobe));
    if (t.value)
        c_.probe_value_box.set_text(std::to_string(*t.value));
    if (t.over)
        c_.over_mark.set_visible(*t.over);
    if (t.under)
        c_.under_mark.set_visible(*t.under);
    if (t.accepted)
        show_reading();
    if (t.scan_done) {
        c_.sync_timer.set_enabled(true);
        c_.scan_timer.set_enabled(false);
    }
    if (t.accepted) {
        // A listener may run operations of its own: iterate over a copy.
        const auto listeners = reading_listeners_;
        for (const auto& l : listeners)
            l.second(reader_.reading());
        // Those measured are taken out before they are told: a callback
        // may start or cancel measurements.
        std::vector<PendingMeasurement> finished;
        for (auto it = measurements_.begin(); it != measurements_.end();) {
            if (it->progress.reading_accepted()) {
                finished.push_back(std::move(*it));
                it = measurements_.erase(it);
            } else {
                ++it;
            }
        }
        const dvm::Reading reading = reader_.reading();
        for (const auto& m : finished)
            m.done(&reading);
    }
    tell_ticks(Tick::scan);
}

int Panel::measure(int delay_ms, std::function<void(const dvm::Reading*)> done)
{
    // In mode DVM no refresh writes anything: nothing waits for one.
    const bool pending = output_pending_ && mode() != Mode::dvm;
    measurements_.push_back({next_measurement_, FreshMeasurement(pending, delay_ms), std::move(done)});
    return next_measurement_++;
}

void Panel::cancel_measurement(int key)
{
    std::erase_if(measurements_, [key](const PendingMeasurement& m) { return m.key == key; });
}

void Panel::end_measurements()
{
    auto ended = std::move(measurements_);
    measurements_.clear();
    for (const auto& m : ended)
        m.done(nullptr);
}

void Panel::show_reading() { c_.reading_box.set_text(reader_.reading().text()); }

} // namespace korvel
