#include "sweep/sweep.h"

#include "panel/measurement.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>

namespace korvel::sweep {

namespace {

bool within(int v, int low, int high) { return v >= low && v <= high; }

std::string range_text(int low, int high)
{
    return std::to_string(low) + ".." + std::to_string(high);
}

} // namespace

std::string check(const Settings& s)
{
    if (s.shape == Shape::staircase) {
        if (!within(s.start, -setpoint_limit, setpoint_limit) ||
            !within(s.stop, -setpoint_limit, setpoint_limit))
            return "start and stop lie within " + range_text(-setpoint_limit, setpoint_limit);
        if (!within(s.step, 1, 2 * setpoint_limit))
            return "the step lies within " + range_text(1, 2 * setpoint_limit);
    } else {
        if (s.list.size() > static_cast<std::size_t>(max_list_points))
            return "a list holds 1 to " + std::to_string(max_list_points) + " set-points";
        for (int v : s.list)
            if (!within(v, -setpoint_limit, setpoint_limit))
                return "the list's set-points lie within " +
                       range_text(-setpoint_limit, setpoint_limit);
    }
    if (!within(s.settle_ms, 0, max_settle_ms))
        return "the settling delay lies within 0..60 s";
    if (!within(s.readings, 1, max_readings))
        return "the readings per point lie within " + range_text(1, max_readings);
    if (!within(s.repeats, 0, max_repeats))
        return "the repeat count lies within " + range_text(1, max_repeats) + ", or endless";
    if (!within(s.slew, 0, 2 * setpoint_limit))
        return "the slew limit lies within " + range_text(1, 2 * setpoint_limit) + " counts, or off";
    return {};
}

std::vector<int> points(const Settings& s)
{
    if (s.shape == Shape::list)
        return s.list;
    std::vector<int> up;
    if (s.step <= 0)
        return up;
    const int dir = s.stop >= s.start ? 1 : -1;
    for (long v = s.start; dir > 0 ? v < s.stop : v > s.stop; v += static_cast<long>(dir) * s.step)
        up.push_back(static_cast<int>(v));
    up.push_back(s.stop);
    switch (s.direction) {
    case Direction::up: break;
    case Direction::down: std::reverse(up.begin(), up.end()); break;
    case Direction::up_down:
        for (std::size_t i = up.size() - 1; i-- > 0;)
            up.push_back(up[i]);
        break;
    }
    return up;
}

std::size_t point_count(const Settings& s)
{
    if (s.shape == Shape::list)
        return s.list.size();
    if (s.step <= 0)
        return 0;
    const long span = std::labs(static_cast<long>(s.stop) - s.start);
    const std::size_t one_way = static_cast<std::size_t>((span + s.step - 1) / s.step) + 1;
    return s.direction == Direction::up_down ? 2 * one_way - 1 : one_way;
}

ParsedList parse_list(std::string_view text)
{
    ParsedList out;
    int line_no = 0;
    bool header_possible = true;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        ++line_no;
        if (const auto hash = line.find('#'); hash != std::string_view::npos)
            line = line.substr(0, hash);
        std::vector<std::string_view> fields;
        std::size_t i = 0;
        while (i < line.size()) {
            while (i < line.size() && std::string_view(",; \t\r\"").find(line[i]) != std::string_view::npos)
                ++i;
            const std::size_t b = i;
            while (i < line.size() && std::string_view(",; \t\r\"").find(line[i]) == std::string_view::npos)
                ++i;
            if (i > b)
                fields.push_back(line.substr(b, i - b));
        }
        if (fields.empty())
            continue;
        const bool first = header_possible;
        header_possible = false;
        std::vector<int> values;
        for (std::string_view f : fields) {
            std::string_view digits = f;
            if (!digits.empty() && digits.front() == '+')
                digits.remove_prefix(1);
            int v = 0;
            const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
            if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty()) {
                values.clear();
                if (first && ec == std::errc::invalid_argument)
                    break; // a header line
                out.error = "line " + std::to_string(line_no) + ": '" +
                            std::string(f.substr(0, 20)) + "' is no whole number";
                out.points.clear();
                return out;
            }
            if (!within(v, -setpoint_limit, setpoint_limit)) {
                out.error = "line " + std::to_string(line_no) + ": " + std::to_string(v) +
                            " lies outside " + range_text(-setpoint_limit, setpoint_limit);
                out.points.clear();
                return out;
            }
            values.push_back(v);
        }
        out.points.insert(out.points.end(), values.begin(), values.end());
        if (out.points.size() > static_cast<std::size_t>(max_list_points)) {
            out.error = "more than " + std::to_string(max_list_points) + " set-points";
            out.points.clear();
            return out;
        }
    }
    if (out.points.empty() && out.error.empty())
        out.error = "no set-points";
    return out;
}

