#include "output/latch_writer.h"

#include "port/registers.h"
#include "port/safe_state.h"
#include "port/strobe.h"

namespace korvel::output {

SetPointBytes compose_setpoint(int value)
{
    SetPointBytes s;
    s.negative = value < 0;
    s.magnitude = static_cast<std::int16_t>(s.negative ? -value : value);
    s.high = s.magnitude >> 8;
    if (s.negative)
        s.high |= 128;
    s.low = s.magnitude & 255;
    return s;
}

void LatchWriter::set_base(std::int16_t base)
{
    data_ = static_cast<std::int16_t>(base + reg::data_offset);
    control_ = static_cast<std::int16_t>(base + reg::control_offset);
}

void LatchWriter::clear()
{
    state_.low = 0;
    state_.high = 0;
    state_.negative = false;
    state_.bits = 0;
}

void LatchWriter::load_setpoint(const SetPointBytes& s)
{
    state_.negative = s.negative;
    state_.magnitude = s.magnitude;
    state_.high = s.high;
    state_.low = s.low;
}

bool LatchWriter::toggle_bit(int bit, bool may_set)
{
    const int mask = 1 << bit;
    if (!(state_.bits & mask) && may_set) {
        state_.low |= mask;
        state_.bits |= mask;
        return true;
    }
    state_.low &= 255 - mask;
    state_.bits &= ~mask;
    return false;
}

void LatchWriter::latch(int byte, std::uint8_t strobe, Latch which)
{
    port_.Out32(data_, static_cast<std::int16_t>(byte));
    port_.Out32(control_, strobe);
    strobe_delay();
    port_.Out32(control_, reg::ctl_idle);
    if (on_latched)
        on_latched(which, byte);
}

void LatchWriter::write_low() { latch(state_.low, reg::ctl_strobe_lo, Latch::low); }

void LatchWriter::write_high() { latch(state_.high, reg::ctl_strobe_hi, Latch::high); }

void LatchWriter::refresh(Refresh what)
{
    if (what == Refresh::none)
        return;
    write_low();
    if (what == Refresh::both_latches)
        write_high();
}

void LatchWriter::write_safe_state()
{
    state_.low = reg::safe_data;
    korvel::write_safe_state(port_, data_ - reg::data_offset);
    if (on_latched)
        on_latched(Latch::low, state_.low);
}

} // namespace korvel::output
