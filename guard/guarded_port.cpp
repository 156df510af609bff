#include "guard/guarded_port.h"

#include "port/registers.h"
#include "port/safe_state.h"

#include <sys/mman.h>
#include <time.h>

#include <new>

namespace korvel::guard {

namespace {

// Whether this thread is inside GuardedPort::Out32: a finish() from a signal
// handler that interrupted it must not wait for that write.
thread_local bool this_thread_writing = false;

// A write under way on another thread takes microseconds; one that does not
// end (a thread stuck in the port) must not hold the safe state back.
constexpr int in_flight_wait_steps = 1000;   // of 50 us: 50 ms at most
constexpr long in_flight_wait_ns = 50'000;

} // namespace

Registry& shared_registry()
{
    static Registry* registry = [] {
        void* p = mmap(nullptr, sizeof(Registry), PROT_READ | PROT_WRITE,
                       MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            static Registry fallback;
            return &fallback;
        }
        return new (p) Registry;
    }();
    return *registry;
}

GuardedPort::GuardedPort(Port& inner, Registry& registry) : inner_(inner), registry_(registry) {}

std::int16_t GuardedPort::Inp32(std::int16_t address) { return inner_.Inp32(address); }

std::string GuardedPort::fault(int base) { return inner_.fault(base); }

GuardedPort::Tracked* GuardedPort::track(int base)
{
    for (int i = 0; i < tracked_count_; ++i)
        if (tracked_[i].base == base)
            return &tracked_[i];
    if (tracked_count_ == Registry::max_bases)
        return nullptr;
    Tracked& t = tracked_[tracked_count_++];
    t.base = base;
    // Publish the base before its first write reaches the board, so the
    // watchdog knows of every board that may be live; but only a base whose
    // port this panel holds: one that reads as absent (held by another
    // program, no device) is no board of ours, and the watchdog must leave
    // it alone.
    bool held = false;
    try {
        held = inner_.fault(base).empty();
    } catch (...) {
        held = true; // unknown: rather secure a port too many than one too few
    }
    if (!held)
        return &t;
    ++held_count_;
    const int n = registry_.count.load();
    if (n < Registry::max_bases) {
        registry_.bases[n].store(base);
        registry_.count.store(n + 1);
    }
    return &t;
}

void GuardedPort::Out32(std::int16_t address, std::int16_t value)
{
    // Counted before the check, so that finish() either sees this write
    // under way or this write sees the port closed. The thread's own mark
    // covers the count on both sides, so that a finish() interrupting this
    // thread never waits for it.
    this_thread_writing = true;
    writing_.fetch_add(1);
    struct Done {
        std::atomic<int>& writing;
        ~Done()
        {
            writing.fetch_sub(1);
            this_thread_writing = false;
        }
    } done{writing_};
    if (closed_.load())
        return;
    write_through(address, value);
}

void GuardedPort::write_through(std::int16_t address, std::int16_t value)
{
    // Bases are tracked as unsigned 16-bit addresses (0xD010, not -12272).
    if (Tracked* t = track(reg::base_of(static_cast<std::uint16_t>(address)))) {
        const int offset = reg::offset_of(address);
        auto matches = [&](int step) {
            return safe_state_sequence[step].offset == offset && safe_state_sequence[step].value == value;
        };
        t->safe = false;
        if (matches(t->step))
            ++t->step;
        else
            t->step = matches(0) ? 1 : 0;
        if (t->step == safe_state_steps) {
            t->safe = true;
            t->step = 0;
        }
    }
    inner_.Out32(address, value);
}

bool GuardedPort::is_safe(int base) const
{
    for (int i = 0; i < tracked_count_; ++i)
        if (tracked_[i].base == base)
            return tracked_[i].safe;
    return true; // never driven
}

void GuardedPort::make_all_safe() noexcept
{
    // Through the tracking, so that a board made safe here counts as safe.
    struct Through : Port {
        GuardedPort& port;
        explicit Through(GuardedPort& p) : port(p) {}
        std::int16_t Inp32(std::int16_t address) override { return port.inner_.Inp32(address); }
        void Out32(std::int16_t address, std::int16_t value) override
        {
            port.write_through(address, value);
        }
    } through(*this);
    for (int i = 0; i < tracked_count_; ++i)
        if (!tracked_[i].safe)
            write_safe_state(through, tracked_[i].base);
}

void GuardedPort::finish() noexcept
{
    if (closed_.exchange(true))
        return;
    // Let a write that another thread has under way land before the safe
    // state, not in the middle of it.
    const int own = this_thread_writing ? 1 : 0;
    for (int i = 0; i < in_flight_wait_steps && writing_.load() > own; ++i) {
        timespec pause{0, in_flight_wait_ns};
        nanosleep(&pause, nullptr);
    }
    make_all_safe();
    registry_.finished.store(1);
}

} // namespace korvel::guard
