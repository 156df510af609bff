// The voltmeter reader fed long random status sequences: any byte, any
// sequence, changing at any moment, must never crash it, hang it or put a
// malformed reading on the display.
#include "panel/panel.h"
#include "support/virtual_timers.h"
#include "support/recording_port.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>

namespace korvel {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr std::int64_t virtual_seconds = 6'000; // sanitizers run several times slower
#else
constexpr std::int64_t virtual_seconds = 15'000;
#endif

// What a reading can look like: the polarity text "+" or "- ", then the
// half digit, which the scan confirms only as 0 or 1, then four digits
// 0..9 (the reader drops non-BCD codes before storing them).
bool well_formed_reading(const std::string& t)
{
    std::size_t i = 0;
    if (t.rfind("+", 0) == 0)
        i = 1;
    else if (t.rfind("- ", 0) == 0)
        i = 2;
    else
        return false;
    if (t.size() != i + 5)
        return false;
    if (t[i] != '0' && t[i] != '1')
        return false;
    for (std::size_t k = i + 1; k < t.size(); ++k)
        if (t[k] < '0' || t[k] > '9')
            return false;
    return true;
}

bool single_digit(const std::string& t) { return t.size() == 1 && t[0] >= '0' && t[0] <= '9'; }

// The status bytes the port answers with, by strategy; switched at random.
class Responder {
public:
    explicit Responder(std::uint64_t seed) : rng_(seed) {}

    std::int16_t answer(std::uint8_t control)
    {
        ++reads_;
        if (reads_ >= switch_at_)
            next_strategy();
        std::uint8_t b = 0;
        switch (strategy_) {
        case 0: // any byte, every read
            b = static_cast<std::uint8_t>(rng_());
            break;
        case 1: // every byte value in turn, per control code
            b = static_cast<std::uint8_t>(sweep_[control & 15]++ * 167 + 13);
            break;
        case 2: { // per code, a byte that holds for a random while
            auto& held = held_[control & 15];
            if (rng_() % hold_ == 0)
                held = static_cast<std::uint8_t>(rng_());
            b = held;
            break;
        }
        default: // a converter of sorts, with random digits, timing and glitches
            b = converter_like(control);
            break;
        }
        ++seen_[control == 0 ? 0 : control == 8 ? 1 : control == 12 ? 2 : 3][b];
        return b;
    }

    // Whether every byte value has been answered under each of the codes the
    // reader reads with.
    bool covered() const
    {
        for (int g = 0; g < 3; ++g)
            for (int v = 0; v < 256; ++v)
                if (seen_[g][v] == 0)
                    return false;
        return true;
    }

private:
    void next_strategy()
    {
        strategy_ = static_cast<int>(rng_() % 4);
        hold_ = 1 + rng_() % 400; // mean hold in reads
        switch_at_ = reads_ + 1 + rng_() % 200'000;
        // Digits mostly BCD, the half digit mostly 0 or 1; now and then not.
        for (int d = 0; d < 5; ++d)
            digit_[d]
                = static_cast<int>(rng_() % 8 == 0 ? rng_() % 16 : rng_() % (d == 4 ? 2 : 10));
        flags_ = static_cast<unsigned>(rng_() & 0xE0);
        glitch_ = 8 + rng_() % 1000;
        step_ = 1 + rng_() % 12;
        conversion_ = 50 + rng_() % 3000;
    }

    // Digit drives D1..D4 and D5 (index 4) in turn, a value on the BCD
    // lines, a conversion line that toggles, and random glitches.
    std::uint8_t converter_like(std::uint8_t control)
    {
        if (reads_ % step_ == 0)
            position_ = (position_ + 1) % 6; // 5: nothing driven
        const unsigned conv = (reads_ / conversion_) % 2 ? 0x08u : 0u;
        unsigned lines = conv;
        switch (control) {
        case 8: lines |= position_ < 4 ? 0x10u << position_ : 0u; break;
        case 12: lines |= position_ < 5 ? static_cast<unsigned>(digit_[position_]) << 4 : 0u; break;
        default: lines |= flags_ | (position_ == 4 ? 0x10u : 0u); break;
        }
        auto b = static_cast<std::uint8_t>((lines | 0x07u) ^ 0x80u);
        if (rng_() % glitch_ == 0)
            b ^= static_cast<std::uint8_t>(rng_());
        return b;
    }

