// The two port operations. Every hardware access of the panel is one call of
// Inp32 or Out32 on the Port that main() chose; nothing else declares or
// wraps them.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace korvel {

class Port {
public:
    virtual ~Port() = default;

    // Reads one byte from the I/O address; the result is 0..255.
    virtual std::int16_t Inp32(std::int16_t address) = 0;

    // Writes the low 8 bits of value to the I/O address before returning.
    virtual void Out32(std::int16_t address, std::int16_t value) = 0;

    // Why writes to the registers at `base` reach no device (the port there
    // could not be claimed, or failed in use) as "<cause>; <remedy>", or ""
    // while they do. Takes up the port at `base` if it was not used yet. A
    // port whose every base reaches its device keeps this default.
    virtual std::string fault(int base)
    {
        (void)base;
        return {};
    }

    // The monotonic time, in nanoseconds from an arbitrary start, on which
    // the board behind this port moves its lines: the machine's steady
    // clock for a real port. A simulated board answers with its own clock,
    // so that a reader timing its accesses sees the time the board sees.
    virtual std::int64_t now_ns()
    {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
};

} // namespace korvel
