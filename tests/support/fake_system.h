// A fake system for the real-port backends: a temporary directory laid out
// like /proc, and fake device calls that record what they are asked and fail
// on demand.
#pragma once

#include "port/system_calls.h"
#include "support/temp_tree.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <linux/parport.h>
#include <map>
#include <string>
#include <sys/ioctl.h>
#include <linux/ppdev.h>
#include <tuple>
#include <vector>

namespace korvel {

struct Call {
    unsigned long request;
    int fd;
    int byte;  // passed by a write, returned by a read; -1 for none
};

// Device calls are faked; files are read for real from the TempTree.
class FakeSystem : public LinuxSystemCalls {
public:
    struct Device {
        int open_error = 0, claim_error = 0;
        std::uint8_t status = 0x7F, data = 0, control = 0;
        bool reversed = false;  // a control write with bit 5 set turns the data lines
    };
    std::map<std::string, Device> devices;  // by path; others fail with ENOENT
    std::map<int, std::string> open_fds;
    std::vector<std::string> closed;
    std::string proc_root;
    std::vector<std::string> events;  // "open", "close", "scan" (of proc_root)
    std::vector<Call> calls;
    // Fails `request` with `err` from its `after`-th use on.
    unsigned long fail_request = 0;
    int fail_err = 0, fail_after = 0;

    int ioperm_result = -EPERM;
    std::vector<std::tuple<unsigned long, unsigned long, bool>> ioperm_calls;
    std::vector<std::pair<std::uint16_t, std::uint8_t>> outs;
    std::vector<std::uint16_t> ins;

    int open_rw(const std::string& path) noexcept override
    {
        auto it = devices.find(path);
        if (it == devices.end())
            return -ENOENT;
        if (it->second.open_error)
            return -it->second.open_error;
        open_fds[next_fd_] = path;
        events.push_back("open");
        return next_fd_++;
    }
    int close(int fd) noexcept override
    {
        closed.push_back(open_fds.at(fd));
        open_fds.erase(fd);
        events.push_back("close");
        return 0;
    }
    int ioctl(int fd, unsigned long request, void* arg) noexcept override
    {
        Device& d = devices.at(open_fds.at(fd));
        auto* byte = static_cast<std::uint8_t*>(arg);
        if (request == fail_request && fail_after-- <= 0) {
            calls.push_back({request, fd, -1});
            return -fail_err;
        }
        if (request == PPCLAIM && d.claim_error)
            return -d.claim_error;
        if (request == PPWDATA)
            d.data = *byte;
        if (request == PPWCONTROL) {
            d.control = *byte & 0x0F;  // as the kernel driver keeps it
            d.reversed = d.reversed || (*byte & 0x20);
        }
        if (request == PPRSTATUS)
            *byte = d.status;
        if (request == PPRDATA)
            *byte = d.data;
        if (request == PPRCONTROL)
            *byte = d.control;
        calls.push_back({request, fd, byte ? *byte : -1});
        return 0;
    }
    int ioperm(unsigned long from, unsigned long count, bool on) noexcept override
    {
        ioperm_calls.emplace_back(from, count, on);
        return on ? ioperm_result : 0;
    }
    std::uint8_t inb(std::uint16_t port) noexcept override
    {
        ins.push_back(port);
        return static_cast<std::uint8_t>(port & 0xFF);
    }
    void outb(std::uint8_t value, std::uint16_t port) noexcept override { outs.emplace_back(port, value); }
    std::vector<std::string> list_dir(const std::string& path) override
    {
        if (path == proc_root)
            events.push_back("scan");
        return LinuxSystemCalls::list_dir(path);
    }

    std::vector<unsigned long> requests() const
    {
        std::vector<unsigned long> r;
        for (const auto& c : calls)
            r.push_back(c.request);
        return r;
    }

private:
    int next_fd_ = 10;
};

} // namespace korvel
