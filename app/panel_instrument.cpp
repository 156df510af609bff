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

PanelInstrument::PanelInstrument(Panel& panel, std::string model,
                                 history::ReadingHistory* history)
    : panel_(panel), model_(std::move(model)), history_(history)
{
    if (history_) {
        // The history's record of the reading: its marks and its limit
        // verdict as the history judged it, the one place that judges.
        history_key_ = history_->on_add([this](const history::Sample& s) {
            remote::Reading r;
            r.value = s.value;
            r.over = s.mark == history::Mark::over;
            r.under = s.mark == history::Mark::under;
            r.limit = s.limit == history::Limit::low    ? remote::Limit::low
                      : s.limit == history::Limit::high ? remote::Limit::high
                                                        : remote::Limit::none;
            take(r);
        });
    } else {
        readings_ = std::make_unique<MarkedReadings>(panel_, [this](const dvm::Reading& r) {
            take(remote::Reading{r.value(), r.over, r.under});
        });
    }
    Controls& c = panel_.controls();
    observer_key_ = c.observe([this, &c](Control& changed, Property p) {
        // The power button's caption changes with every switch ON or OFF: a
        // reading belongs to the ON period it was taken in.
        if (&changed == &c.power_button && p == Property::Text)
            last_.reset();
    });
}

PanelInstrument::~PanelInstrument()
{
    for (int key : measurements_)
        panel_.cancel_measurement(key);
    if (history_)
        history_->forget(history_key_);
    panel_.controls().forget(observer_key_);
}

void PanelInstrument::take(const remote::Reading& r)
{
    last_ = r;
    publish(r);
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

std::optional<remote::Statistics> PanelInstrument::statistics() const
{
    if (!history_)
        return std::nullopt;
    const history::Statistics& h = history_->statistics();
    remote::Statistics s;
    s.count = h.count;
    s.over = h.over;
    s.under = h.under;
    s.min = h.min;
    s.max = h.max;
    s.mean = h.mean;
    s.sdev = h.sdev;
    return s;
}

void PanelInstrument::clear_statistics()
{
    if (history_)
        history_->clear_statistics();
}

std::optional<remote::Limits> PanelInstrument::limits() const
{
    if (!history_)
        return std::nullopt;
    const history::Limits& l = history_->limits();
    return remote::Limits{l.enabled, l.lower, l.upper};
}

void PanelInstrument::set_limits(const remote::Limits& limits)
{
    if (history_)
        history_->set_limits({limits.enabled, limits.lower, limits.upper});
}

remote::LimitFailures PanelInstrument::limit_failures() const
{
    if (!history_)
        return {};
    // Failing: the limits are on and the latest reading, judged as it
    // came, lay outside them.
    const bool failing = history_->limits().enabled && !history_->empty() &&
                         history_->newest().limit != history::Limit::none;
    return {failing, history_->limit_failures()};
}

void PanelInstrument::clear_limit_failures()
{
    if (history_)
        history_->clear_limit_failures();
}

std::optional<bool> PanelInstrument::trend_open() const
{
    if (!trend_is_open_ || !*trend_is_open_ || !trend_set_open_ || !*trend_set_open_)
        return std::nullopt;
    return (*trend_is_open_)();
}

void PanelInstrument::set_trend_open(bool open)
{
    if (trend_set_open_ && *trend_set_open_)
        (*trend_set_open_)(open);
}

std::optional<std::size_t> PanelInstrument::readings_kept() const
{
    const history::ReadingSource* source = source_ ? source_ : history_;
    if (!source)
        return std::nullopt;
    return source->count();
}

std::vector<remote::Reading> PanelInstrument::newest_readings(std::size_t n) const
{
    const history::ReadingSource* source = source_ ? source_ : history_;
    std::vector<remote::Reading> out;
    if (!source)
        return out;
    for (const history::Sample& s : source->latest(n)) {
        remote::Reading r;
        r.value = s.value;
        r.over = s.mark == history::Mark::over;
        r.under = s.mark == history::Mark::under;
        out.push_back(r);
    }
    return out;
}

} // namespace korvel
