#include "support/slow_port.h"

#include "port/registers.h"

#include <algorithm>

namespace korvel::sim {

namespace {

constexpr int code_digits = 8;
constexpr int code_value = 12;
constexpr int code_lines = 0;

} // namespace

int SlowPort::drive() { return board_.converter().lines().drive; }

void SlowPort::take_time(const Access& a)
{
    if (delay_ns)
        clock_.advance_ns(std::max<std::int64_t>(0, delay_ns(a)));
}

void SlowPort::move_multiplexer()
{
    // One converter clock at a time, until the digit lines move on; a
    // blanked display (over range) may never move: give up after two
    // digit periods.
    const std::int64_t hz = board_.converter().clock_hz();
    const std::int64_t step = (1'000'000'000 + hz - 1) / hz;
    const int before = drive();
    for (int i = 0; i < 2 * DualSlopeConverter::digit_clocks && drive() == before; ++i)
        clock_.advance_ns(step);
}

std::int16_t SlowPort::Inp32(std::int16_t address)
{
    const bool status = reg::offset_of(address) == reg::status_offset;
    Access a{true, address, code_, false};
    if (!status) {
        take_time(a);
        return board_.Inp32(address);
    }

    if (code_ == code_value && last_ == Last::strobe) {
        a.value_read = true;
        take_time(a);
        ++pairs;
        if (move_between && move_between())
            move_multiplexer();
        if (drive() != drive_at_strobe_)
            ++crossed_pairs;
        last_ = Last::value;
        return board_.Inp32(address);
    }

    take_time(a);
    if (echo_first_strobe && last_ == Last::value && code_ == strobe_code_) {
        board_.Inp32(address); // the read happens; its answer is replaced
        last_ = Last::other;
        return strobe_answer_;
    }
    const std::int16_t v = board_.Inp32(address);
    if (code_ == code_digits || code_ == code_lines) {
        last_ = Last::strobe;
        strobe_code_ = code_;
        strobe_answer_ = v;
        drive_at_strobe_ = drive();
    } else {
        last_ = Last::other;
    }
    return v;
}

void SlowPort::Out32(std::int16_t address, std::int16_t value)
{
    take_time(Access{false, address, code_, false});
    board_.Out32(address, value);
    if (reg::offset_of(address) == reg::control_offset)
        code_ = value & 15;
}

} // namespace korvel::sim
