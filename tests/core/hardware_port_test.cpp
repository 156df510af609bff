// The real-port backends against the fake kernel (support/fake_kernel.h):
// its ppdev devices record what they are asked and fail on demand, its
// ports record every byte their hardware receives. The parsing of /proc is
// also tried on odd files in a temporary directory.
#include "port/hardware_port.h"
#include "port/parport_proc.h"
#include "support/fake_kernel.h"
#include "support/temp_tree.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <linux/parport.h>
#include <map>
#include <sys/ioctl.h>
#include <linux/ppdev.h>

namespace korvel {
namespace {

using test::FakeKernel;
using test::RegisterWrite;

// A HardwarePort of `process` whose lines go to `lines`.
std::unique_ptr<HardwarePort> make_port(FakeKernel::Process& process, std::vector<std::string>& lines)
{
    return std::make_unique<HardwarePort>(process, FakeKernel::paths(),
                                          [&lines](std::string_view l) { lines.emplace_back(l); });
}

// parport0 at 0x378, parport1 at 0x278, parport2 a PCI card at 0xD010.
void standard_ports(FakeKernel& kernel, bool irq = false)
{
    for (unsigned base : {0x378u, 0x278u, 0xD010u})
        kernel.add_port(base, irq);
}

class HardwarePortTest : public ::testing::Test {
protected:
    void standard_ports() { korvel::standard_ports(kernel); }
    std::unique_ptr<HardwarePort> make() { return make_port(sys, lines); }

