#include "port/text.h"

#include <cerrno>
#include <unistd.h>

namespace korvel {

std::size_t format_hex(long value, char* out) noexcept
{
    unsigned v = static_cast<unsigned>(value);
    char digits[8];
    std::size_t n = 0;
    do {
        digits[n++] = "0123456789ABCDEF"[v & 15];
        v >>= 4;
    } while (v != 0);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = digits[n - 1 - i];
    return n;
}

std::string hex(long value)
{
    char buf[9];
    return std::string(buf, format_hex(value, buf));
}

std::string hex_address(long value) { return "0x" + hex(value); }

namespace {

void write_all(const char* text, std::size_t size) noexcept
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(STDERR_FILENO, text + done, size - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
}

} // namespace

void write_diagnostic_line(std::string_view line) noexcept
{
    const int saved_errno = errno;
    char buf[1024];
    if (line.size() < sizeof buf) {
        for (std::size_t i = 0; i < line.size(); ++i)
            buf[i] = line[i];
        buf[line.size()] = '\n';
        write_all(buf, line.size() + 1);
    } else {
        write_all(line.data(), line.size());
        write_all("\n", 1);
    }
    errno = saved_errno;
}

DiagnosticLine& DiagnosticLine::operator<<(std::string_view text) noexcept
{
    for (char ch : text) {
        if (used_ == sizeof buf_)
            break;
        buf_[used_++] = ch;
    }
    return *this;
}

DiagnosticLine& DiagnosticLine::number(long value) noexcept
{
    char digits[24];
    std::size_t n = 0;
    const bool negative = value < 0;
    unsigned long v = negative ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    if (negative)
        *this << "-";
    while (n > 0) {
        const char ch = digits[--n];
        *this << std::string_view(&ch, 1);
    }
    return *this;
}

} // namespace korvel
