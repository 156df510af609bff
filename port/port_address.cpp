#include "port/port_address.h"

#include "port/text.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace korvel {

namespace {

constexpr const char* forms = "give 0x hex, &H hex, decimal or /dev/parportN";

// All of `digits` as a number in `radix`, if it fits 16 bits.
std::optional<unsigned> whole_number(std::string_view digits, int radix)
{
    if (digits.empty())
        return std::nullopt;
    for (char c : digits) {
        const bool dec = c >= '0' && c <= '9';
        const bool hex = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!dec && !(radix == 16 && hex))
            return std::nullopt;  // from_chars would also take a sign
    }
    unsigned long v = 0;
    const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), v, radix);
    if (r.ec != std::errc{} || r.ptr != digits.data() + digits.size() || v > 0xFFFF)
        return std::nullopt;
    return static_cast<unsigned>(v);
}

std::string parport_dir(const HardwarePaths& paths) { return paths.proc + "/sys/dev/parport"; }

} // namespace

PortAddress parse_port_address(std::string_view text, SystemCalls& sys, const HardwarePaths& paths)
{
    const std::string device_prefix = paths.dev + "/parport";
    if (text.starts_with(device_prefix)) {
        const auto number = parport_number(text.substr(paths.dev.size() + 1));
        if (!number)
            return {std::nullopt, "not an address (" + std::string(forms) + ")"};
        for (const auto& p : list_parports(sys, parport_dir(paths)))
            if (p.number == *number)
                return {p.base, {}};
        return {std::nullopt, "the kernel runs no parport" + std::to_string(*number) +
                                  "; see the ports it runs with --list-ports"};
    }

    std::optional<unsigned> value;
    std::string_view digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        value = whole_number(digits.substr(2), 16);
    else if (digits.size() > 2 && digits[0] == '&' && (digits[1] == 'H' || digits[1] == 'h'))
        value = whole_number(digits.substr(2), 16);
    else
        value = whole_number(digits, 10);
    if (!value)
        return {std::nullopt, "not an address (" + std::string(forms) + ")"};
    if (!is_port_base(*value))
        return {std::nullopt, "not a port base address (a multiple of 4 from 0x4 to 0xFFFC)"};
    return {*value, {}};
}

std::vector<std::string> list_ports(SystemCalls& sys, const HardwarePaths& paths)
{
    const auto ports = list_parports(sys, parport_dir(paths));
    if (ports.empty())
        return {"no parallel ports: the kernel runs none; load the drivers "
                "('sudo modprobe -a parport_pc ppdev') or check that the port is enabled in the "
                "firmware setup"};
    std::vector<std::string> lines;
    for (const auto& p : ports) {
        const std::string device = paths.dev + "/parport" + std::to_string(p.number);
        std::string state;
        const int fd = sys.open_rw(device);
        if (fd >= 0)
            sys.close(fd);
        const int err = fd < 0 ? -fd : 0;
        if (err == EACCES || err == EPERM) {
            state = "permission denied: add yourself to group lp";
        } else if (err == ENOENT || err == ENODEV || err == ENXIO) {
            state = "no usable " + device + ": load ppdev ('modprobe ppdev')";
        } else if (err != 0) {
            state = std::string("cannot open: ") + std::strerror(err);
        } else if (!registered_drivers(sys, parport_dir(paths), p.number).empty()) {
            // Looked for after the close, so that this program is not found.
            state = "busy: held by " +
                    port_holder(sys, paths.proc, parport_dir(paths), p.number, device).who;
        } else {
            state = "ppdev: usable";
        }
        lines.push_back(device + "  " + hex_address(p.base) + "  (" + state + ")");
    }
    return lines;
}

} // namespace korvel
