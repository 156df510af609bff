#include "sim/converter.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace korvel::sim {

namespace {

constexpr std::int64_t ns_per_s = 1'000'000'000;
// The first signal integrate begins after a minimal auto-zero.
constexpr std::int64_t first_start = 10'001;
constexpr std::int64_t sample_step =
    DualSlopeConverter::integrate_clocks / DualSlopeConverter::samples_per_integrate;

std::int64_t floor_div(std::int64_t a, std::int64_t b)
{
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

std::int64_t ceil_div(std::int64_t a, std::int64_t b) { return -floor_div(-a, b); }

std::uint64_t splitmix64(std::uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// A uniform number in (0, 1) from 53 random bits.
double unit(std::uint64_t bits) { return (static_cast<double>(bits >> 11) + 0.5) * 0x1.0p-53; }

} // namespace

int DualSlopeConverter::Result::digit(int d) const
{
    if (over)
        return 0; // the counter ran past full scale and wrapped
    switch (d) {
    case 5: return count / 10'000;
    case 4: return count / 1'000 % 10;
    case 3: return count / 100 % 10;
    case 2: return count / 10 % 10;
    case 1: return count % 10;
    default: return 0;
    }
}

std::int64_t DualSlopeConverter::start_of(std::int64_t cycle)
{
    return first_start + cycle * cycle_clocks;
}

std::int64_t DualSlopeConverter::Cycle::start_clock() const { return start_of(index); }

std::int64_t DualSlopeConverter::Cycle::latch_clock() const
{
    if (index < 0)
        return 0; // the power-on result counts as latched at clock 0
    return start_of(index) + integrate_clocks + 1 + result.count;
}

DualSlopeConverter::DualSlopeConverter(std::function<double(std::int64_t)> input,
                                       std::int64_t start_ns, std::int64_t clock_hz)
    : input_(std::move(input)), hz_(std::max<std::int64_t>(clock_hz, 1)), seg_ns_(start_ns)
{
}

void DualSlopeConverter::set_noise(double sigma_counts, std::uint64_t seed)
{
    noise_sigma_ = sigma_counts;
    noise_seed_ = seed;
}

void DualSlopeConverter::set_input(std::function<double(std::int64_t)> input)
{
    input_ = std::move(input);
}

std::int64_t DualSlopeConverter::clock_at(std::int64_t ns) const
{
    if (stalled_ || ns <= seg_ns_)
        return seg_clock_;
    const __int128 elapsed = static_cast<__int128>(ns - seg_ns_) * hz_ / ns_per_s;
    return seg_clock_ + static_cast<std::int64_t>(elapsed);
}

std::int64_t DualSlopeConverter::ns_at(std::int64_t clock) const
{
    // The moment this clock period begins in the current run of the clock.
    const __int128 num = static_cast<__int128>(clock - seg_clock_) * ns_per_s;
    return seg_ns_ + static_cast<std::int64_t>((num + hz_ - 1) / hz_);
}

void DualSlopeConverter::set_stalled(bool stalled, std::int64_t ns)
{
    if (stalled == stalled_)
        return;
    if (stalled) {
        advance_to(ns);
        seg_clock_ = now_clock_;
        stalled_ = true;
    } else {
        seg_ns_ = ns;
        seg_clock_ = now_clock_;
        stalled_ = false;
    }
}

void DualSlopeConverter::advance_to(std::int64_t ns)
{
    const std::int64_t to = clock_at(ns);
    const std::int64_t from = now_clock_;
    if (to <= from)
        return;

    // Only the last two results matter for the lines (the one latched and
    // the one being worked out), so of a long stretch only the last cycles
    // are computed: every earlier result would be overwritten unseen.
    const std::int64_t window_end0 = first_start + integrate_clocks;
    const std::int64_t first_open =
        from < window_end0 ? 0 : floor_div(from - window_end0, cycle_clocks) + 1;
    const std::int64_t last_done =
        to < window_end0 ? -1 : floor_div(to - window_end0, cycle_clocks);

    for (std::int64_t k = std::max(first_open, last_done - 1); k <= last_done + 1; ++k) {
        const std::int64_t ws = start_of(k);
        const std::int64_t we = ws + integrate_clocks;
        const std::int64_t a = std::max(from, ws);
        const std::int64_t b = std::min(to, we);
        if (a >= b)
            continue;
        accumulate(k, a, b);
        if (b == we)
            finish(k);
    }
    now_clock_ = to;
}

void DualSlopeConverter::accumulate(std::int64_t cycle, std::int64_t from, std::int64_t to)
{
    if (acc_cycle_ != cycle) {
        acc_cycle_ = cycle;
        // Starting from -0.0 keeps the sign of an input that is exactly -0
        // (a negative set-point of magnitude 0): true polarity at zero.
        acc_sum_ = -0.0;
        acc_count_ = 0;
    }
    const std::int64_t ws = start_of(cycle);
    const std::int64_t half = sample_step / 2;
    const std::int64_t j0 = std::max<std::int64_t>(0, ceil_div(from - ws - half, sample_step));
    const std::int64_t j1 =
        std::min<std::int64_t>(samples_per_integrate, ceil_div(to - ws - half, sample_step));
    for (std::int64_t j = j0; j < j1; ++j) {
        const double v = input_ ? input_(ns_at(ws + half + j * sample_step)) : 0.0;
        acc_sum_ += v;
        ++acc_count_;
    }
}

void DualSlopeConverter::finish(std::int64_t cycle)
{
    double mean = acc_count_ > 0 ? acc_sum_ / acc_count_ : 0.0;
    if (noise_sigma_ > 0)
        mean += noise(cycle);
    Cycle& slot = results_[static_cast<std::size_t>(cycle & 3)];
    slot.index = cycle;
    slot.result = make_result(mean);
    acc_cycle_ = -1;
}

double DualSlopeConverter::noise(std::int64_t cycle) const
{
    const std::uint64_t a = splitmix64(noise_seed_ ^ (static_cast<std::uint64_t>(cycle) * 2 + 1));
    const std::uint64_t b = splitmix64(a);
    // Box-Muller: one normal deviate per conversion.
    return noise_sigma_ * std::sqrt(-2.0 * std::log(unit(a))) *
           std::cos(2.0 * std::numbers::pi * unit(b));
}

DualSlopeConverter::Result DualSlopeConverter::make_result(double mean) const
{
    Result r;
    r.positive = !std::signbit(mean);
    const double magnitude = std::fabs(mean);
    if (!(magnitude < 1e9)) { // also NaN
        r.over = true;
        r.count = over_range_count;
        return r;
    }
    const long long raw = std::llround(magnitude);
    r.over = raw > full_scale;
    r.count = r.over ? over_range_count : static_cast<int>(raw);
    r.under = !r.over && r.count <= under_range_limit;
    return r;
}

const DualSlopeConverter::Cycle* DualSlopeConverter::cycle(std::int64_t index) const
{
    static const Cycle power_on{};
    if (index < 0)
        return &power_on;
    const Cycle& slot = results_[static_cast<std::size_t>(index & 3)];
    return slot.index == index ? &slot : &power_on;
}

DualSlopeConverter::Phase DualSlopeConverter::phase() const
{
    const std::int64_t c = now_clock_;
    if (c < first_start)
        return Phase::AutoZero;
    const std::int64_t k = floor_div(c - first_start, cycle_clocks);
    const std::int64_t pos = c - start_of(k);
    if (pos < integrate_clocks)
        return Phase::Integrate;
    if (c < cycle(k)->latch_clock())
        return Phase::Deintegrate;
    return Phase::AutoZero;
}

DualSlopeConverter::Result DualSlopeConverter::latched() const
{
    const std::int64_t c = now_clock_;
    if (c < first_start)
        return cycle(-1)->result;
    const std::int64_t k = floor_div(c - first_start, cycle_clocks);
    return phase() == Phase::AutoZero ? cycle(k)->result : cycle(k - 1)->result;
}

DualSlopeConverter::Lines DualSlopeConverter::lines() const
{
    const std::int64_t c = now_clock_;
    Lines l;
    const Cycle* shown = cycle(-1); // the result on the digit lines
    std::int64_t origin = 0;        // where the digit scan last started with D5
    bool blanked = false;

    if (c >= first_start) {
        const std::int64_t k = floor_div(c - first_start, cycle_clocks);
        const Cycle* prev = cycle(k - 1);
        const Cycle* cur = cycle(k);
        const std::int64_t deint_start = start_of(k) + integrate_clocks;
        switch (phase()) {
        case Phase::Integrate:
            shown = prev;
            l.busy = true;
            l.positive = prev->result.positive;
            l.over = prev->result.over;
            l.under = false;
            origin = prev->latch_clock();
            blanked = prev->result.over && c >= origin + scan_clocks;
            break;
        case Phase::Deintegrate:
            shown = prev;
            l.busy = true;
            l.positive = cur->result.positive;
            l.over = false;
            l.under = false;
            // After an over-range the blanked scan restarts here.
            origin = prev->result.over ? deint_start : prev->latch_clock();
            break;
        case Phase::AutoZero:
            shown = cur;
            l.busy = false;
            l.positive = cur->result.positive;
            l.over = cur->result.over;
            l.under = cur->result.under;
            origin = cur->latch_clock();
            blanked = cur->result.over && c >= origin + scan_clocks;
            break;
        }
    }

    const std::int64_t p = (c - origin) % scan_clocks;
    const int driven = 5 - static_cast<int>(p / digit_clocks);
    l.bcd = shown->result.digit(driven);
    l.drive = blanked ? 0 : driven;
    return l;
}

} // namespace korvel::sim
