#include "support/fake_kernel.h"

#include <algorithm>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>

namespace korvel::test {

namespace {

constexpr std::uint8_t control_lines = 0x0F;  // what PPWCONTROL and PPRCONTROL carry
constexpr std::uint8_t irq_enable = 0x10;
constexpr std::uint8_t data_reverse = 0x20;
// The control register a claim restores: the lines idle, the interrupt
// enabled where the port has one.
constexpr std::uint8_t claim_control = 0x0C;

const std::string parport_dir = std::string(FakeKernel::proc_root) + "/sys/dev/parport";

// The text after `prefix`, or nothing.
std::optional<std::string> after(const std::string& path, const std::string& prefix)
{
    if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    return path.substr(prefix.size());
}

int number_in(const std::string& text)
{
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) {
            return c >= '0' && c <= '9';
        }))
        return -1;
    return std::stoi(text);
}

} // namespace

FakeKernel::Parport& FakeKernel::add_port(unsigned base, bool irq)
{
    ports_.push_back({});
    ports_.back().base = base;
    ports_.back().irq = irq;
    return ports_.back();
}

FakeKernel::Process& FakeKernel::process(int pid, const std::string& comm)
{
    auto& p = processes_[pid];
    if (!p)
        p = std::make_unique<Process>(*this, pid, comm);
    return *p;
}

void FakeKernel::kill(int pid)
{
    Process& p = process(pid);
    while (!p.files_.empty())
        p.close(p.files_.begin()->first);
    p.alive_ = false;
}

void FakeKernel::write_register(int number, int offset, std::uint8_t value)
{
    Parport& p = port(number);
    (offset == 0 ? p.data : p.control) = value;
    hardware.push_back({number, offset, value});
}

std::vector<const FakeKernel::Process::File*> FakeKernel::others_on(int number,
                                                                    const Process::File* self) const
{
    std::vector<const Process::File*> found;
    for (const auto& [pid, process] : processes_)
        for (const auto& [fd, file] : process->files_)
            if (&file != self && file.port == number && file.registered)
                found.push_back(&file);
    return found;
}

int FakeKernel::number_of_device(const std::string& path) const
{
    const auto rest = after(path, "/dev/parport");
    const int n = rest ? number_in(*rest) : -1;
    if (n < 0 || n >= static_cast<int>(ports_.size()) || !ports_[static_cast<std::size_t>(n)].present)
        return -1;
    return n;
}

// ---------------------------------------------------------------------------

int FakeKernel::Process::open_rw(const std::string& path) noexcept
{
    const int n = kernel_.number_of_device(path);
    if (n < 0)
        return -ENOENT;
    if (const int err = kernel_.port(n).open_error)
        return -err;
    files_[next_fd_] = File{n};
    events.push_back("open");
    return next_fd_++;
}

void FakeKernel::Process::release(File& f)
{
    // Unregistering and releasing leave the registers as they are.
    f.claimed = false;
    f.registered = false;
}

int FakeKernel::Process::close(int fd) noexcept
{
    const auto it = files_.find(fd);
    if (it == files_.end())
        return -EBADF;
    release(it->second);
    closed.push_back("/dev/parport" + std::to_string(it->second.port));
    files_.erase(it);
    events.push_back("close");
    return 0;
}

int FakeKernel::Process::ioctl(int fd, unsigned long request, void* arg) noexcept
{
    const auto it = files_.find(fd);
    if (it == files_.end())
        return -EBADF;
    File& f = it->second;
    Parport& p = kernel_.port(f.port);
    auto* byte = static_cast<std::uint8_t*>(arg);
    if (!p.present)
        return -ENODEV;
    if (request == fail_request && fail_after-- <= 0) {
        calls.push_back({request, fd, -1});
        return -fail_err;
    }
    const bool transfer = request == PPWDATA || request == PPWCONTROL || request == PPRDATA ||
                          request == PPRSTATUS || request == PPRCONTROL;
    if (transfer && !f.claimed)
        return -EINVAL;  // "claim the port first"
    switch (request) {
    case PPEXCL:
        if (f.registered && !f.exclusive)
            return -EINVAL;  // too late: already registered shared
        f.exclusive = true;
        break;
    case PPCLAIM: {
        if (!f.registered) {
            // Registration: an exclusive one needs the port to itself, and
            // nobody registers beside an exclusive one.
            const auto others = kernel_.others_on(f.port, &f);
            const bool other_exclusive = std::any_of(
                others.begin(), others.end(), [](const File* o) { return o->exclusive; });
            if (other_exclusive || (f.exclusive && (!others.empty() || p.lp)))
                return -ENXIO;
            f.registered = true;
        }
        if (!f.claimed) {
            for (const File* o : kernel_.others_on(f.port, &f))
                if (o->claimed)
                    return -EBUSY;  // where the kernel would make the caller wait
            // The claim restores the device's state, then enables the
            // interrupt: two writes of the same control byte.
            const auto control =
                static_cast<std::uint8_t>(claim_control | (p.irq ? irq_enable : 0));
            p.reversed = false;
            kernel_.write_register(f.port, 2, control);
            kernel_.write_register(f.port, 2, control);
            f.claimed = true;
        }
        break;
    }
    case PPRELEASE:
        if (!f.claimed)
            return -EINVAL;
        f.claimed = false;
        break;
    case PPWDATA:
        kernel_.write_register(f.port, 0, *byte);
        break;
    case PPWCONTROL: {
        // Bits 0..3 are the panel's; the kernel keeps bit 4 (interrupt) and
        // bit 5 (direction) itself, and takes bit 5 in a write as a request
        // to turn the data lines around.
        if ((*byte & data_reverse) && !p.reversed) {
            p.reversed = true;
            kernel_.write_register(f.port, 2, static_cast<std::uint8_t>(p.control | data_reverse));
        }
        const auto control =
            static_cast<std::uint8_t>((p.control & ~control_lines) | (*byte & control_lines));
        kernel_.write_register(f.port, 2, control);
        break;
    }
    case PPRDATA:
        *byte = p.data_lines();
        break;
    case PPRSTATUS:
        *byte = p.status;
        break;
    case PPRCONTROL:
        *byte = p.control & control_lines;
        break;
    default:
        return -ENOTTY;
    }
    calls.push_back({request, fd, byte ? *byte : -1});
    return 0;
}

