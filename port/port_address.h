// Port base addresses as a user names them on the command line, and the
// kernel's ports as korvel lists them: without claiming a port or writing
// to it.
#pragma once

#include "port/hardware_port.h"
#include "port/parport_proc.h"
#include "port/system_calls.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

// A base address the register map can serve: its three registers lie in one
// aligned group of four addresses inside the 16-bit I/O space, and it is
// not 0.
constexpr bool is_port_base(unsigned base) { return base != 0 && base <= 0xFFFC && base % 4 == 0; }

// A base address, or why the text names none (a phrase to quote in a
// one-line diagnostic).
struct PortAddress {
    std::optional<unsigned> base;
    std::string problem;
};

// Reads "0xD010" / "0XD010" (hexadecimal), "&HD010" / "&hD010"
// (hexadecimal), "53264" (decimal), or "/dev/parportN" (the base at which
// the kernel runs parportN, from its table under paths.proc). Nothing but
// the digits is allowed: no sign, no spaces, no suffix.
PortAddress parse_port_address(std::string_view text, SystemCalls& sys,
                               const HardwarePaths& paths);

// One line per port the kernel runs: "/dev/parport0  0x378  (ppdev: usable)",
// "(busy: held by the lp printer driver)", "(permission denied: add
// yourself to group lp)" ... or, with none, one line saying so and what to
// load. Each device is opened and closed again to learn whether it can be
// used; that neither claims the port nor touches its registers. Busy means
// that a driver or program is registered on the port, which makes korvel's
// exclusive claim fail; a program that has the device open without having
// claimed the port yet is not seen.
std::vector<std::string> list_ports(SystemCalls& sys, const HardwarePaths& paths);

} // namespace korvel
