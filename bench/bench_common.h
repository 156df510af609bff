// Pieces shared by the two modes of korvel-bench.
#pragma once

#include "port/port.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace korvel::bench {

// Passes every access through and counts the status reads of the tick in
// progress: a scan tick that shows a reading makes seven reads (digit
// strobe, value, over-range, under-range, half-digit strobe, half-digit
// value, polarity), one that drops it six.
class CountingPort : public Port {
public:
    explicit CountingPort(Port& inner) : inner_(inner) {}
    std::int16_t Inp32(std::int16_t address) override
    {
        ++reads_in_tick;
        return inner_.Inp32(address);
    }
    void Out32(std::int16_t address, std::int16_t value) override { inner_.Out32(address, value); }

    int reads_in_tick = 0;

private:
    Port& inner_;
};

inline constexpr int reads_of_a_shown_reading = 7;

// The q-quantile (0..1) of the values; 0 when there are none.
inline double quantile(std::vector<int> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

#if defined(KORVEL_BENCH_REALTIME)
// Runs korvel-sim's board in real time under real QTimers (no window).
int run_realtime(int argc, char** argv, double seconds, int set_point);
#endif

} // namespace korvel::bench
