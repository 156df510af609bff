// The real ports: one backend per base address, chosen on the first access
// to that base and kept until the HardwarePort is destroyed.
//
//   ppdev   the kernel's parallel-port driver knows a port at the base: its
//           /dev/parportN is opened, taken exclusively and claimed, and every
//           register access is one ioctl;
//   direct  no kernel port at the base, the base is one of the motherboard
//           addresses 0x378, 0x278 and 0x3BC, and the process may use the
//           I/O ports (x86, ioperm): inb/outb. At any other address an I/O
//           write could reach another device of the machine, so it is
//           never made;
//   absent  neither: writes go nowhere and reads return 255, as a floating
//           bus would; one line on standard error says why and what to do.
//
// A ppdev port that fails while in use turns absent (one line again) and the
// program goes on.
#pragma once

#include "port/port.h"
#include "port/system_calls.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

enum class PortBackend : std::uint8_t {
    None,   // base not accessed yet
    Ppdev,
    Direct,
    Absent,
};

// Where the system keeps what the backends need. Tests point them at a
// temporary directory laid out the same way.
struct HardwarePaths {
    std::string proc = "/proc";  // proc/sys/dev/parport, proc/<pid>/fd
    std::string dev = "/dev";    // dev/parportN
    std::string sys = "/sys";    // sys/kernel/security/lockdown
};

// A claimed /dev/parportN: the open descriptor and the claim on the port.
// Releases the claim and closes the descriptor when destroyed.
class ParportClaim {
public:
    ParportClaim() = default;
    ParportClaim(SystemCalls& sys, int fd) : sys_(&sys), fd_(fd) {}
    ParportClaim(ParportClaim&& other) noexcept;
    ParportClaim& operator=(ParportClaim&& other) noexcept;
    ParportClaim(const ParportClaim&) = delete;
    ParportClaim& operator=(const ParportClaim&) = delete;
    ~ParportClaim() { reset(); }

    int fd() const noexcept { return fd_; }
    bool claimed() const noexcept { return claimed_; }
    void set_claimed() noexcept { claimed_ = true; }
    // Releases (if claimed) and closes now.
    void reset() noexcept;

private:
    SystemCalls* sys_ = nullptr;
    int fd_ = -1;
    bool claimed_ = false;
};

// Permission for direct access to the three registers at a base; given back
// when destroyed.
class IoPermission {
public:
    IoPermission() = default;
    IoPermission(SystemCalls& sys, unsigned base) : sys_(&sys), base_(base) {}
    IoPermission(IoPermission&& other) noexcept;
    IoPermission& operator=(IoPermission&& other) noexcept;
    IoPermission(const IoPermission&) = delete;
    IoPermission& operator=(const IoPermission&) = delete;
    ~IoPermission() { reset(); }
    void reset() noexcept;

private:
    SystemCalls* sys_ = nullptr;
    unsigned base_ = 0;
};

class HardwarePort final : public Port {
public:
    using Diagnostic = std::function<void(std::string_view line)>;

    // At most this many different bases are served; accesses to further
    // bases act as on an absent port.
    static constexpr std::size_t max_bases = 16;

    // sys and the paths are used for the whole life of the port; diagnostic
    // gets each line (without newline) meant for standard error, and may be
    // empty where fault() is asked instead.
    HardwarePort(SystemCalls& sys, HardwarePaths paths, Diagnostic diagnostic);
    ~HardwarePort() override = default;
    HardwarePort(const HardwarePort&) = delete;
    HardwarePort& operator=(const HardwarePort&) = delete;

    // The address is a 16-bit I/O address (0x8000..0xFFFF arrive negative).
    std::int16_t Inp32(std::int16_t address) override;
    void Out32(std::int16_t address, std::int16_t value) override;
    // The line said about a base that reads as absent, without its
    // "korvel: port 0x...: " prefix; "" for a base served by ppdev or direct I/O.
    std::string fault(int base) override;

    // The /dev/parportN serving a base, or "" for direct, absent and
    // not-yet-accessed bases.
    std::string device_for(int base) const;
    PortBackend backend_for(int base) const noexcept;

private:
    struct Slot {
        int base = -1;
        std::atomic<PortBackend> backend{PortBackend::None};
        ParportClaim claim;
        IoPermission io;
        std::string device;
        std::string fault;  // what was said when the base turned absent
    };

    const Slot* find(int base) const noexcept;
    Slot* find(int base) noexcept;
    // The slot of a base, opening its backend on first access; nullptr when
    // every slot is taken.
    Slot* slot_for(int base);
    void open_backend(Slot& s);
    void open_ppdev(Slot& s, int number);
    void open_direct(Slot& s);
    // 0 or -errno of the failed system call.
    int write(Slot& s, int offset, std::uint8_t value) noexcept;
    void fail(Slot& s, int err);
    void report(int base, const std::string& what);
    // The same, kept as the slot's fault.
    void report(Slot& s, const std::string& what);

    std::string parport_dir() const { return paths_.proc + "/sys/dev/parport"; }

    SystemCalls& sys_;
    HardwarePaths paths_;
    Diagnostic diagnostic_;
    std::array<Slot, max_bases> slots_;
    // Slots [0, used_) are open; a slot is filled before used_ counts it, so
    // a signal handler never sees a half-made one.
    std::atomic<std::size_t> used_{0};
    bool overflow_reported_ = false;
};

} // namespace korvel