    FakeKernel kernel;
    FakeKernel::Process& sys = kernel.process(100);
    std::vector<std::string> lines;
};

// --- base address to device ------------------------------------------------

TEST(ParportProc, ReadsTheBaseFromBaseAddrText)
{
    EXPECT_EQ(parse_base_addr("888\t1912\n"), 888u);
    EXPECT_EQ(parse_base_addr("  632 \n"), 632u);
    EXPECT_EQ(parse_base_addr("53264\t53272"), 53264u);
    for (const char* bad : {"", " \n", "abc", "0x378", "-888", "+888", "888abc\t1912", "70000",
                            "99999999999999999999999"})
        EXPECT_EQ(parse_base_addr(bad), std::nullopt) << '"' << bad << '"';
    EXPECT_EQ(parport_number("parport12"), 12);
    for (const char* bad : {"default", "parport", "parport1a", "xparport1"})
        EXPECT_EQ(parport_number(bad), std::nullopt) << bad;
}

TEST(ParportProc, FindsThePortAtEachBaseAndSkipsOddEntries)
{
    TempTree tree;
    LinuxSystemCalls sys;
    tree.write("proc/sys/dev/parport/parport0/base-addr", "888\t1912\n");
    tree.write("proc/sys/dev/parport/parport1/base-addr", "632\t1656\n");
    tree.write("proc/sys/dev/parport/parport2/base-addr", "53264\t53272\n");
    tree.mkdir("proc/sys/dev/parport/parport3");                        // no base-addr
    tree.write("proc/sys/dev/parport/parport4/base-addr", "garbage\n");
    tree.write("proc/sys/dev/parport/default/base-addr", "956\n");      // not a port
    tree.write("proc/sys/dev/parport/parport10/base-addr", "\t 956 \t 1980 \n");
    tree.write("proc/sys/dev/parport/parport9/base-addr", "956\t1980\n");
    const std::string dir = (tree.root / "proc/sys/dev/parport").string();
    const auto at = [&](unsigned base) {
        const auto p = find_parport(sys, dir, base);
        return p ? p->number : -1;
    };
    EXPECT_EQ(at(0x378), 0);
    EXPECT_EQ(at(0x278), 1);
    EXPECT_EQ(at(0xD010), 2);
    EXPECT_EQ(at(0x3BC), 9);  // the lower number, not the first name in text order
    EXPECT_EQ(at(0x2BC), -1);
    EXPECT_EQ(find_parport(sys, (tree.root / "nowhere").string(), 0x378), std::nullopt);
}

// --- ppdev -----------------------------------------------------------------

TEST_F(HardwarePortTest, ClaimsExclusivelyAndMapsEachRegisterToItsIoctl)
{
    standard_ports();
    kernel.port(0).status = 0x5A;
    auto port = make();

    port->Out32(0x378, 0x1A5);  // only the low byte goes out
    port->Out32(0x37A, 3);
    EXPECT_EQ(port->Inp32(0x379), 0x5A);
    EXPECT_EQ(port->Inp32(0x378), 0xA5);
    EXPECT_EQ(port->Inp32(0x37A), 3);
    port->Out32(0x379, 0xFF);             // status register: no write
    EXPECT_EQ(port->Inp32(0x37B), 255);   // no register there

    ASSERT_EQ(sys.calls.size(), 7u);
    EXPECT_EQ(sys.requests(), (std::vector<unsigned long>{PPEXCL, PPCLAIM, PPWDATA, PPWCONTROL,
                                                          PPRSTATUS, PPRDATA, PPRCONTROL}));
    EXPECT_EQ(sys.calls[2].byte, 0xA5);
    EXPECT_EQ(sys.calls[3].byte, 3);
    // The hardware: the kernel's claim, then the two writes.
    EXPECT_EQ(kernel.hardware, (std::vector<RegisterWrite>{{0, 2, 0x0C}, {0, 2, 0x0C}, {0, 0, 0xA5},
                                                          {0, 2, 3}}));
    EXPECT_EQ(port->device_for(0x378), "/dev/parport0");
    EXPECT_EQ(port->backend_for(0x378), PortBackend::Ppdev);
    EXPECT_EQ(port->fault(0x378), "");
    EXPECT_TRUE(lines.empty());
}

TEST(HardwarePort, ControlWritesCarryTheCodeAndNeverTheDirectionBit)
{
    // With an interrupt line the kernel keeps its enable bit 4 in every
    // control byte while the port is claimed; the panel's bits 0..3 reach
    // the register unchanged either way.
    for (bool irq : {false, true}) {
        SCOPED_TRACE(irq ? "irq 7" : "irq=none");
        FakeKernel kernel;
        standard_ports(kernel, irq);
        FakeKernel::Process& sys = kernel.process(100);
        std::vector<std::string> lines;
        auto port = make_port(sys, lines);
        const int kernel_bits = irq ? 0x10 : 0;
        for (std::uint8_t code : {0, 1, 3, 8, 12}) {
            port->Out32(0x37A, code);
            EXPECT_EQ(sys.calls.back().byte, code);
            EXPECT_EQ(kernel.hardware.back(), (RegisterWrite{0, 2, code | kernel_bits}));
            EXPECT_EQ(port->Inp32(0x37A), code);
        }
        EXPECT_EQ(kernel.hardware.front(), (RegisterWrite{0, 2, 0x0C | kernel_bits}));
        for (int v = 0; v < 0x200; ++v) {
            port->Out32(0x37A, static_cast<std::int16_t>(v));
            ASSERT_EQ(sys.calls.back().request, PPWCONTROL);
            ASSERT_EQ(sys.calls.back().byte, v & 0x0F) << v;
            ASSERT_EQ(kernel.hardware.back().value, (v & 0x0F) | kernel_bits) << v;
        }
        EXPECT_FALSE(kernel.port(0).reversed);
        EXPECT_EQ(kernel.hardware.size(), 2u + 5 + 0x200);  // one register write per call
        port->Out32(0x378, 0x5A);
        EXPECT_EQ(port->Inp32(0x378), 0x5A);  // the data lines still drive
        EXPECT_TRUE(lines.empty());
    }
}

TEST_F(HardwarePortTest, KeepsEveryPortClaimedUntilDestroyed)
{
    standard_ports();
    auto port = make();
    port->Out32(0x378, 1);
    port->Out32(0x278, 2);
    port->Inp32(static_cast<std::int16_t>(0xD011));  // a PCI card's base arrives negative
    port->Out32(0x37A, 12);

    int claims = 0;
    for (const auto& c : sys.calls) {
        EXPECT_NE(c.request, static_cast<unsigned long>(PPRELEASE));
        claims += c.request == PPCLAIM;
    }
    EXPECT_EQ(claims, 3);
    EXPECT_EQ(sys.open_files(), 3u);
    EXPECT_EQ(port->device_for(0xD010), "/dev/parport2");

    // Letting go writes nothing: the pins keep the last bytes written.
    const auto hardware = kernel.hardware;
    port.reset();
    EXPECT_EQ(sys.open_files(), 0u);
    EXPECT_EQ(sys.closed.size(), 3u);
    const auto requests = sys.requests();
    EXPECT_EQ(std::count(requests.begin(), requests.end(), static_cast<unsigned long>(PPRELEASE)), 3);
    EXPECT_EQ(kernel.hardware, hardware);
    EXPECT_EQ(kernel.port(0).control, 12);
    EXPECT_EQ(kernel.port(0).data, 1);
}

TEST_F(HardwarePortTest, APortHeldByAnotherProgramIsFreeOnceItHasGone)
{
    standard_ports();
    // Another korvel holds parport0, claimed exclusively.
    std::vector<std::string> first_lines;
    auto first = make_port(kernel.process(812), first_lines);
    first->Out32(0x378, 48);
    const auto hardware = kernel.hardware;

    auto second = make();
    second->Out32(0x378, 255);
    second->Out32(0x37A, 12);
    EXPECT_EQ(second->backend_for(0x378), PortBackend::Absent);
    EXPECT_EQ(kernel.hardware, hardware);  // the refused claim wrote nothing
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "korvel: port 0x378: /dev/parport0 is busy (held by korvel (pid 812)); "
                        "stop that program, then restart korvel");
    EXPECT_EQ("korvel: port 0x378: " + second->fault(0x378), lines[0]);

