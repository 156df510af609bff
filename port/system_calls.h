// The operating-system calls behind the real ports, gathered in one interface
// so that the port backends can run against a fake system in tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

// Every call that can fail returns a non-negative result on success and
// -errno on failure; none throws. open_rw, close, ioctl, ioperm, inb and outb
// make no allocation, so a write through an already opened port can be made
// from a signal handler (the handler keeps errno itself).
class SystemCalls {
public:
    virtual ~SystemCalls() = default;

    // Opens a device read-write (close-on-exec); the descriptor or -errno.
    virtual int open_rw(const std::string& path) noexcept = 0;
    virtual int close(int fd) noexcept = 0;
    virtual int ioctl(int fd, unsigned long request, void* arg) noexcept = 0;

    // Direct I/O-port access: permission for [from, from + count), and single
    // byte transfers. Where the machine has no I/O ports, ioperm fails with
    // -ENOSYS and inb/outb do nothing.
    virtual int ioperm(unsigned long from, unsigned long count, bool on) noexcept = 0;
    virtual std::uint8_t inb(std::uint16_t port) noexcept = 0;
    virtual void outb(std::uint8_t value, std::uint16_t port) noexcept = 0;

    // Whole text of a (small) file such as a /proc entry; nothing when it
    // cannot be read.
    virtual std::optional<std::string> read_text(const std::string& path) = 0;
    // Names in a directory without "." and ".."; empty when unreadable.
    virtual std::vector<std::string> list_dir(const std::string& path) = 0;
    // Target of a symbolic link; nothing when it is not a readable link.
    virtual std::optional<std::string> read_link(const std::string& path) = 0;
};

// The real calls of this machine.
class LinuxSystemCalls : public SystemCalls {
public:
    int open_rw(const std::string& path) noexcept override;
    int close(int fd) noexcept override;
    int ioctl(int fd, unsigned long request, void* arg) noexcept override;
    int ioperm(unsigned long from, unsigned long count, bool on) noexcept override;
    std::uint8_t inb(std::uint16_t port) noexcept override;
    void outb(std::uint8_t value, std::uint16_t port) noexcept override;
    std::optional<std::string> read_text(const std::string& path) override;
    std::vector<std::string> list_dir(const std::string& path) override;
    std::optional<std::string> read_link(const std::string& path) override;
};

} // namespace korvel
