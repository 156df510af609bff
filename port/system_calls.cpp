#include "port/system_calls.h"

#include <cerrno>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define KORVEL_HAVE_IO_PORTS 1
#else
#define KORVEL_HAVE_IO_PORTS 0
#endif

namespace korvel {

int LinuxSystemCalls::open_rw(const std::string& path) noexcept
{
    for (;;) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
        if (fd >= 0)
            return fd;
        if (errno != EINTR)
            return -errno;
    }
}

int LinuxSystemCalls::close(int fd) noexcept
{
    // Not retried on EINTR: on Linux the descriptor is gone either way.
    return ::close(fd) == 0 ? 0 : -errno;
}

int LinuxSystemCalls::ioctl(int fd, unsigned long request, void* arg) noexcept
{
    for (;;) {
        const int r = ::ioctl(fd, request, arg);
        if (r >= 0)
            return r;
        if (errno != EINTR)
            return -errno;
    }
}

int LinuxSystemCalls::ioperm(unsigned long from, unsigned long count, bool on) noexcept
{
#if KORVEL_HAVE_IO_PORTS
    return ::ioperm(from, count, on ? 1 : 0) == 0 ? 0 : -errno;
#else
    (void)from;
    (void)count;
    (void)on;
    return -ENOSYS;
#endif
}

std::uint8_t LinuxSystemCalls::inb(std::uint16_t port) noexcept
{
#if KORVEL_HAVE_IO_PORTS
    return ::inb(port);
#else
    (void)port;
    return 255;
#endif
}

void LinuxSystemCalls::outb(std::uint8_t value, std::uint16_t port) noexcept
{
#if KORVEL_HAVE_IO_PORTS
    ::outb(value, port);
#else
    (void)value;
    (void)port;
#endif
}

std::optional<std::string> LinuxSystemCalls::read_text(const std::string& path)
{
    // /proc entries report a size of 0, so read until end of file; the
    // files read here are a few bytes long, the cap only guards odd input.
    constexpr std::size_t cap = 64 * 1024;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string text;
    char buf[512];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            text.append(buf, static_cast<std::size_t>(n));
            if (text.size() >= cap)
                break;
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            ::close(fd);
            return std::nullopt;
        }
    }
    ::close(fd);
    return text;
}

std::vector<std::string> LinuxSystemCalls::list_dir(const std::string& path)
{
    std::vector<std::string> names;
    DIR* dir = ::opendir(path.c_str());
    if (!dir)
        return names;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

std::optional<std::string> LinuxSystemCalls::read_link(const std::string& path)
{
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof buf)
        return std::nullopt;
    return std::string(buf, static_cast<std::size_t>(n));
}

} // namespace korvel