std::string marks(const PointResult& r)
{
    if (r.over && r.under)
        return "OR UR";
    return r.over ? "OR" : r.under ? "UR" : "";
}

std::string results_csv(const std::deque<PointResult>& results)
{
    std::string s = "point,repeat,setpoint,mean,min,max,marks,time\n";
    char buf[160];
    for (const PointResult& r : results) {
        std::snprintf(buf, sizeof buf, "%d,%d,%d,%.3f,%d,%d,%s,%.3f\n", r.point, r.repeat,
                      r.setpoint, r.mean, r.min, r.max, marks(r).c_str(), r.seconds);
        s += buf;
    }
    return s;
}

Sweep::Sweep(Panel& panel) : panel_(panel)
{
    marked_ = std::make_unique<MarkedReadings>(panel_, [this](const dvm::Reading& r) {
        last_marked_ = r;
    });
    tick_key_ = panel_.on_tick([this](Tick t) { on_tick(t); });
}

Sweep::~Sweep()
{
    if (measure_key_ >= 0)
        panel_.cancel_measurement(measure_key_);
    panel_.release_setpoint(hold_key_);
    panel_.forget_ticks(tick_key_);
}

std::string Sweep::set_settings(const Settings& s)
{
    std::string why = check(s);
    if (why.empty())
        settings_ = s;
    return why;
}

std::string Sweep::start() { return start(settings_); }

std::string Sweep::start(const Settings& s)
{
    if (running())
        return "a sweep is running already";
    if (std::string why = check(s); !why.empty())
        return why;
    if (s.shape == Shape::list && s.list.empty())
        return "a list holds 1 to " + std::to_string(max_list_points) + " set-points; the list is empty";
    if (panel_.ended() || !panel_.power())
        return "the panel is OFF; switch it ON first";
    if (panel_.mode() != Mode::zep)
        return "the set-point is driven in mode ZEP only; choose mode ZEP first";
    if (std::string fault = panel_.port_fault(); !fault.empty())
        return "the port reaches no board: " + fault;
    if (!panel_.setpoint_holder().empty())
        return panel_.setpoint_holder() + " holds the set-point";
    hold_key_ = panel_.hold_setpoint("a sweep", [this](std::string_view why) {
        end_state(std::string(why));
    });
    if (hold_key_ < 0)
        return "the set-point is held";
    run_ = s;
    plan_ = points(s);
    before_ = panel_.setpoint();
    index_ = 0;
    repeat_ = 0;
    done_ = 0;
    elapsed_ms_ = 0;
    results_.clear();
    end_reason_.clear();
    phase_ = Phase::moving;
    notify(Event::started);
    begin_point();
    return {};
}

void Sweep::stop(std::string_view why)
{
    if (running() && !returning())
        end_state(std::string(why));
}

Progress Sweep::progress() const
{
    Progress p;
    p.done = done_;
    p.total = run_.repeats == 0 ? 0 : plan_.size() * static_cast<std::size_t>(run_.repeats);
    p.elapsed_ms = elapsed_ms_;
    if (p.total > 0 && p.done > 0 && p.done <= p.total)
        p.left_ms = elapsed_ms_ * static_cast<std::int64_t>(p.total - p.done) /
                    static_cast<std::int64_t>(p.done);
    else if (p.total > 0 && running())
        p.left_ms = -1;
    if (!running())
        p.left_ms = 0;
    return p;
}

int Sweep::observe(std::function<void(Event)> observer)
{
    observers_.emplace_back(next_observer_, std::move(observer));
    return next_observer_++;
}

void Sweep::forget(int key)
{
    std::erase_if(observers_, [key](const auto& o) { return o.first == key; });
}

void Sweep::notify(Event e)
{
    const auto observers = observers_;
    for (const auto& o : observers)
        o.second(e);
}

bool Sweep::step_toward(int target)
{
    const int now = panel_.setpoint();
    int next = target;
    if (run_.slew > 0 && std::abs(target - now) > run_.slew)
        next = now + (target > now ? run_.slew : -run_.slew);
    if (next != now)
        panel_.set_setpoint(next, hold_key_);
    return next == target;
}