    // Killed: the kernel closes its files and writes nothing; the port is free.
    kernel.kill(812);
    EXPECT_EQ(kernel.hardware, hardware);
    auto third = make();
    EXPECT_EQ(third->fault(0x378), "");
    EXPECT_EQ(third->backend_for(0x378), PortBackend::Ppdev);
}

// --- absent ports ------------------------------------------------------------

TEST(HardwarePort, AbsentPortsReadHighIgnoreWritesAndSayWhyOnce)
{
    struct Case {
        const char* name;
        std::function<void(FakeKernel&)> setup;
        std::vector<std::string> said;
    };
    const std::vector<Case> cases = {
        {"no port", [](FakeKernel&) {}, {"korvel: port 0x378: no parallel port at this address (no /dev/parport device, "
                             "direct I/O not permitted); load the parallel-port drivers ('modprobe -a parport_pc ppdev') or choose another port"}},
        {"other ports only", [](FakeKernel& k) { k.add_port(0x278); },
         {"ports at 0x278 only", "choose another port"}},
        {"lockdown",
         [](FakeKernel& k) { k.lockdown = "none [integrity] confidentiality\n"; },
         {"blocked by kernel lockdown"}},
        {"no permission", [](FakeKernel& k) { standard_ports(k); k.port(0).open_error = EACCES; },
         {"korvel: port 0x378: permission denied on /dev/parport0; add yourself to group lp "
          "('adduser $USER lp') and log in again"}},
        {"busy at open", [](FakeKernel& k) { standard_ports(k); k.port(0).open_error = EBUSY; },
         {"korvel: port 0x378: /dev/parport0 is busy (held by another program or the lp printer "
          "driver); stop that program or run 'modprobe -r lp', then restart korvel"}},
        {"lp driver", [](FakeKernel& k) { standard_ports(k); k.port(0).lp = true; },
         {"busy (held by the lp printer driver); run 'modprobe -r lp'"}},
        {"another program",
         [](FakeKernel& k) {
             standard_ports(k);
             FakeKernel::Process& other = k.process(4242, "bench\tlog");
             const int fd = other.open_rw("/dev/parport0");
             other.ioctl(fd, PPEXCL, nullptr);
             other.ioctl(fd, PPCLAIM, nullptr);
         },
         {"busy (held by bench?log (pid 4242)); stop that program"}},
        {"ppdev not loaded", [](FakeKernel& k) { standard_ports(k); k.port(0).open_error = ENOENT; },
         {"parport0 has no usable /dev/parport0", "modprobe ppdev"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeKernel kernel;
        FakeKernel::Process& sys = kernel.process(100);
        std::vector<std::string> lines;
        c.setup(kernel);
        // A port the kernel drives is never taken over by direct I/O, even
        // where that would be allowed.
        if (kernel.port_count() > 0 && kernel.port(0).base == 0x378)
            sys.ioperm_result = 0;
        sys.events.clear();
        const auto hardware = kernel.hardware;
        {
            auto port = make_port(sys, lines);
            for (int i = 0; i < 5; ++i) {
                port->Out32(0x378, 0);
                port->Out32(0x37A, 12);
                EXPECT_EQ(port->Inp32(0x379), 255);
            }
            EXPECT_EQ(port->backend_for(0x378), PortBackend::Absent);
            EXPECT_EQ(port->device_for(0x378), "");
            ASSERT_EQ(lines.size(), 1u);
            for (const auto& part : c.said)
                EXPECT_NE(lines[0].find(part), std::string::npos) << lines[0];
            EXPECT_EQ(lines[0].find('\n'), std::string::npos);
            EXPECT_EQ("korvel: port 0x378: " + port->fault(0x378), lines[0]);
            EXPECT_TRUE(sys.outs.empty());
        }
        EXPECT_EQ(kernel.hardware, hardware);  // nothing reached a port
        EXPECT_EQ(sys.open_files(), 0u);  // nothing left open, claimed or not
        // The search for the holder must not find this program itself.
        if (std::find(sys.events.begin(), sys.events.end(), "scan") != sys.events.end()) {
            EXPECT_EQ(sys.events, (std::vector<std::string>{"open", "close", "scan"}));
        }
        for (const auto& call : sys.calls)
            EXPECT_TRUE(call.request == PPEXCL || call.request == PPCLAIM);
    }
}

TEST_F(HardwarePortTest, EachAbsentBaseIsReportedOnItsOwn)
{
    auto port = make();
    port->Inp32(0x279);
    port->Inp32(0x3BD);
    port->Inp32(0x279);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("korvel: port 0x278: ", 0), 0u);
    EXPECT_EQ(lines[1].rfind("korvel: port 0x3BC: ", 0), 0u);
}

// --- faults during the run ---------------------------------------------------

TEST(HardwarePort, APortThatFailsTurnsAbsentWithOneLine)
{
    for (unsigned long request : {PPRSTATUS, PPWDATA}) {
        SCOPED_TRACE(request);
        FakeKernel kernel;
        standard_ports(kernel);
        FakeKernel::Process& sys = kernel.process(100);
        std::vector<std::string> lines;
        sys.fail_request = request;
        sys.fail_err = request == PPWDATA ? ENODEV : EIO;
        sys.fail_after = 2;
        auto port = make_port(sys, lines);
        port->Out32(0x278, 1);
        for (int i = 0; i < 3; ++i) {
            port->Out32(0x378, 7);
            port->Inp32(0x379);
        }
        const auto calls = sys.calls.size();
        for (int i = 0; i < 100; ++i) {
            port->Out32(0x378, 7);
            EXPECT_EQ(port->Inp32(0x379), 255);
        }
        EXPECT_EQ(sys.calls.size(), calls);  // not tried again
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], request == PPWDATA
                                ? "korvel: port 0x378: /dev/parport0 failed (No such device); the port now "
                                  "reads as absent; restart korvel when the port is back"
                                : "korvel: port 0x378: /dev/parport0 failed (Input/output error); the port "
                                  "now reads as absent; restart korvel when the port is back");
        EXPECT_EQ("korvel: port 0x378: " + port->fault(0x378), lines[0]);
        EXPECT_EQ(port->backend_for(0x378), PortBackend::Absent);
        EXPECT_EQ(port->backend_for(0x278), PortBackend::Ppdev);
        EXPECT_EQ(port->fault(0x278), "");
        port.reset();
        EXPECT_EQ(sys.open_files(), 0u);
    }
}

