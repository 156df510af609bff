#include "port/hardware_port.h"

#include "port/hardware.h"
#include "port/parport_proc.h"
#include "port/registers.h"
#include "port/text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/ioctl.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <unistd.h>
#include <utility>

namespace korvel {

// How the register bytes reach the hardware through ppdev (drivers/char/ppdev.c
// and the PC-style low-level driver, include/linux/parport_pc.h):
//  - PPWDATA writes the byte to the data register as it stands.
//  - PPWCONTROL keeps only bits 0..3 (PARPORT_CONTROL_STROBE, _AUTOFD, _INIT,
//    _SELECT) and writes them to the control register as they stand: the
//    PARPORT_CONTROL_* values are register bits, and the driver does NOT
//    compensate the lines that the port hardware inverts (bits 0, 1 and 3).
//    So the register receives exactly the code the panel wrote, and the board
//    sees the lines inverted by the hardware, as it is wired for. Bit 5 in a
//    PPWCONTROL byte is not ignored: the driver takes it as a request to turn
//    the data lines around (data_reverse), so it must never be passed on.
//    Bits 4, 6 and 7 are ignored by the driver.
//  - PPRSTATUS returns the raw status register, bit 7 still the complement
//    of its line (the decoding corrects for that).
//  - PPRCONTROL returns the driver's copy of bits 0..3.
//  - PPCLAIM puts the port into the driver's initial state: data lines
//    driving, control lines 0x0C, until the panel's first control write.
//  - PPEXCL makes the registration at PPCLAIM exclusive. Registration fails
//    with ENXIO when any other driver (lp, another program's ppdev) is
//    registered on the port, and no one else can register after us; so
//    PPCLAIM never waits for the port, and a busy port shows as ENXIO.
namespace {

// The four control lines; everything else of a control write is dropped.
constexpr std::uint8_t control_lines = 0x0F;
static_assert((control_lines & reg::ctl_direction_bit) == 0);

constexpr std::uint8_t floating_bus = 255;

std::string error_text(int err)
{
    return std::strerror(err);
}

} // namespace

// ---------------------------------------------------------------------------

ParportClaim::ParportClaim(ParportClaim&& other) noexcept
    : sys_(other.sys_), fd_(other.fd_), claimed_(other.claimed_)
{
    other.fd_ = -1;
    other.claimed_ = false;
}

ParportClaim& ParportClaim::operator=(ParportClaim&& other) noexcept
{
    if (this != &other) {
        reset();
        sys_ = other.sys_;
        fd_ = other.fd_;
        claimed_ = other.claimed_;
        other.fd_ = -1;
        other.claimed_ = false;
    }
    return *this;
}

void ParportClaim::reset() noexcept
{
    if (fd_ < 0)
        return;
    if (claimed_)
        sys_->ioctl(fd_, PPRELEASE, nullptr);
    sys_->close(fd_);
    fd_ = -1;
    claimed_ = false;
}

IoPermission::IoPermission(IoPermission&& other) noexcept : sys_(other.sys_), base_(other.base_)
{
    other.sys_ = nullptr;
}

IoPermission& IoPermission::operator=(IoPermission&& other) noexcept
{
    if (this != &other) {
        reset();
        sys_ = other.sys_;
        base_ = other.base_;
        other.sys_ = nullptr;
    }
    return *this;
}

void IoPermission::reset() noexcept
{
    if (sys_)
        sys_->ioperm(base_, 3, false);
    sys_ = nullptr;
}

// ---------------------------------------------------------------------------

HardwarePort::HardwarePort(SystemCalls& sys, HardwarePaths paths, Diagnostic diagnostic)
    : sys_(sys), paths_(std::move(paths)), diagnostic_(std::move(diagnostic))
{
}

const HardwarePort::Slot* HardwarePort::find(int base) const noexcept
{
    const std::size_t n = used_.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < n; ++i)
        if (slots_[i].base == base)
            return &slots_[i];
    return nullptr;
}

HardwarePort::Slot* HardwarePort::find(int base) noexcept
{
    return const_cast<Slot*>(std::as_const(*this).find(base));
}

HardwarePort::Slot* HardwarePort::slot_for(int base)
{
    if (Slot* s = find(base))
        return s;
    const std::size_t n = used_.load(std::memory_order_relaxed);
    if (n == max_bases) {
        if (!overflow_reported_) {
            overflow_reported_ = true;
            report(base, "more than " + std::to_string(max_bases) +
                             " port addresses used; further ones read as absent ports");
        }
        return nullptr;
    }
    Slot& s = slots_[n];
    s.base = base;
    open_backend(s);
    used_.store(n + 1, std::memory_order_release);
    return &s;
}

