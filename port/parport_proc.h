// What the kernel's parallel-port driver tells about its ports under
// /proc/sys/dev/parport: which port number (and so which /dev/parportN)
// serves an I/O base address, and which drivers or programs hold a port.
#pragma once

#include "port/system_calls.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

// One port the kernel knows: parportN at an I/O base.
struct ParportEntry {
    int number = 0;     // N of parportN and /dev/parportN
    unsigned base = 0;  // I/O base address
};

// The base address in the text of a base-addr file. The kernel writes
// "<base>\t<high base>\n" in decimal ("888\t1912\n"); the first number is the
// base. Leading and trailing white space is allowed; anything else in the
// first field (a sign, hex, letters, a value beyond 16 bits) is refused.
std::optional<unsigned> parse_base_addr(std::string_view text);

// The port number of a directory name "parportN"; nothing for other names
// ("default", "parport", "parport1a").
std::optional<int> parport_number(std::string_view name);

// Every port listed under parport_dir (normally /proc/sys/dev/parport) whose
// base-addr reads sound, in order of port number. Entries with a missing or
// unreadable base-addr are left out.
std::vector<ParportEntry> list_parports(SystemCalls& sys, const std::string& parport_dir);

// The port at an I/O base: the lowest-numbered one when several claim it.
std::optional<ParportEntry> find_parport(SystemCalls& sys, const std::string& parport_dir,
                                         unsigned base);

// The kernel drivers registered on a port, from its devices/ directory and
// its devices/active file ("none" left out), sorted and without repeats:
// e.g. {"lp"} or {"ppdev0"}.
std::vector<std::string> registered_drivers(SystemCalls& sys, const std::string& parport_dir,
                                            int number);

// Programs that have a device open, found by scanning proc_root/<pid>/fd:
// "name (pid N)" each, at most `limit` of them. Processes whose descriptors
// cannot be read (other users') are skipped.
std::vector<std::string> programs_holding(SystemCalls& sys, const std::string& proc_root,
                                          const std::string& device, std::size_t limit = 3);

// Items as a sentence lists them: "a", "a and b", "a, b and c".
std::string join(const std::vector<std::string>& items);

// Who holds a busy port, for a diagnostic ("korvel (pid 812)", "the lp
// printer driver", "the kernel driver parport_sth", "another program"), and
// what frees it ("stop that program", "run 'modprobe -r lp'" ...). Programs
// that have the device open come first, then the drivers registered on the
// port. Call it with the device closed, so that the caller is not named.
struct PortHolder {
    std::string who;
    std::string remedy;
};
PortHolder port_holder(SystemCalls& sys, const std::string& proc_root,
                       const std::string& parport_dir, int number, const std::string& device);

} // namespace korvel
