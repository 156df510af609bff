// Runs a window's timers in virtual time: each running timer ticks every
// interval after it was started, ticks due at the same moment come in the
// order sync, refresh, scan timer, and no tick runs inside another. Used by
// tests and benchmarks to run the panel for simulated minutes in a moment.
#pragma once

#include "panel/controls.h"

#include <cstdint>
#include <functional>

namespace korvel {

class VirtualTimers {
public:
    // on_time is told the virtual time (ns) before each tick runs.
    explicit VirtualTimers(Controls& controls,
                           std::function<void(std::int64_t)> on_time = {});
    ~VirtualTimers();
    VirtualTimers(const VirtualTimers&) = delete;
    VirtualTimers& operator=(const VirtualTimers&) = delete;

    std::int64_t now_ns() const { return now_; }

    // Runs every tick due up to now + ms, then leaves the time there.
    void run_for_ms(std::int64_t ms);
    void run_for_ns(std::int64_t ns);

    // Ticks run so far by the timer `id`.
    std::uint64_t ticks(ControlId id) const;

private:
    struct Slot {
        Control* timer;
        std::int64_t due = -1; // -1 while stopped
    };
    Controls& controls_;
    std::function<void(std::int64_t)> on_time_;
    Slot slots_[3];
    std::uint64_t ticks_[3] = {0, 0, 0};
    std::int64_t now_ = 0;
    int observer_key_ = -1;
};

} // namespace korvel
