// A port for tests: records every access in order and answers status reads
// from a script.
#pragma once

#include "port/port.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace korvel {

struct PortAccess {
    enum Kind : std::uint8_t { Read, Write };
    Kind kind;
    std::int16_t address;
    std::int16_t value; // written, or returned by the read

    bool operator==(const PortAccess&) const = default;
};

constexpr PortAccess wr(std::int16_t address, std::int16_t value)
{
    return {PortAccess::Write, address, value};
}
constexpr PortAccess rd(std::int16_t address, std::int16_t value)
{
    return {PortAccess::Read, address, value};
}

std::string to_string(const PortAccess& a);

class RecordingPort : public Port {
public:
    std::int16_t Inp32(std::int16_t address) override
    {
        std::int16_t v = fallback;
        if (responder) {
            v = responder(address, last_control);
        } else if (!script.empty()) {
            v = script.front();
            script.pop_front();
        }
        v = static_cast<std::int16_t>(v & 255);
        log.push_back(rd(address, v));
        return v;
    }

    void Out32(std::int16_t address, std::int16_t value) override
    {
        log.push_back(wr(address, value));
        if ((address & 3) == 2)
            last_control = static_cast<std::uint8_t>(value);
    }

    // Only the writes, in order.
    std::vector<PortAccess> writes() const
    {
        std::vector<PortAccess> w;
        for (const auto& a : log)
            if (a.kind == PortAccess::Write)
                w.push_back(a);
        return w;
    }

    // The port's time: stands still unless a test moves it, so that the
    // reader's time bound never drops a sample by itself.
    std::int64_t now_ns() override { return time_ns; }

    void clear() { log.clear(); }

    std::vector<PortAccess> log;
    // Status bytes served in order; when empty, reads return fallback.
    std::deque<std::int16_t> script;
    std::int16_t fallback = 255;
    // When set, answers every read instead of the script: gets the address
    // and the code last written to a control register.
    std::function<std::int16_t(std::int16_t address, std::uint8_t control)> responder;
    std::uint8_t last_control = 0;
    std::int64_t time_ns = 0;
};

} // namespace korvel