    std::mt19937_64 rng_;
    std::uint64_t reads_ = 0;
    std::uint64_t switch_at_ = 0;
    int strategy_ = 0;
    std::uint64_t hold_ = 1;
    std::array<std::uint8_t, 16> sweep_{};
    std::array<std::uint8_t, 16> held_{};
    int digit_[5] = {};
    unsigned flags_ = 0;
    std::uint64_t glitch_ = 100, step_ = 1, conversion_ = 100;
    unsigned position_ = 0;
    std::uint64_t seen_[4][256] = {};
};

TEST(DvmFuzz, RandomStatusNeverBreaksTheReader)
{
    RecordingPort port;
    Responder responder(20240611);
    port.responder = [&](std::int16_t, std::uint8_t control) { return responder.answer(control); };

    Panel f(port);
    Controls& c = f.controls();
    f.load();
    f.activate();

    std::mt19937_64 events(77);
    std::uint64_t checked = 0;
    std::string failure;
    auto check = [&] {
        ++checked;
        const dvm::VoltmeterReader::State& st = f.reader().state();
        if (!well_formed_reading(c.reading_box.text()))
            failure = "reading \"" + c.reading_box.text() + "\"";
        else if (f.power() &&
                 (c.sync_timer.enabled() == c.scan_timer.enabled() || !c.refresh_timer.enabled()))
            failure = "timers out of step";
        else if (!(single_digit(c.probe_strobe_box.text()) || c.probe_strobe_box.text() == "digits") ||
                 !(single_digit(c.probe_value_box.text()) || c.probe_value_box.text() == "value"))
            failure = "probe read-outs \"" + c.probe_strobe_box.text() + "\" \"" + c.probe_value_box.text() + "\"";
        for (int d : {st.d1, st.d2, st.d3, st.d4, st.d5})
            if (d < 0 || d > 9)
                failure = "digit " + std::to_string(d);
        for (int s : {st.seen_d1, st.seen_d2, st.seen_d3, st.seen_d4, st.seen_d5})
            if (s < 0 || s > 2)
                failure = "flag " + std::to_string(s);
    };

    VirtualTimers timers(c, [&](std::int64_t) {
        check();
        if (port.log.size() > 4096)
            port.clear();
    });
    c.power_button.fire();

    // Scans that end (all five digits confirmed): the acceptance path must
    // be exercised too, not only the sampling.
    int scans_ended = 0;
    c.observe([&](Control& changed, Property p) {
        if (&changed == &c.scan_timer && p == Property::Enabled && !changed.enabled() &&
            c.sync_timer.enabled())
            ++scans_ended;
    });

    // Every simulated second, now and then, a user action: power OFF and ON
    // again, another mode, another set-point.
    for (std::int64_t second = 0; second < virtual_seconds && failure.empty(); ++second) {
        switch (events() % 16) {
        case 0:
            c.power_button.fire();
            if (f.power() == 0)
                c.power_button.fire();
            break;
        case 1: c.mode_selector.select(static_cast<int>(events() % 3)); break;
        case 2: c.fine_spin.set_value(static_cast<int>(events() % 10001) - 5000); break;
        default: break;
        }
        timers.run_for_ms(1000);
    }
    check();

    EXPECT_TRUE(failure.empty()) << failure;
    const std::uint64_t ticks = timers.ticks(ControlId::sync_timer) + timers.ticks(ControlId::refresh_timer) + timers.ticks(ControlId::scan_timer);
    EXPECT_GT(ticks, static_cast<std::uint64_t>(virtual_seconds) * 500);
    EXPECT_GT(timers.ticks(ControlId::scan_timer), 0u);
    EXPECT_GT(scans_ended, virtual_seconds / 40);
    EXPECT_TRUE(responder.covered()) << "every byte value under codes 0, 8 and 12";
    RecordProperty("ticks", std::to_string(ticks));
    RecordProperty("checks", std::to_string(checked));
    RecordProperty("scans_ended", std::to_string(scans_ended));
}

} // namespace
} // namespace korvel
