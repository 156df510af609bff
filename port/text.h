// Numbers as the panel and its diagnostics show them, and the one way a
// diagnostic line reaches standard error.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korvel {

// Upper-case hexadecimal without prefix or leading zeros ("0", "A5",
// "7530"); a negative value shows its 32-bit two's complement. Writes into
// out (at least 9 characters, not terminated) and returns the length.
// Async-signal-safe.
std::size_t format_hex(long value, char* out) noexcept;
std::string hex(long value);
// An address as the diagnostics name it: "0x378".
std::string hex_address(long value);

// Writes one line and its newline to standard error in one write where it
// fits. Async-signal-safe: no allocation, no locks.
void write_diagnostic_line(std::string_view line) noexcept;

// A diagnostic line built without allocating, for signal handlers: text
// beyond the buffer is cut.
class DiagnosticLine {
public:
    DiagnosticLine& operator<<(std::string_view text) noexcept;
    DiagnosticLine& number(long value) noexcept;
    void write() const noexcept { write_diagnostic_line({buf_, used_}); }

private:
    char buf_[512];
    std::size_t used_ = 0;
};

} // namespace korvel