int FakeKernel::Process::ioperm(unsigned long from, unsigned long count, bool on) noexcept
{
    ioperm_calls.emplace_back(from, count, on);
    return on ? ioperm_result : 0;
}

std::uint8_t FakeKernel::Process::inb(std::uint16_t port) noexcept
{
    ins.push_back(port);
    return static_cast<std::uint8_t>(port & 0xFF);
}

void FakeKernel::Process::outb(std::uint8_t value, std::uint16_t port) noexcept
{
    outs.emplace_back(port, value);
}

std::optional<std::string> FakeKernel::Process::read_text(const std::string& path)
{
    if (path == std::string(sys_root) + "/kernel/security/lockdown")
        return kernel_.lockdown.empty() ? std::nullopt : std::optional(kernel_.lockdown);
    if (const auto rest = after(path, parport_dir + "/parport")) {
        const std::size_t slash = rest->find('/');
        const int n = kernel_.number_of_device("/dev/parport" + rest->substr(0, slash));
        if (n < 0 || slash == std::string::npos)
            return std::nullopt;
        const std::string file = rest->substr(slash + 1);
        if (file == "base-addr") {
            const unsigned base = kernel_.port(n).base;
            return std::to_string(base) + "\t" + std::to_string(base + 0x400) + "\n";
        }
        if (file == "devices/active") {
            for (const File* o : kernel_.others_on(n, nullptr))
                if (o->claimed)
                    return "ppdev" + std::to_string(n) + "\n";
            return std::string("none\n");
        }
        return std::nullopt;
    }
    if (const auto rest = after(path, std::string(proc_root) + "/")) {
        const std::size_t slash = rest->find('/');
        const auto found = kernel_.processes_.find(number_in(rest->substr(0, slash)));
        if (found != kernel_.processes_.end() && found->second->alive_ &&
            slash != std::string::npos && rest->substr(slash + 1) == "comm")
            return found->second->comm_ + "\n";
    }
    return std::nullopt;
}

std::vector<std::string> FakeKernel::Process::list_dir(const std::string& path)
{
    std::vector<std::string> names;
    if (path == parport_dir) {
        names.push_back("default");
        for (std::size_t n = 0; n < kernel_.ports_.size(); ++n)
            if (kernel_.ports_[n].present)
                names.push_back("parport" + std::to_string(n));
        return names;
    }
    if (const auto rest = after(path, parport_dir + "/parport")) {
        const std::size_t slash = rest->find('/');
        const int n = kernel_.number_of_device("/dev/parport" + rest->substr(0, slash));
        if (n < 0 || slash == std::string::npos || rest->substr(slash + 1) != "devices")
            return names;
        names.push_back("active");
        if (kernel_.port(n).lp)
            names.push_back("lp");
        if (!kernel_.others_on(n, nullptr).empty())
            names.push_back("ppdev" + std::to_string(n));
        return names;
    }
    if (path == proc_root) {
        events.push_back("scan");
        names.push_back("sys");
        for (const auto& [pid, process] : kernel_.processes_)
            if (process->alive_)
                names.push_back(std::to_string(pid));
        return names;
    }
    if (const auto rest = after(path, std::string(proc_root) + "/")) {
        const std::size_t slash = rest->find('/');
        const auto found = kernel_.processes_.find(number_in(rest->substr(0, slash)));
        if (found != kernel_.processes_.end() && found->second->alive_ &&
            slash != std::string::npos && rest->substr(slash + 1) == "fd")
            for (const auto& [fd, file] : found->second->files_)
                names.push_back(std::to_string(fd));
    }
    return names;
}

std::optional<std::string> FakeKernel::Process::read_link(const std::string& path)
{
    const auto rest = after(path, std::string(proc_root) + "/");
    if (!rest)
        return std::nullopt;
    const std::size_t slash = rest->find("/fd/");
    if (slash == std::string::npos)
        return std::nullopt;
    const auto found = kernel_.processes_.find(number_in(rest->substr(0, slash)));
    if (found == kernel_.processes_.end() || !found->second->alive_)
        return std::nullopt;
    const auto file = found->second->files_.find(number_in(rest->substr(slash + 4)));
    if (file == found->second->files_.end())
        return std::nullopt;
    return "/dev/parport" + std::to_string(file->second.port);
}

std::vector<unsigned long> FakeKernel::Process::requests() const
{
    std::vector<unsigned long> r;
    for (const auto& c : calls)
        r.push_back(c.request);
    return r;
}

} // namespace korvel::test
