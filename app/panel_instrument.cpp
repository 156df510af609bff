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
    for (int key : sweep_watches_)
        sweep_->forget(key);
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

// --- The sweep ---

namespace {

using Direction = remote::SweepSettings::Direction;

sweep::Settings engine_settings(const remote::SweepSettings& r, sweep::Settings s)
{
    s.shape = r.list ? sweep::Shape::list : sweep::Shape::staircase;
    s.start = r.start;
    s.stop = r.stop;
    s.step = r.step;
    s.direction = r.direction == Direction::up     ? sweep::Direction::up
                  : r.direction == Direction::down ? sweep::Direction::down
                                                   : sweep::Direction::up_down;
    s.list = r.points;
    s.repeats = r.count;
    s.readings = r.readings;
    s.slew = r.slew;
    s.end = r.hold ? sweep::EndState::hold : sweep::EndState::back;
    return s;
}

} // namespace

std::optional<remote::SweepSettings> PanelInstrument::sweep_settings() const
{
    if (!sweep_)
        return std::nullopt;
    const sweep::Settings& s = sweep_->settings();
    remote::SweepSettings r;
    r.list = s.shape == sweep::Shape::list;
    r.start = s.start;
    r.stop = s.stop;
    r.step = s.step;
    r.direction = s.direction == sweep::Direction::up     ? Direction::up
                  : s.direction == sweep::Direction::down ? Direction::down
                                                          : Direction::up_down;
    r.points = s.list;
    r.count = s.repeats;
    r.readings = s.readings;
    r.slew = s.slew;
    r.hold = s.end == sweep::EndState::hold;
    return r;
}

void PanelInstrument::set_sweep_settings(const remote::SweepSettings& r)
{
    if (!sweep_)
        return;
    // The interpreter has checked every range.
    sweep_->set_settings(engine_settings(r, sweep_->settings()));
}

std::size_t PanelInstrument::sweep_points() const
{
    return sweep_ ? sweep::point_count(sweep_->settings()) : 0;
}

std::string PanelInstrument::start_sweep(int settle_ms)
{
    if (!sweep_)
        return "there is no sweep here";
    sweep::Settings s = sweep_->settings();
    s.settle_ms = settle_ms;
    return sweep_->start(s);
}

void PanelInstrument::abort_sweep()
{
    if (sweep_)
        sweep_->stop("aborted");
}

std::vector<remote::SweepPoint> PanelInstrument::sweep_results() const
{
    std::vector<remote::SweepPoint> out;
    if (!sweep_)
        return out;
    for (const sweep::PointResult& p : sweep_->results())
        out.push_back({p.setpoint, p.mean, p.in_range == 0});
    return out;
}

int PanelInstrument::watch_sweep(std::function<void()> ended)
{
    if (!sweep_)
        return -1;
    const int key = sweep_->observe([ended = std::move(ended)](sweep::Sweep::Event e) {
        if (e == sweep::Sweep::Event::ended)
            ended();
    });
    sweep_watches_.push_back(key);
    return key;
}

void PanelInstrument::forget_sweep(int key)
{
    if (sweep_ && std::erase(sweep_watches_, key) > 0)
        sweep_->forget(key);
}

std::optional<bool> PanelInstrument::sweep_window_open() const
{
    if (!sweep_is_open_ || !*sweep_is_open_ || !sweep_set_open_ || !*sweep_set_open_)
        return std::nullopt;
    return (*sweep_is_open_)();
}

void PanelInstrument::set_sweep_window_open(bool open)
{
    if (sweep_set_open_ && *sweep_set_open_)
        (*sweep_set_open_)(open);
}

} // namespace korvel
