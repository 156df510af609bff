// The real parallel ports as korvel uses them.
#pragma once

#include "port/port.h"

#include <memory>

namespace korvel {

// Reaches each base address through the kernel's ppdev device that serves
// it, or through direct I/O where that is allowed (at the motherboard
// addresses 0x378, 0x278 and 0x3BC only); a base that neither
// reaches is an absent port (writes go nowhere, reads return 255) and is
// reported once on standard error.
std::unique_ptr<Port> open_hardware_port();

// The same ports for a process that takes them up again after the panel,
// such as its watchdog: it says nothing itself; fault() tells why a base
// reads as absent.
std::unique_ptr<Port> reopen_hardware_port();

} // namespace korvel
