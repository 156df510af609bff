#include "app/panel_instrument.h"

#include <memory>

#ifndef KORVEL_VERSION
#define KORVEL_VERSION "0.0.0"
#endif

namespace korvel {

namespace {

constexpr std::pair<Mode, const char*> modes[] = {
    {Mode::zep, "ZEP"}, {Mode::dpc, "DPC"}, {Mode::dvm, "DVM"}};

} // namespace

PanelInstrument::PanelInstrument(Panel& panel, std::string model)
    : panel_(panel), model_(std::move(model))
{
    reading_key_ = panel_.on_reading([this](const dvm::Reading& r) {
        last_ = remote::Reading{r.value(), r.over || over_seen_, r.under || under_seen_};
        over_seen_ = under_seen_ = false;
        publish(*last_);
    });
    Controls& c = panel_.controls();
    observer_key_ = c.observe([this, &c](Control& changed, Property p) {
        // The power button's caption changes with every switch ON or OFF: a
        // reading belongs to the ON period it was taken in.
        if (&changed == &c.power_button && p == Property::Text) {
            last_.reset();
            over_seen_ = under_seen_ = false;
        }
        // The converter shows its range lines only in parts of its cycle, so
        // a mark may come and go between two readings (the window blinks
        // it). A reading is marked when its mark showed at any time since
        // the reading before.
        if (p == Property::Visible && changed.visible()) {
            if (&changed == &c.over_mark)
                over_seen_ = true;
            if (&changed == &c.under_mark)
                under_seen_ = true;
        }
    });
}

PanelInstrument::~PanelInstrument()
{
    for (int key : measurements_)
        panel_.cancel_measurement(key);
    panel_.forget_readings(reading_key_);
    panel_.controls().forget(observer_key_);
}

std::string PanelInstrument::identity() const
{
    return "korvel," + model_ + ",0," KORVEL_VERSION;
}

void PanelInstrument::reset()
{
    if (panel_.ended())
        return;
    // Switching OFF resets; while OFF the reset runs on its own, with the
    // same safe-state write first.
    if (panel_.power())
        panel_.set_power(false);
    else
        panel_.reset();
}

void PanelInstrument::set_power(bool on)
{
    if (!panel_.ended())
        panel_.set_power(on);
}

std::string PanelInstrument::mode() const
{
    for (const auto& [m, name] : modes)
        if (m == panel_.mode())
            return name;
    return {};
}

void PanelInstrument::set_mode(std::string_view mode)
{
    for (const auto& [m, name] : modes)
        if (mode == name)
            panel_.choose_mode(m);
}

std::vector<std::string> PanelInstrument::ports() const
{
    return panel_.controls().port_selector.items();
}

void PanelInstrument::set_port(std::string_view item) { panel_.choose_port(item); }

void PanelInstrument::set_setpoint(int value) { panel_.set_setpoint(value); }

void PanelInstrument::set_bits(int value) { panel_.set_bits(value); }

bool PanelInstrument::view_open(View view) const
{
    return view == View::port ? panel_.port_panel_open() : panel_.probe_panel_open();
}

// Opening goes through the panel's button, closing through its OK, as a
// user does.
void PanelInstrument::set_view_open(View view, bool open)
{
    const PopUp which = view == View::port ? PopUp::port_panel : PopUp::probe_panel;
    if (open)
        panel_.toggle_panel(which);
    else
        panel_.close_panel(which);
}

int PanelInstrument::initiate(int delay_ms, MeasureHook done)
{
    // The panel's key is the instrument's: the panel outlives this view.
    auto key = std::make_shared<int>(-1);
    *key = panel_.measure(delay_ms, [this, key, done = std::move(done)](const dvm::Reading* r) {
        std::erase(measurements_, *key);
        // The reading listeners ran first: last_ is this reading with the
        // marks seen during its conversion.
        if (r && last_)
            done(last_);
        else
            done(std::nullopt);
    });
    measurements_.push_back(*key);
    return *key;
}

void PanelInstrument::cancel(int key)
{
    if (std::erase(measurements_, key) > 0)
        panel_.cancel_measurement(key);
}

void PanelInstrument::exit()
{
    if (!panel_.ended())
        panel_.exit();
}

} // namespace korvel
