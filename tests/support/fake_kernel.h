// The kernel's parallel-port drivers (parport_pc, ppdev, lp) as korvel meets
// them, for tests: ports at I/O bases whose registers record every byte the
// hardware receives, /dev/parportN devices, the /proc entries that name the
// ports and their holders, and processes that open, claim and end.
//
// What it does as the kernel does:
//  - at start the registers hold what parport_pc's probe leaves: data 4,
//    control 0x0C;
//  - PPCLAIM writes the control register twice with 0x0C, or 0x1C on a port
//    with an interrupt line (bit 4 enables the interrupt), and nothing else;
//  - while a port with an interrupt line is claimed, every control write
//    carries bit 4; PPRCONTROL returns bits 0..3 only;
//  - a control byte with bit 5 turns the data lines around (reads no longer
//    see the data register) until the next claim;
//  - an exclusive claim (PPEXCL, then PPCLAIM) fails with ENXIO and writes
//    nothing while any other driver is registered on the port: another
//    process's ppdev, or lp;
//  - PPRELEASE and close write nothing: the pins keep what was last written;
//  - a process that ends (kill) has its files closed by the kernel;
//  - a port that goes away (unplug) has no /proc entry and no device node,
//    and every call on a descriptor already open fails with ENODEV.
#pragma once

#include "port/hardware_port.h"
#include "port/system_calls.h"

#include <cstdint>
#include <cerrno>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

namespace korvel::test {

// One byte a port's hardware received.
struct RegisterWrite {
    int port;    // N of parportN
    int offset;  // 0 data, 2 control
    int value;
    bool operator==(const RegisterWrite&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const RegisterWrite& w)
    {
        return out << "parport" << w.port << (w.offset == 0 ? " data <- 0x" : " control <- 0x")
                   << std::hex << w.value << std::dec;
    }
};

// One ioctl as a process made it: the byte passed by a write or returned by
// a read, -1 for none.
struct IoctlCall {
    unsigned long request;
    int fd;
    int byte;
};

class FakeKernel {
public:
    struct Parport {
        unsigned base = 0;
        bool irq = false;     // an interrupt line (false: parport_pc irq=none)
        bool present = true;  // false once unplugged
        int open_error = 0;   // opening /dev/parportN fails with this errno
        bool lp = false;      // the lp printer driver is registered on it
        // The hardware, as parport_pc's probe leaves it.
        std::uint8_t data = 4, control = 0x0C, status = 0x7F;
        bool reversed = false;  // data lines turned around by control bit 5
        // What the data lines show: the data register, or 255 (pulled up,
        // nothing driving) when turned around.
        std::uint8_t data_lines() const { return reversed ? 255 : data; }
    };

    class Process : public SystemCalls {
    public:
        Process(FakeKernel& kernel, int pid, std::string comm)
            : kernel_(kernel), pid_(pid), comm_(std::move(comm))
        {
        }
        int pid() const { return pid_; }
        bool alive() const { return alive_; }
        std::size_t open_files() const { return files_.size(); }

        int open_rw(const std::string& path) noexcept override;
        int close(int fd) noexcept override;
        int ioctl(int fd, unsigned long request, void* arg) noexcept override;
        int ioperm(unsigned long from, unsigned long count, bool on) noexcept override;
        std::uint8_t inb(std::uint16_t port) noexcept override;
        void outb(std::uint8_t value, std::uint16_t port) noexcept override;
        std::optional<std::string> read_text(const std::string& path) override;
        std::vector<std::string> list_dir(const std::string& path) override;
        std::optional<std::string> read_link(const std::string& path) override;

        std::vector<unsigned long> requests() const;

        std::vector<IoctlCall> calls;     // every ioctl that reached a device
        std::vector<std::string> events;  // "open", "close", "scan" (of /proc)
        std::vector<std::string> closed;  // device paths, as closed
        // Fails `fail_request` with `fail_err` from its `fail_after`-th use on.
        unsigned long fail_request = 0;
        int fail_err = 0, fail_after = 0;
        // Direct I/O: the result of ioperm(on), and what was asked. inb
        // returns the low byte of the address.
        int ioperm_result = -EPERM;
        std::vector<std::tuple<unsigned long, unsigned long, bool>> ioperm_calls;
        std::vector<std::pair<std::uint16_t, std::uint8_t>> outs;
        std::vector<std::uint16_t> ins;

    private:
        friend class FakeKernel;
        struct File {
            int port;
            bool exclusive = false, registered = false, claimed = false;
        };
        void release(File& f);

        FakeKernel& kernel_;
        int pid_;
        std::string comm_;
        bool alive_ = true;
        std::map<int, File> files_;
        int next_fd_ = 10;
    };

    // Where the fake keeps /proc and /sys; devices are /dev/parportN.
    static constexpr const char* proc_root = "/fake/proc";
    static constexpr const char* sys_root = "/fake/sys";
    static HardwarePaths paths() { return {proc_root, "/dev", sys_root}; }

    // parportN, N counted from 0 in the order added.
    Parport& add_port(unsigned base, bool irq = false);
    Parport& port(int number) { return ports_.at(static_cast<std::size_t>(number)); }
    std::size_t port_count() const { return ports_.size(); }
    // A process of this kernel, made on first use; kept for the kernel's life.
    Process& process(int pid, const std::string& comm = "korvel");
    // The process is killed: the kernel closes its files.
    void kill(int pid);
    // The port goes away, as an unplugged card does.
    void unplug(int number) { port(number).present = false; }

    // Every byte the hardware of any port received, in order.
    std::vector<RegisterWrite> hardware;
    // The text of /sys/kernel/security/lockdown; none when empty.
    std::string lockdown;

private:
    friend class Process;
    void write_register(int number, int offset, std::uint8_t value);
    // The registered ppdev files of other processes' (or other descriptors')
    // on a port, besides `self`.
    std::vector<const Process::File*> others_on(int number, const Process::File* self) const;
    // N of a present port's "/dev/parportN", or -1.
    int number_of_device(const std::string& path) const;

    std::vector<Parport> ports_;
    std::map<int, std::unique_ptr<Process>> processes_;
};

} // namespace korvel::test
