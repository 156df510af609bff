// Time for the simulated board: real in korvel-sim, virtual in tests.
#pragma once

#include <chrono>
#include <cstdint>

namespace korvel::sim {

class Clock {
public:
    virtual ~Clock() = default;
    // Nanoseconds since an arbitrary start; never goes back.
    virtual std::int64_t now_ns() const = 0;
};

class RealClock : public Clock {
public:
    std::int64_t now_ns() const override
    {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now() - start_)
            .count();
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

class VirtualClock : public Clock {
public:
    std::int64_t now_ns() const override { return now_; }
    void advance_ns(std::int64_t ns) { now_ += ns; }
    void set_ns(std::int64_t ns)
    {
        if (ns > now_)
            now_ = ns;
    }

private:
    std::int64_t now_ = 0;
};

} // namespace korvel::sim
