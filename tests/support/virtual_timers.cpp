#include "support/virtual_timers.h"

namespace korvel {

namespace {
constexpr std::int64_t ns_per_ms = 1'000'000;
}

VirtualTimers::VirtualTimers(Controls& controls, std::function<void(std::int64_t)> on_time)
    : controls_(controls), on_time_(std::move(on_time)),
      slots_{{&controls.sync_timer}, {&controls.refresh_timer}, {&controls.scan_timer}}
{
    for (Slot& s : slots_)
        if (s.timer->enabled())
            s.due = now_ + s.timer->design().interval_ms * ns_per_ms;
    observer_key_ = controls_.observe([this](Control& c, Property p) {
        if (p != Property::Enabled || c.kind() != Kind::Timer)
            return;
        for (Slot& s : slots_)
            if (s.timer == &c)
                s.due = c.enabled() ? now_ + c.design().interval_ms * ns_per_ms : -1;
    });
}

VirtualTimers::~VirtualTimers() { controls_.forget(observer_key_); }

std::uint64_t VirtualTimers::ticks(ControlId id) const
{
    for (int i = 0; i < 3; ++i)
        if (slots_[i].timer->id() == id)
            return ticks_[i];
    return 0;
}

void VirtualTimers::run_for_ms(std::int64_t ms) { run_for_ns(ms * ns_per_ms); }

void VirtualTimers::run_for_ns(std::int64_t ns)
{
    const std::int64_t end = now_ + ns;
    for (;;) {
        Slot* next = nullptr;
        for (Slot& s : slots_)
            if (s.due >= 0 && s.due <= end && (!next || s.due < next->due))
                next = &s;
        if (!next || controls_.ended())
            break;
        now_ = next->due;
        next->due += next->timer->design().interval_ms * ns_per_ms;
        if (on_time_)
            on_time_(now_);
        ++ticks_[next - slots_];
        next->timer->fire();
    }
    now_ = end;
    if (on_time_)
        on_time_(now_);
}

} // namespace korvel
