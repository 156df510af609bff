// A Port wrapper that knows which boards the panel drove and whether each
// was left in the safe state (255 latched into the low latch, control
// register 12), so that the safe state can be written to every driven port,
// exactly once, however the program ends.
#pragma once

#include "port/port.h"

#include <atomic>
#include <cstdint>

namespace korvel::guard {

// What the panel and its watchdog share: the bases driven so far on ports
// the panel holds, and whether the panel finished its own exit. Plain data, so that it can live
// in memory shared with the watchdog process.
struct Registry {
    static constexpr int max_bases = 16;
    std::atomic<int> count{0};
    std::atomic<int> bases[max_bases]{};
    std::atomic<int> finished{0};
};
static_assert(std::atomic<int>::is_always_lock_free);

// A registry in anonymous shared memory, inherited by a forked watchdog.
// Falls back to a static one when shared memory cannot be had.
Registry& shared_registry();

class GuardedPort : public Port {
public:
    GuardedPort(Port& inner, Registry& registry);

    std::int16_t Inp32(std::int16_t address) override;
    void Out32(std::int16_t address, std::int16_t value) override;
    std::string fault(int base) override;
    std::int64_t now_ns() override { return inner_.now_ns(); }

    // Writes the safe state to every driven base not already in it.
    // Async-signal-safe as far as the inner port's Out32 is.
    void make_all_safe() noexcept;

    // The panel's own end: every driven board safe, and the watchdog told
    // that nothing is left for it to do. From then on no write passes: a
    // panel still running on another thread while a crash handler finishes
    // cannot drive the board live again. A write another thread has under
    // way is waited for (briefly) first. Idempotent; a second call, also
    // one that interrupts the first, writes nothing.
    void finish() noexcept;

    bool is_safe(int base) const;
    // Whether any write has reached a port this panel holds yet (writes to
    // a port that reads as absent reach nothing).
    bool drove_any() const noexcept { return held_count_ > 0; }
    bool finished() const noexcept { return closed_.load(); }

private:
    struct Tracked {
        int base = -1;
        int step = 0;  // how much of the safe-state sequence was just written
        bool safe = false;
    };
    Tracked* track(int base);
    // Tracks the write and passes it on.
    void write_through(std::int16_t address, std::int16_t value);

    Port& inner_;
    Registry& registry_;
    Tracked tracked_[Registry::max_bases];
    int tracked_count_ = 0;
    int held_count_ = 0;  // tracked bases whose port the panel holds
    std::atomic<bool> closed_{false};
    std::atomic<int> writing_{0};  // Out32 calls under way, on any thread
};

} // namespace korvel::guard