void HardwarePort::open_backend(Slot& s)
{
    if (const auto p = find_parport(sys_, parport_dir(), static_cast<unsigned>(s.base)))
        open_ppdev(s, p->number);
    else
        open_direct(s);
}

void HardwarePort::open_ppdev(Slot& s, int number)
{
    const std::string device = paths_.dev + "/parport" + std::to_string(number);
    s.backend.store(PortBackend::Absent, std::memory_order_relaxed);

    const int fd = sys_.open_rw(device);
    if (fd < 0) {
        const int err = -fd;
        if (err == EACCES || err == EPERM) {
            report(s, "permission denied on " + device +
                               "; add yourself to group lp ('adduser $USER lp') and log in again");
        } else if (err == ENOENT || err == ENODEV || err == ENXIO) {
            // The kernel drives the port but its user-space interface is
            // not there: ppdev is not loaded or the device node is missing.
            report(s, "parport" + std::to_string(number) + " has no usable " + device + " (" +
                               error_text(err) +
                               "); load ppdev ('modprobe ppdev'), then restart korvel");
        } else if (err == EBUSY) {
            report(s, device + " is busy (held by another program or the lp printer driver); "
                                    "stop that program or run 'modprobe -r lp', then restart korvel");
        } else {
            report(s, "cannot open " + device + " (" + error_text(err) +
                               "); check the port, then restart korvel");
        }
        return;
    }

    ParportClaim claim(sys_, fd);
    if (const int r = sys_.ioctl(fd, PPEXCL, nullptr); r < 0) {
        report(s, "cannot take " + device + " for sole use (" + error_text(-r) +
                           "); check the port, then restart korvel");
        return;
    }
    if (const int r = sys_.ioctl(fd, PPCLAIM, nullptr); r < 0) {
        const int err = -r;
        // Let go of the device first, so that the search for its holders
        // does not find this program.
        claim.reset();
        if (err == ENXIO || err == EBUSY) {
            const PortHolder holder =
                port_holder(sys_, paths_.proc, parport_dir(), number, device);
            report(s, device + " is busy (held by " + holder.who + "); " + holder.remedy +
                               ", then restart korvel");
        } else {
            report(s, "cannot claim " + device + " (" + error_text(err) +
                               "); check the port, then restart korvel");
        }
        return;
    }
    claim.set_claimed();

    s.claim = std::move(claim);
    s.device = device;
    s.backend.store(PortBackend::Ppdev, std::memory_order_relaxed);
}

void HardwarePort::open_direct(Slot& s)
{
    // Direct I/O only where a motherboard's port may sit without a kernel
    // driver: at any other address an I/O write could reach some other
    // device of the machine.
    const bool legacy = s.base == reg::base_378 || s.base == reg::base_278 || s.base == reg::base_3bc;
    const int r = legacy ? sys_.ioperm(static_cast<unsigned>(s.base), 3, true) : -EPERM;
    if (r == 0) {
        s.io = IoPermission(sys_, static_cast<unsigned>(s.base));
        s.backend.store(PortBackend::Direct, std::memory_order_relaxed);
        return;
    }
    s.backend.store(PortBackend::Absent, std::memory_order_relaxed);

    const int err = -r;
    std::string direct;
    if (!legacy) {
        direct = "direct I/O only at 0x378, 0x278 and 0x3BC";
    } else if (err == EPERM || err == EACCES) {
        // Without CAP_SYS_RAWIO, or under kernel lockdown even with it.
        const std::string lockdown =
            sys_.read_text(paths_.sys + "/kernel/security/lockdown").value_or("");
        const bool locked = lockdown.find('[') != std::string::npos &&
                            lockdown.find("[none]") == std::string::npos;
        direct = locked ? "direct I/O blocked by kernel lockdown" : "direct I/O not permitted";
    } else if (err == ENOSYS) {
        direct = "no direct I/O on this machine";
    } else {
        direct = "direct I/O failed: " + error_text(err);
    }

    std::vector<std::string> known;
    for (const auto& p : list_parports(sys_, parport_dir()))
        known.push_back(hex_address(static_cast<int>(p.base)));
    if (known.empty())
        report(s, "no parallel port at this address (no /dev/parport device, " + direct +
                           "); load the parallel-port drivers ('modprobe -a parport_pc ppdev') or choose another port");
    else
        report(s, "no parallel port at this address (the kernel has ports at " + join(known) +
                           " only, " + direct + "); choose another port");
}