void Sweep::begin_point()
{
    target_ = plan_[index_];
    taken_.clear();
    phase_ = Phase::moving;
    // The rest of a slewed move follows at each refresh (on_tick).
    if (step_toward(target_))
        start_measure();
}

void Sweep::start_measure()
{
    phase_ = Phase::measuring;
    waited_ms_ = 0;
    const int delay = taken_.empty() ? run_.settle_ms : 0;
    measure_key_ = panel_.measure(delay, [this](const dvm::Reading* r) { take(r); });
}

void Sweep::take(const dvm::Reading* r)
{
    measure_key_ = -1;
    if (!r) {
        end_state("the panel stopped reading");
        return;
    }
    // The reading listeners ran first: this is the reading with the marks
    // seen during its conversion.
    taken_.push_back(last_marked_);
    if (taken_.size() < static_cast<std::size_t>(run_.readings))
        start_measure();
    else
        finish_point();
}

void Sweep::finish_point()
{
    PointResult p;
    p.point = static_cast<int>(index_) + 1;
    p.repeat = repeat_ + 1;
    p.setpoint = target_;
    p.readings = static_cast<int>(taken_.size());
    double sum = 0;
    for (const dvm::Reading& r : taken_) {
        p.over = p.over || r.over;
        p.under = p.under || r.under;
        if (r.over)
            continue;
        const int v = r.value();
        sum += v;
        p.min = p.in_range == 0 ? v : std::min(p.min, v);
        p.max = p.in_range == 0 ? v : std::max(p.max, v);
        ++p.in_range;
    }
    p.mean = p.in_range > 0 ? sum / p.in_range : 0.0;
    p.seconds = static_cast<double>(elapsed_ms_) / 1000.0;
    if (results_.size() >= max_results)
        results_.pop_front();
    results_.push_back(p);
    ++done_;
    notify(Event::point);
    if (phase_ != Phase::measuring)
        return; // an observer stopped it
    if (++index_ == plan_.size()) {
        index_ = 0;
        ++repeat_;
        if (run_.repeats > 0 && repeat_ >= run_.repeats) {
            end_state("finished");
            return;
        }
    }
    begin_point();
}

void Sweep::on_tick(Tick t)
{
    if (!running())
        return;
    if (t != Tick::refresh) {
        const int ms = t == Tick::sync ? FreshMeasurement::sync_tick_ms : FreshMeasurement::scan_tick_ms;
        elapsed_ms_ += ms;
        if (phase_ == Phase::measuring) {
            waited_ms_ += ms;
            const int limit = reading_timeout_ms + (taken_.empty() ? run_.settle_ms : 0);
            if (waited_ms_ > limit)
                end_state("no reading came within " + std::to_string(limit / 1000) +
                          " s; is the board on the port and powered?");
        }
        return;
    }
    // A refresh has just written the latches.
    if (phase_ != Phase::returning) {
        if (std::string fault = panel_.port_fault(); !fault.empty()) {
            end_state("the port failed: " + fault);
            return;
        }
    }
    if (phase_ == Phase::moving) {
        if (step_toward(target_))
            start_measure();
    } else if (phase_ == Phase::returning) {
        if (panel_.setpoint() == target_ && !panel_.output_pending())
            finish(end_reason_);
        else
            step_toward(target_);
    }
}

void Sweep::end_state(std::string why)
{
    if (!running())
        return;
    if (measure_key_ >= 0) {
        panel_.cancel_measurement(measure_key_);
        measure_key_ = -1;
    }
    end_reason_ = why;
    const bool drivable = !panel_.ended() && panel_.power();
    if (!drivable || run_.end == EndState::hold || panel_.setpoint() == before_) {
        finish(std::move(why));
        return;
    }
    if (run_.slew == 0) {
        // At once: also when the mode has just left ZEP, as if the return
        // came just before the change.
        panel_.set_setpoint(before_, hold_key_);
        finish(std::move(why));
        return;
    }
    if (panel_.mode() != Mode::zep) {
        // The output is no longer driven: a return in one move would break
        // the slew limit when ZEP drives it again.
        finish(why + "; the set-point holds the last point (slew limit)");
        return;
    }
    // Back within the slew limit, one move per refresh; the hold stays
    // until the board has the set-point from before.
    phase_ = Phase::returning;
    target_ = before_;
    step_toward(target_);
}

void Sweep::finish(std::string why)
{
    panel_.release_setpoint(hold_key_);
    hold_key_ = -1;
    phase_ = Phase::idle;
    end_reason_ = std::move(why);
    notify(Event::ended);
}

} // namespace korvel::sweep
