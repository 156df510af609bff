#include "sim/sim_board.h"

#include "port/registers.h"
#include "port/text.h"

#include <algorithm>
#include <string>

namespace korvel::sim {

namespace {

// Status bits 0..2 are not wired to the board and read 1.
constexpr std::uint8_t unwired_bits = 0x07;

} // namespace

SimBoard::SimBoard(const Clock& clock, std::int64_t clock_hz, BoardState* state)
    : clock_(clock), state_(state ? state : &own_state_),
      converter_([this](std::int64_t) { return setpoint_counts(); }, clock.now_ns(), clock_hz),
      diagnostic_(write_diagnostic_line)
{
    if (!state)
        reset_state(own_state_, board_base);
}

void SimBoard::set_diagnostic(std::function<void(std::string_view)> sink)
{
    diagnostic_ = sink ? std::move(sink) : std::function<void(std::string_view)>(write_diagnostic_line);
}

std::string SimBoard::fault(int base)
{
    if (base == board_base)
        return {};
    return "no board here (the simulated board answers at " + hex_address(board_base) +
           "); choose &H378 in the Port panel";
}

void SimBoard::absent_port(int base)
{
    if (std::find(reported_bases_.begin(), reported_bases_.end(), base) != reported_bases_.end())
        return;
    reported_bases_.push_back(base);
    diagnostic_("korvel-sim: port " + hex_address(base) + ": " + fault(base));
}

std::int16_t SimBoard::Inp32(std::int16_t address)
{
    const int base = reg::base_of(static_cast<std::uint16_t>(address));  // 0xD010, not negative
    if (base != board_base) {
        absent_port(base);
        return 255;
    }
    switch (reg::offset_of(address)) {
    case reg::status_offset:
        return status_byte();
    case reg::data_offset:
        return registers(*state_).data;
    case reg::control_offset:
        return registers(*state_).control;
    default:
        return 255;
    }
}

void SimBoard::Out32(std::int16_t address, std::int16_t value)
{
    const int base = reg::base_of(static_cast<std::uint16_t>(address));  // 0xD010, not negative
    if (base != board_base) {
        absent_port(base);
        return;
    }
    // The converter integrates the input up to this moment with the latches
    // as they were; a strobe changes the set-point only from now on.
    const std::int64_t now = clock_.now_ns();
    converter_.advance_to(now);
    board_write(*state_, reg::offset_of(address), static_cast<std::uint8_t>(value & 255), now,
                !no_board_);
}

double SimBoard::setpoint_counts() const
{
    const Registers r = registers(*state_);
    const double magnitude = static_cast<double>(((r.latch_hi & 0x7F) << 8) | r.latch_lo);
    return (r.latch_hi & 0x80) ? -magnitude : magnitude;
}

void SimBoard::use_setpoint_input(double noise_counts, std::uint64_t seed)
{
    converter_.advance_to(clock_.now_ns());
    converter_.set_input([this](std::int64_t) { return setpoint_counts(); });
    converter_.set_noise(noise_counts, seed);
}

void SimBoard::use_fixed_input(double counts)
{
    converter_.advance_to(clock_.now_ns());
    converter_.set_input([counts](std::int64_t) { return counts; });
    converter_.set_noise(0, 0);
}

void SimBoard::use_waveform_input(std::function<double(std::int64_t ns)> counts)
{
    converter_.advance_to(clock_.now_ns());
    converter_.set_input(std::move(counts));
    converter_.set_noise(0, 0);
}

void SimBoard::set_no_board(bool absent) { no_board_ = absent; }

void SimBoard::stick_status_line(int bit, std::optional<bool> high)
{
    if (bit < 3 || bit > 7)
        return; // bits 0..2 are not wired
    const auto mask = static_cast<std::uint8_t>(1u << bit);
    if (!high) {
        stuck_mask_ &= static_cast<std::uint8_t>(~mask);
        return;
    }
    stuck_mask_ |= mask;
    if (*high)
        stuck_high_ |= mask;
    else
        stuck_high_ &= static_cast<std::uint8_t>(~mask);
}

void SimBoard::force_bcd(std::optional<int> code, int digit)
{
    forced_code_ = code ? std::optional<int>(*code & 15) : std::nullopt;
    forced_digit_ = digit;
}

void SimBoard::stall_converter(bool stalled)
{
    converter_.set_stalled(stalled, clock_.now_ns());
}

const DualSlopeConverter& SimBoard::converter()
{
    converter_.advance_to(clock_.now_ns());
    return converter_;
}

std::uint8_t SimBoard::status_byte()
{
    if (no_board_)
        return 0x7F; // every line floats high; bit 7 reads inverted

    converter_.advance_to(clock_.now_ns());
    const DualSlopeConverter::Lines l = converter_.lines();
    const std::uint8_t control = registers(*state_).control;

    // Connector lines of status bits 3..7, high = 1.
    unsigned lines = l.busy ? 0u : 0x08u; // conversion line: high while not integrating
    switch ((control & reg::ctl_select_mask) >> 2) {
    case 0: // single lines
        if (l.drive == 5)
            lines |= 0x10;
        if (l.positive)
            lines |= 0x20;
        if (l.over)
            lines |= 0x40;
        if (l.under)
            lines |= 0x80;
        break;
    case 2: // digit drives D1..D4
        if (l.drive >= 1 && l.drive <= 4)
            lines |= 0x10u << (l.drive - 1);
        break;
    case 3: { // BCD value of the driven digit
        int value = l.bcd;
        if (forced_code_ && (forced_digit_ == 0 || forced_digit_ == l.drive))
            value = *forced_code_;
        lines |= static_cast<unsigned>(value & 15) << 4;
        break;
    }
    default: // the selector's unused input: pulled up
        lines |= 0xF0;
        break;
    }

    lines = (lines & ~stuck_mask_) | (stuck_high_ & stuck_mask_);
    return static_cast<std::uint8_t>((lines | unwired_bits) ^ reg::st_inverted);
}

} // namespace korvel::sim
