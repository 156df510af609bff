#include "bench/realtime_probe.h"

#include <QEvent>
#include <QTimer>
#include <QTimerEvent>

#include <cstdio>
#include <sys/resource.h>

namespace korvel::bench {

namespace {

// User and system time of the whole process so far.
double process_cpu_seconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double seconds_between(std::chrono::steady_clock::time_point a,
                       std::chrono::steady_clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

} // namespace

RealtimeProbe::RealtimeProbe(Panel& panel, sim::SimBoard& board, std::array<QTimer*, 3> timers)
    : panel_(panel), board_(board), controls_(panel_timers(panel)), timers_(timers)
{
    set_nominal_rates(figures_, panel_);
    for (QTimer* t : timers_)
        t->installEventFilter(this);
    observer_key_ = panel_.controls().observe([this](Control& c, Property p) {
        if (p == Property::Enabled)
            on_enabled(c);
    });
    reading_key_ = panel_.on_reading([this](const dvm::Reading&) {
        if (measuring_)
            ++figures_.shown;
    });
    const auto now = Clock::now();
    for (auto& since : running_since_)
        since = now;
}

RealtimeProbe::~RealtimeProbe()
{
    panel_.controls().forget(observer_key_);
    panel_.forget_readings(reading_key_);
    for (QTimer* t : timers_)
        t->removeEventFilter(this);
}

bool RealtimeProbe::eventFilter(QObject* watched, QEvent* e)
{
    if (e->type() != QEvent::Timer)
        return false;
    for (int i = 0; i < 3; ++i) {
        if (watched == timers_[i] &&
            static_cast<QTimerEvent*>(e)->timerId() == timers_[i]->timerId() &&
            controls_[i]->enabled())
            ++ticks_[i];
    }
    return false;
}

void RealtimeProbe::on_enabled(Control& c)
{
    const auto now = Clock::now();
    for (int i = 0; i < 3; ++i) {
        if (&c != controls_[i])
            continue;
        if (c.enabled())
            running_since_[i] = now;
        else if (measuring_)
            figures_.running_s[i] += seconds_between(running_since_[i], now);
    }
    // A scan runs from scan_timer's start to its stop by the scan's last tick,
    // which hands over to sync_timer again; the Exit and OFF stop sync_timer first.
    if (&c == &panel_.controls().scan_timer) {
        if (c.enabled()) {
            scan_started_at_ = ticks_[2];
        } else if (measuring_ && panel_.controls().sync_timer.enabled()) {
            ++figures_.scans;
            figures_.scan_ticks.push_back(static_cast<int>(ticks_[2] - scan_started_at_));
        }
    }
}

double RealtimeProbe::conversions_so_far()
{
    return conversions(board_);
}

void RealtimeProbe::start()
{
    if (measuring_ || stopped_)
        return;
    measuring_ = true;
    conversions0_ = conversions_so_far();
    discarded0_ = panel_.reader().discarded_samples();
    cpu0_ = process_cpu_seconds();
    wall0_ = Clock::now();
    for (int i = 0; i < 3; ++i) {
        ticks_at_start_[i] = ticks_[i];
        running_since_[i] = wall0_;
    }
}

void RealtimeProbe::stop()
{
    if (!measuring_)
        return;
    const auto now = Clock::now();
    cpu_s_ = process_cpu_seconds() - cpu0_;
    figures_.seconds = seconds_between(wall0_, now);
    for (int i = 0; i < 3; ++i) {
        if (controls_[i]->enabled())
            figures_.running_s[i] += seconds_between(running_since_[i], now);
        figures_.ticks[i] = ticks_[i] - ticks_at_start_[i];
    }
    figures_.conversions = conversions_so_far() - conversions0_;
    figures_.discarded = panel_.reader().discarded_samples() - discarded0_;
    figures_.reading = panel_.controls().reading_box.text();
    measuring_ = false;
    stopped_ = true;
}

void RealtimeProbe::print(const std::string& title, int set_point) const
{
    const Figures& f = figures_;
    std::printf("%s: set-point %d, %.1f s\n", title.c_str(), set_point, f.seconds);
    print_rates(f);
    std::printf("  CPU while ON        %.1f%% of one core (%.2f s in %.2f s)\n",
                f.seconds > 0 ? 100 * cpu_s_ / f.seconds : 0.0, cpu_s_, f.seconds);
    std::printf("  last reading        %s\n", f.reading.c_str());
}

} // namespace korvel::bench
