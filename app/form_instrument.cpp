#include "app/form_instrument.h"

#include <algorithm>

#ifndef KORVEL_VERSION
#define KORVEL_VERSION "0.0.0"
#endif

namespace korvel {

namespace {

// The bit buttons by bit: Command8 is Q0 on the right, Command1 Q7 on the left.
constexpr ControlId bit_buttons[8] = {ControlId::Command8, ControlId::Command7,
                                      ControlId::Command6, ControlId::Command5,
                                      ControlId::Command4, ControlId::Command3,
                                      ControlId::Command2, ControlId::Command1};

// `value` in whole steps of `step`, towards zero, within the control's range.
int take(int value, int step, ControlId id)
{
    const Design& d = design_of(id);
    return std::clamp(value / step * step, d.min, d.max);
}

} // namespace

FormInstrument::FormInstrument(Form1& form, std::string model)
    : form_(form), model_(std::move(model))
{
    form_.reading_accepted = [this] {
        last_ = reading_shown();
        last_->over |= over_seen_;
        last_->under |= under_seen_;
        over_seen_ = under_seen_ = false;
        publish(*last_);
    };
    observer_ = form_.c.observe([this](Control& c, Property p) {
        // The power button's caption changes with every switch ON or OFF: a
        // reading belongs to the ON period it was taken in.
        if (c.id() == ControlId::Command9 && p == Property::Text) {
            last_.reset();
            over_seen_ = under_seen_ = false;
        }
        // The converter shows its over- and under-range lines only in parts
        // of its cycle, so a mark may come and go between two readings: the
        // window blinks it. A reading is marked when its mark showed at any
        // time since the reading before.
        if (p == Property::Visible && c.visible()) {
            if (c.id() == ControlId::Label1)
                over_seen_ = true;
            if (c.id() == ControlId::Label5)
                under_seen_ = true;
        }
    });
}

FormInstrument::~FormInstrument()
{
    form_.reading_accepted = nullptr;
    form_.c.forget(observer_);
}

std::string FormInstrument::identity() const
{
    return "korvel," + model_ + ",0," KORVEL_VERSION;
}

void FormInstrument::reset()
{
    if (form_.ended())
        return;
    // Switching OFF resets; while OFF the reset runs on its own, with the
    // same safe-state write first.
    if (power())
        form_.c.Command9.fire();
    else
        form_.start_up();
}

bool FormInstrument::power() const { return form_.st.power == 1; }

void FormInstrument::set_power(bool on)
{
    if (on != power())
        form_.c.Command9.fire();
}

std::string FormInstrument::mode() const { return form_.c.Combo2.text(); }

void FormInstrument::set_mode(std::string_view mode) { form_.c.Combo2.select(mode); }

std::vector<std::string> FormInstrument::ports() const { return form_.c.Combo1.items(); }

std::string FormInstrument::port() const { return form_.c.Combo1.text(); }

void FormInstrument::set_port(std::string_view item) { form_.c.Combo1.select(item); }

int FormInstrument::setpoint() const
{
    return form_.c.VScroll1.value() + form_.c.VScroll2.value() + form_.c.VScroll3.value();
}

FormInstrument::Spins FormInstrument::share_out(int value)
{
    const int coarse = take(value, 100, ControlId::VScroll1);
    const int medium = take(value - coarse, 10, ControlId::VScroll2);
    return {coarse, medium, value - coarse - medium};
}

void FormInstrument::set_setpoint(int value)
{
    if (form_.ended())
        return;
    // Each control's change event composes the latch bytes anew; the board
    // gets the sum on the next refresh.
    const Spins s = share_out(value);
    form_.c.VScroll1.set_value(s.coarse);
    form_.c.VScroll2.set_value(s.medium);
    form_.c.VScroll3.set_value(s.fine);
}

int FormInstrument::bits() const
{
    int v = 0;
    for (int bit = 0; bit < 8; ++bit)
        v |= (form_.st.q(bit) ? 1 : 0) << bit;
    return v;
}

void FormInstrument::set_bits(int value)
{
    for (int bit = 0; bit < 8; ++bit)
        if (((value >> bit) & 1) != form_.st.q(bit))
            form_.c[bit_buttons[bit]].fire();
}

std::optional<remote::Reading> FormInstrument::last_reading() const { return last_; }

remote::Reading FormInstrument::reading_shown() const
{
    // "+12345" or "- 00700".
    const std::string& text = form_.c.dvm_reading.text();
    int value = 0;
    for (char ch : text)
        if (ch >= '0' && ch <= '9')
            value = value * 10 + (ch - '0');
    if (!text.empty() && text[0] == '-')
        value = -value;
    return {value, form_.c.Label1.visible(), form_.c.Label5.visible()};
}

} // namespace korvel