int HardwarePort::write(Slot& s, int offset, std::uint8_t value) noexcept
{
    switch (s.backend.load(std::memory_order_relaxed)) {
    case PortBackend::Ppdev: {
        unsigned long request;
        std::uint8_t byte = value;
        if (offset == reg::data_offset) {
            request = PPWDATA;
        } else if (offset == reg::control_offset) {
            request = PPWCONTROL;
            byte = static_cast<std::uint8_t>(value & control_lines);
        } else {
            return 0;  // the status register and base+3 take no writes
        }
        const int r = sys_.ioctl(s.claim.fd(), request, &byte);
        return r < 0 ? r : 0;
    }
    case PortBackend::Direct:
        if (offset == reg::data_offset)
            sys_.outb(value, static_cast<std::uint16_t>(s.base + offset));
        else if (offset == reg::control_offset)
            sys_.outb(static_cast<std::uint8_t>(value & control_lines),
                      static_cast<std::uint16_t>(s.base + offset));
        return 0;
    case PortBackend::None:
    case PortBackend::Absent:
        break;
    }
    return 0;
}

std::int16_t HardwarePort::Inp32(std::int16_t address)
{
    const int io = static_cast<std::uint16_t>(address);
    Slot* s = slot_for(reg::base_of(io));
    if (!s)
        return floating_bus;
    const int offset = reg::offset_of(io);

    switch (s->backend.load(std::memory_order_relaxed)) {
    case PortBackend::Ppdev: {
        unsigned long request;
        if (offset == reg::data_offset)
            request = PPRDATA;
        else if (offset == reg::status_offset)
            request = PPRSTATUS;
        else if (offset == reg::control_offset)
            request = PPRCONTROL;
        else
            return floating_bus;  // base+3 is no register of the port
        std::uint8_t byte = floating_bus;
        if (const int r = sys_.ioctl(s->claim.fd(), request, &byte); r < 0) {
            fail(*s, -r);
            return floating_bus;
        }
        return byte;
    }
    case PortBackend::Direct:
        if (offset == 3)
            return floating_bus;  // outside the permitted three registers
        return sys_.inb(static_cast<std::uint16_t>(io));
    case PortBackend::None:
    case PortBackend::Absent:
        break;
    }
    return floating_bus;
}

void HardwarePort::Out32(std::int16_t address, std::int16_t value)
{
    const int io = static_cast<std::uint16_t>(address);
    Slot* s = slot_for(reg::base_of(io));
    if (!s)
        return;
    if (const int r = write(*s, reg::offset_of(io), static_cast<std::uint8_t>(value)); r < 0)
        fail(*s, -r);
}

void HardwarePort::fail(Slot& s, int err)
{
    // The claim and descriptor stay until the port is destroyed; the base
    // is not tried again, so a lost port costs one line, not one per access.
    s.backend.store(PortBackend::Absent, std::memory_order_relaxed);
    report(s, s.device + " failed (" + error_text(err) +
                       "); the port now reads as absent; restart korvel when the port is back");
}

std::string HardwarePort::fault(int base)
{
    const Slot* s = slot_for(base);
    if (!s)
        return "more than " + std::to_string(max_bases) + " port addresses used; use fewer";
    return s->backend.load(std::memory_order_relaxed) == PortBackend::Absent ? s->fault
                                                                              : std::string();
}

void HardwarePort::report(Slot& s, const std::string& what)
{
    try {
        s.fault = what;
    } catch (...) {
    }
    report(s.base, what);
}

void HardwarePort::report(int base, const std::string& what)
{
    // A diagnostic that cannot be given must not take the port down with it.
    try {
        const std::string line = "korvel: port " + hex_address(base) + ": " + what;
        if (diagnostic_)
            diagnostic_(line);
    } catch (...) {
    }
}

std::string HardwarePort::device_for(int base) const
{
    const Slot* s = find(base);
    if (!s || s->backend.load(std::memory_order_relaxed) != PortBackend::Ppdev)
        return {};
    return s->device;
}

PortBackend HardwarePort::backend_for(int base) const noexcept
{
    const Slot* s = find(base);
    return s ? s->backend.load(std::memory_order_relaxed) : PortBackend::None;
}

namespace {
LinuxSystemCalls linux_system;
} // namespace

std::unique_ptr<Port> open_hardware_port()
{
    return std::make_unique<HardwarePort>(linux_system, HardwarePaths{}, write_diagnostic_line);
}

std::unique_ptr<Port> reopen_hardware_port()
{
    return std::make_unique<HardwarePort>(linux_system, HardwarePaths{}, nullptr);
}

} // namespace korvel