// --- direct I/O --------------------------------------------------------------

TEST_F(HardwarePortTest, DirectIoServesBasesWithoutAKernelPort)
{
    standard_ports();
    sys.ioperm_result = 0;
    auto port = make();
    port->Out32(0x3BC, 0x55);
    port->Out32(0x3BE, 0x2C);
    EXPECT_EQ(port->Inp32(0x3BD), 0xBD);
    EXPECT_EQ(port->Inp32(0x3BF), 255);  // outside the three permitted registers
    port->Out32(0x3BF, 1);
    port->Out32(0x378, 1);  // a kernel port stays with ppdev

    EXPECT_EQ(sys.outs, (std::vector<std::pair<std::uint16_t, std::uint8_t>>{{0x3BC, 0x55}, {0x3BE, 0x0C}}));
    EXPECT_EQ(sys.ins, std::vector<std::uint16_t>{0x3BD});
    EXPECT_EQ(port->backend_for(0x3BC), PortBackend::Direct);
    EXPECT_EQ(port->device_for(0x3BC), "");
    EXPECT_EQ(port->fault(0x3BC), "");
    EXPECT_EQ(port->backend_for(0x378), PortBackend::Ppdev);
    EXPECT_TRUE(lines.empty());
    port.reset();
    using P = std::tuple<unsigned long, unsigned long, bool>;
    EXPECT_EQ(sys.ioperm_calls, (std::vector<P>{{0x3BC, 3, true}, {0x3BC, 3, false}}));
}

} // namespace
} // namespace korvel
