// korvel --make-safe against the fake kernel: exactly the claim and the
// safe-state bytes on a free port, nothing at all on a port it cannot claim,
// and the line that says which; and when a service's stop counts as clean.
#include "guard/make_safe.h"
#include "port/hardware_port.h"
#include "support/fake_kernel.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <linux/ppdev.h>
#include <map>
#include <string>
#include <sys/ioctl.h>
#include <vector>

namespace korvel::guard {
namespace {

using test::FakeKernel;
using test::RegisterWrite;

struct Case {
    const char* name;
    unsigned base;
    bool irq;
    std::function<void(FakeKernel&)> setup;
    std::vector<RegisterWrite> writes;  // what the hardware receives
    int status;
    std::string line;
};

std::vector<RegisterWrite> claim_and_safe_state(int port, bool irq)
{
    const int b4 = irq ? 0x10 : 0;
    return {{port, 2, 0x0C | b4}, {port, 2, 0x0C | b4}, {port, 0, 255},
            {port, 2, 3 | b4},    {port, 2, 0 | b4},    {port, 2, 12 | b4}};
}

const std::string not_safe = "korvel: the port at 0x378 could NOT be put into the safe state: ";

TEST(MakeSafe, WritesTheSafeStateOnAFreePortAndNothingOnOneItCannotClaim)
{
    const std::vector<Case> cases = {
        {"free port", 0x378, false, nullptr, claim_and_safe_state(0, false), 0,
         "korvel: the port at 0x378 was put into the safe state"},
        {"free port with an interrupt line", 0x378, true, nullptr, claim_and_safe_state(0, true), 0,
         "korvel: the port at 0x378 was put into the safe state"},
        {"the card's port", 0x278, false, nullptr, claim_and_safe_state(1, false), 0,
         "korvel: the port at 0x278 was put into the safe state"},
        {"held by another korvel", 0x378, false,
         [](FakeKernel& k) {
             auto& other = k.process(812, "korvel");
             const int fd = other.open_rw("/dev/parport0");
             other.ioctl(fd, PPEXCL, nullptr);
             other.ioctl(fd, PPCLAIM, nullptr);
         },
         {}, 1,
         not_safe + "/dev/parport0 is busy (held by korvel (pid 812)); stop that program, then "
                    "restart korvel"},
        {"held by the printer driver", 0x378, false, [](FakeKernel& k) { k.port(0).lp = true; }, {},
         1,
         not_safe + "/dev/parport0 is busy (held by the lp printer driver); run 'modprobe -r lp', "
                    "then restart korvel"},
        {"no permission", 0x378, false, [](FakeKernel& k) { k.port(0).open_error = EACCES; }, {}, 1,
         not_safe + "permission denied on /dev/parport0; add yourself to group lp ('adduser $USER "
                    "lp') and log in again"},
        {"device gone", 0x378, false, [](FakeKernel& k) { k.unplug(0); }, {}, 1,
         not_safe + "no parallel port at this address (the kernel has ports at 0x278 only, direct "
                    "I/O not permitted); choose another port"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeKernel kernel;
        kernel.add_port(0x378, c.irq);
        kernel.add_port(0x278, c.irq);
        if (c.setup)
            c.setup(kernel);
        const auto before = kernel.hardware;
        FakeKernel::Process& self = kernel.process(900);
        const Reopen reopen = [&]() -> std::unique_ptr<Port> {
            return std::make_unique<HardwarePort>(self, FakeKernel::paths(), nullptr);
        };
        const MakeSafeResult r = make_port_safe(reopen, static_cast<int>(c.base), "korvel");
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.line, c.line);
        EXPECT_EQ(std::vector<RegisterWrite>(kernel.hardware.begin() + static_cast<long>(before.size()),
                                             kernel.hardware.end()),
                  c.writes);
        EXPECT_EQ(self.open_files(), 0u);  // the port is let go
    }
}

TEST(MakeSafe, AWriteTheDeviceRefusesIsNoSuccess)
{
    FakeKernel kernel;
    kernel.add_port(0x378);
    FakeKernel::Process& self = kernel.process(900);
    self.fail_request = PPWCONTROL;
    self.fail_err = EIO;
    self.fail_after = 2;  // strobe and idle pass; the last write, control 12, fails
    const Reopen reopen = [&]() -> std::unique_ptr<Port> {
        return std::make_unique<HardwarePort>(self, FakeKernel::paths(), nullptr);
    };
    const MakeSafeResult r = make_port_safe(reopen, 0x378, "korvel");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.line.rfind(not_safe, 0), 0u) << r.line;
    EXPECT_EQ(self.open_files(), 0u);
}

TEST(MakeSafe, OnlyAStopByTheProgramsOwnExitCountsAsClean)
{
    using Env = std::map<std::string, std::string>;
    const auto clean = [](const Env& env) {
        return service_ended_cleanly([&](const char* name) -> const char* {
            const auto it = env.find(name);
            return it == env.end() ? nullptr : it->second.c_str();
        });
    };
    EXPECT_TRUE(clean({{"SERVICE_RESULT", "success"}, {"EXIT_CODE", "exited"}, {"EXIT_STATUS", "0"}}));
    const std::vector<Env> unclean = {
        {{"SERVICE_RESULT", "signal"}, {"EXIT_CODE", "killed"}, {"EXIT_STATUS", "KILL"}},
        {{"SERVICE_RESULT", "watchdog"}, {"EXIT_CODE", "dumped"}, {"EXIT_STATUS", "ABRT"}},
        {{"SERVICE_RESULT", "exit-code"}, {"EXIT_CODE", "exited"}, {"EXIT_STATUS", "1"}},
        {{"SERVICE_RESULT", "success"}, {"EXIT_CODE", "killed"}, {"EXIT_STATUS", "TERM"}},
        {{"SERVICE_RESULT", "success"}, {"EXIT_CODE", "exited"}},  // status unknown
        {},                                                       // not under systemd
    };
    for (const Env& env : unclean)
        EXPECT_FALSE(clean(env));
}

} // namespace
} // namespace korvel::guard
