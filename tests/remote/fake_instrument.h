// An instrument that keeps its settings in plain fields and counts every
// change, for tests of the protocol without a panel.
#pragma once

#include "remote/instrument.h"

#include <algorithm>

namespace remote_test {

using korvel::remote::Reading;

class FakeInstrument : public korvel::remote::Instrument {
public:
    bool on = false;
    std::string mode_ = "ZEP";
    std::string port_ = "&H378";
    int setpoint_ = 0;
    int bits_ = 0;
    std::optional<Reading> last;
    int resets = 0;
    int changes = 0;

    std::string identity() const override { return "korvel,fake,0,0"; }
    void reset() override
    {
        ++resets;
        ++changes;
        on = false;
        setpoint_ = bits_ = 0;
    }
    bool power() const override { return on; }
    void set_power(bool v) override { on = v, ++changes; }
    std::string mode() const override { return mode_; }
    void set_mode(std::string_view m) override { mode_ = m, ++changes; }
    std::vector<std::string> ports() const override { return {"&H378", "&H278", "&H3BC"}; }
    std::string port() const override { return port_; }
    void set_port(std::string_view p) override { port_ = p, ++changes; }
    int setpoint() const override { return setpoint_; }
    void set_setpoint(int v) override { setpoint_ = v, ++changes; }
    int bits() const override { return bits_; }
    void set_bits(int v) override { bits_ = v, ++changes; }
    bool views[2] = {false, false};
    int exits = 0;
    bool view_open(View v) const override { return views[static_cast<int>(v)]; }
    void set_view_open(View v, bool open) override { views[static_cast<int>(v)] = open, ++changes; }
    void exit() override { ++exits, ++changes; }
    std::optional<Reading> last_reading() const override { return last; }

    void accept(const Reading& r)
    {
        last = r;
        publish(r);
    }
};

// A fake that keeps statistics, limits and a trend window in plain fields.
class KeepingInstrument : public FakeInstrument {
public:
    korvel::remote::Statistics stats;
    korvel::remote::Limits lim;
    korvel::remote::LimitFailures failures;
    std::optional<bool> trend;  // nothing: no trend window
    bool keeps = true;

    std::optional<korvel::remote::Statistics> statistics() const override
    {
        return keeps ? std::optional(stats) : std::nullopt;
    }
    void clear_statistics() override { stats = {}, ++changes; }
    std::optional<korvel::remote::Limits> limits() const override
    {
        return keeps ? std::optional(lim) : std::nullopt;
    }
    void set_limits(const korvel::remote::Limits& l) override { lim = l, ++changes; }
    korvel::remote::LimitFailures limit_failures() const override { return failures; }
    void clear_limit_failures() override { failures = {}, ++changes; }
    std::optional<bool> trend_open() const override { return trend; }
    void set_trend_open(bool open) override { trend = open, ++changes; }

    // The readings kept over time, oldest first.
    std::vector<Reading> kept;
    std::optional<std::size_t> readings_kept() const override
    {
        return keeps ? std::optional(kept.size()) : std::nullopt;
    }
    std::vector<Reading> newest_readings(std::size_t n) const override
    {
        n = std::min(n, kept.size());
        return {kept.end() - static_cast<std::ptrdiff_t>(n), kept.end()};
    }
};

} // namespace remote_test
