#include "dvm/voltmeter_reader.h"

#include "dvm/nibble.h"
#include "port/registers.h"

#include <climits>

namespace korvel::dvm {

namespace {

// Stores a sample in a digit slot: 2 when it confirms the stored digit,
// otherwise the new digit with flag 1.
void sample_digit(int& digit, int& seen, int value)
{
    if (value == digit) {
        seen = 2;
    } else {
        digit = value;
        seen = 1;
    }
}

// A four-bit group from the status register, corrected for the inverted
// bit 7.
int group(std::int16_t status) { return (status & reg::st_nibble) ^ reg::st_inverted; }

} // namespace

std::string Reading::text() const
{
    std::string s = negative ? "- " : "+";
    for (int d : digits)
        s += static_cast<char>('0' + d);
    return s;
}

int Reading::value() const
{
    int v = 0;
    for (int d : digits)
        v = v * 10 + d;
    return negative ? -v : v;
}

void VoltmeterReader::set_base(std::int16_t base)
{
    status_ = static_cast<std::int16_t>(base + reg::status_offset);
    control_ = static_cast<std::int16_t>(base + reg::control_offset);
}

void VoltmeterReader::reset()
{
    state_ = State{};
    reading_ = Reading{};
    line_was_low_ = false;
}

SyncTick VoltmeterReader::sync_tick()
{
    SyncTick t;
    port_.Out32(control_, reg::ctl_sel_status);
    t.status = port_.Inp32(status_) & 255;
    const int line = port_.Inp32(status_) & reg::st_conversion;
    t.converting = line == 0;
    if (line == 0 && state_.sync_count < INT_MAX)
        ++state_.sync_count;
    if (line != 0 && line_was_low_)
        ++conversions_;
    line_was_low_ = line == 0;
    if (line != 0 && state_.sync_count > sync_threshold) {
        state_.sync_count = 0;
        t.scan_due = true;
    }
    return t;
}

ScanTick VoltmeterReader::scan_tick()
{
    ScanTick t;
    State& s = state_;
    // Digit strobe, then the value on the BCD lines.
    port_.Out32(control_, reg::ctl_sel_digits);
    const std::int64_t start = port_.now_ns();
    t.strobe = nibble_value(group(port_.Inp32(status_)));
    if (!t.strobe)
        return t; // D4 together with D2 or D3: no digit to store this tick

    port_.Out32(control_, reg::ctl_sel_value);
    t.value = nibble_value(group(port_.Inp32(status_)));
    if (!t.value)
        return t; // not a BCD code: the sample is dropped

    int* digit = nullptr;
    int* seen = nullptr;
    switch (*t.strobe) {
    case 1: digit = &s.d1; seen = &s.seen_d1; break;
    case 2: digit = &s.d2; seen = &s.seen_d2; break;
    case 4: digit = &s.d3; seen = &s.seen_d3; break;
    case 8: digit = &s.d4; seen = &s.seen_d4; break;
    default: break; // no strobe, or several at once: nothing to store
    }
    if (digit) {
        // The strobe again: the value is the digit's only if the
        // multiplexer still shows that digit.
        port_.Out32(control_, reg::ctl_sel_digits);
        const auto again = nibble_value(group(port_.Inp32(status_)));
        ++samples_;
        if (again == t.strobe && in_window(start))
            sample_digit(*digit, *seen, *t.value);
        else
            discard(t);
    }

    port_.Out32(control_, reg::ctl_sel_status);
    s.over = (port_.Inp32(status_) & reg::st_over) != 0;
    t.over = s.over;

    port_.Out32(control_, reg::ctl_sel_status);
    // The under-range line reads inverted: a clear bit shows the mark.
    s.under = (port_.Inp32(status_) & reg::st_under) == 0;
    t.under = s.under;

    if (!sample_half_digit(t))
        return t;

    if (s.seen_d1 != 2 || s.seen_d2 != 2 || s.seen_d3 != 2 || s.seen_d4 != 2 || s.seen_d5 != 2)
        return t;

    // Boundary filter: a leading pair 00 or 19 right after a shown 10 or 09
    // is taken for a glitch at the 10000 boundary and held back. A reading
    // that keeps coming is not a glitch: once boundary_discard_limit
    // readings in a row were held back, the next one is shown, so the
    // display cannot stay on an old value for good.
    const bool boundary = (s.d5 == 0 && s.d4 == 0 && s.last_d5 == 1 && s.last_d4 == 0) ||
                          (s.d5 == 1 && s.d4 == 9 && s.last_d5 == 1 && s.last_d4 == 0) ||
                          (s.d5 == 0 && s.d4 == 0 && s.last_d5 == 0 && s.last_d4 == 9) ||
                          (s.d5 == 1 && s.d4 == 9 && s.last_d5 == 0 && s.last_d4 == 9);
    if (boundary && s.boundary_discards < boundary_discard_limit) {
        ++s.boundary_discards;
    } else {
        s.boundary_discards = 0;
        read_polarity();
        take_reading();
        s.last_d5 = s.d5;
        s.last_d4 = s.d4;
        t.accepted = true;
    }

    // End of scan: back to synchronisation.
    t.scan_done = true;
    s.seen_d1 = s.seen_d2 = s.seen_d3 = s.seen_d4 = s.seen_d5 = 0;
    return t;
}

bool VoltmeterReader::in_window(std::int64_t start)
{
    const std::int64_t elapsed = port_.now_ns() - start;
    return elapsed >= 0 && elapsed <= sample_window_ns;
}

void VoltmeterReader::discard(ScanTick& t)
{
    ++t.discarded;
    ++discarded_;
}

bool VoltmeterReader::sample_half_digit(ScanTick& t)
{
    State& s = state_;
    port_.Out32(control_, reg::ctl_sel_status);
    const std::int64_t start = port_.now_ns();
    const bool strobe5 = (port_.Inp32(status_) & reg::st_d5) != 0;
    int value5 = 0;
    if (strobe5) {
        port_.Out32(control_, reg::ctl_sel_value);
        const auto v = nibble_value(group(port_.Inp32(status_)));
        if (!v)
            return false; // the half digit keeps its slot; no decision this tick
        value5 = *v;
        // The half-digit strobe again, as for the other digits; a discarded
        // sample leaves the slot as it was and decides nothing this tick.
        port_.Out32(control_, reg::ctl_sel_status);
        const bool still = (port_.Inp32(status_) & reg::st_d5) != 0;
        ++samples_;
        if (!still || !in_window(start)) {
            discard(t);
            return false;
        }
    }
    if (strobe5 && value5 == s.d5 && (value5 == 0 || value5 == 1)) {
        s.seen_d5 = 2;
    } else {
        s.d5 = value5;
        s.seen_d5 = 1;
    }
    return true;
}

void VoltmeterReader::read_polarity()
{
    port_.Out32(control_, reg::ctl_sel_status);
    state_.negative = (port_.Inp32(status_) & reg::st_polarity) == 0;
}

void VoltmeterReader::take_reading()
{
    const State& s = state_;
    reading_.negative = s.negative;
    reading_.digits[0] = s.d5;
    reading_.digits[1] = s.d4;
    reading_.digits[2] = s.d3;
    reading_.digits[3] = s.d2;
    reading_.digits[4] = s.d1;
    reading_.over = s.over;
    reading_.under = s.under;
}

} // namespace korvel::dvm
