// The real-port backends against a fake system: a temporary directory laid
// out like /proc, and fake device calls that record what they are asked and
// fail on demand.
#include "port/hardware_port.h"
#include "port/parport_proc.h"

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

namespace fs = std::filesystem;

class TempTree {
public:
    TempTree()
    {
        std::string tmpl = (fs::temp_directory_path() / "korvel-port-XXXXXX").string();
        root = ::mkdtemp(tmpl.data());
    }
    ~TempTree() { fs::remove_all(root); }
    void write(const std::string& rel, const std::string& text) const
    {
        fs::create_directories((root / rel).parent_path());
        std::ofstream(root / rel) << text;
    }
    void link(const std::string& rel, const std::string& target) const
    {
        fs::create_directories((root / rel).parent_path());
        fs::create_symlink(target, root / rel);
    }
    void mkdir(const std::string& rel) const { fs::create_directories(root / rel); }
    fs::path root;
};

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

class HardwarePortTest : public ::testing::Test {
protected:
    // parport0 at 0x378, parport1 at 0x278, parport2 a PCI card at 0xD010.
    void standard_ports()
    {
        tree.write("proc/sys/dev/parport/parport0/base-addr", "888\t1912\n");
        tree.write("proc/sys/dev/parport/parport1/base-addr", "632\t1656\n");
        tree.write("proc/sys/dev/parport/parport2/base-addr", "53264\t53272\n");
        for (int n = 0; n < 3; ++n)
            sys.devices["/dev/parport" + std::to_string(n)];
    }
    std::unique_ptr<HardwarePort> make()
    {
        HardwarePaths paths{(tree.root / "proc").string(), "/dev", (tree.root / "sys").string()};
        sys.proc_root = paths.proc;
        return std::make_unique<HardwarePort>(sys, paths,
                                              [this](std::string_view l) { lines.emplace_back(l); });
    }
    std::string parport_dir() const { return (tree.root / "proc/sys/dev/parport").string(); }

    TempTree tree;
    FakeSystem sys;
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

TEST_F(HardwarePortTest, FindsThePortAtEachBaseAndSkipsOddEntries)
{
    standard_ports();
    tree.mkdir("proc/sys/dev/parport/parport3");                        // no base-addr
    tree.write("proc/sys/dev/parport/parport4/base-addr", "garbage\n");
    tree.write("proc/sys/dev/parport/default/base-addr", "956\n");      // not a port
    tree.write("proc/sys/dev/parport/parport10/base-addr", "\t 956 \t 1980 \n");
    tree.write("proc/sys/dev/parport/parport9/base-addr", "956\t1980\n");
    const auto at = [&](unsigned base) {
        const auto p = find_parport(sys, parport_dir(), base);
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
    sys.devices["/dev/parport0"].status = 0x5A;
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
    EXPECT_EQ(port->device_for(0x378), "/dev/parport0");
    EXPECT_EQ(port->backend_for(0x378), PortBackend::Ppdev);
    EXPECT_TRUE(lines.empty());
}

TEST_F(HardwarePortTest, ControlWritesCarryTheCodeAndNeverTheDirectionBit)
{
    standard_ports();
    auto port = make();
    for (std::uint8_t code : {0, 1, 3, 8, 12}) {
        port->Out32(0x37A, code);
        EXPECT_EQ(sys.calls.back().byte, code);
        EXPECT_EQ(port->Inp32(0x37A), code);
    }
    for (int v = 0; v < 0x200; ++v) {
        port->Out32(0x37A, static_cast<std::int16_t>(v));
        ASSERT_EQ(sys.calls.back().request, PPWCONTROL);
        ASSERT_EQ(sys.calls.back().byte, v & 0x0F) << v;
    }
    EXPECT_FALSE(sys.devices["/dev/parport0"].reversed);
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
    EXPECT_EQ(sys.open_fds.size(), 3u);
    EXPECT_EQ(port->device_for(0xD010), "/dev/parport2");

    port.reset();
    EXPECT_TRUE(sys.open_fds.empty());
    EXPECT_EQ(sys.closed.size(), 3u);
    const auto requests = sys.requests();
    EXPECT_EQ(std::count(requests.begin(), requests.end(), static_cast<unsigned long>(PPRELEASE)), 3);
}

// --- absent ports ------------------------------------------------------------

TEST_F(HardwarePortTest, AbsentPortsReadHighIgnoreWritesAndSayWhyOnce)
{
    struct Case {
        const char* name;
        std::function<void()> setup;
        std::vector<std::string> said;
    };
    const std::vector<Case> cases = {
        {"no port", [] {}, {"korvel: port 0x378: no parallel port at this address (no /dev/parport device, "
                             "direct I/O not permitted); load the parallel-port drivers ('modprobe -a parport_pc ppdev') or choose another port"}},
        {"other ports only", [&] { tree.write("proc/sys/dev/parport/parport0/base-addr", "632\t1656\n"); },
         {"ports at 0x278 only", "choose another port"}},
        {"lockdown",
         [&] { tree.write("sys/kernel/security/lockdown", "none [integrity] confidentiality\n"); },
         {"blocked by kernel lockdown"}},
        {"no permission", [&] { standard_ports(); sys.devices["/dev/parport0"].open_error = EACCES; },
         {"korvel: port 0x378: permission denied on /dev/parport0; add yourself to group lp "
          "('adduser $USER lp') and log in again"}},
        {"busy at open", [&] { standard_ports(); sys.devices["/dev/parport0"].open_error = EBUSY; },
         {"korvel: port 0x378: /dev/parport0 is busy (held by another program or the lp printer "
          "driver); stop that program or run 'modprobe -r lp', then restart korvel"}},
        {"lp driver",
         [&] {
             standard_ports();
             sys.devices["/dev/parport0"].claim_error = ENXIO;
             tree.write("proc/sys/dev/parport/parport0/devices/lp/timeslice", "200\n");
             tree.write("proc/sys/dev/parport/parport0/devices/active", "none\n");
         },
         {"busy (held by the lp printer driver); run 'modprobe -r lp'"}},
        {"another program",
         [&] {
             standard_ports();
             sys.devices["/dev/parport0"].claim_error = ENXIO;
             tree.write("proc/sys/dev/parport/parport0/devices/ppdev0/timeslice", "200\n");
             tree.link("proc/4242/fd/5", "/dev/parport0");
             tree.link("proc/4242/fd/6", "/dev/null");
             tree.write("proc/4242/comm", "bench\tlog\n");
         },
         {"busy (held by bench?log (pid 4242)); stop that program"}},
        {"ppdev not loaded", [&] { standard_ports(); sys.devices.erase("/dev/parport0"); },
         {"parport0 has no usable /dev/parport0", "modprobe ppdev"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(tree.root);
        fs::create_directories(tree.root);
        sys = FakeSystem{};
        lines.clear();
        c.setup();
        // A port the kernel drives is never taken over by direct I/O, even
        // where that would be allowed.
        if (!sys.devices.empty())
            sys.ioperm_result = 0;
        {
            auto port = make();
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
            EXPECT_TRUE(sys.outs.empty());
        }
        EXPECT_TRUE(sys.open_fds.empty());  // nothing left open, claimed or not
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

TEST_F(HardwarePortTest, APortThatFailsTurnsAbsentWithOneLine)
{
    for (unsigned long request : {PPRSTATUS, PPWDATA}) {
        SCOPED_TRACE(request);
        sys = FakeSystem{};
        lines.clear();
        standard_ports();
        sys.fail_request = request;
        sys.fail_err = request == PPWDATA ? ENODEV : EIO;
        sys.fail_after = 2;
        auto port = make();
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
        EXPECT_EQ(port->backend_for(0x378), PortBackend::Absent);
        EXPECT_EQ(port->backend_for(0x278), PortBackend::Ppdev);
        port.reset();
        EXPECT_TRUE(sys.open_fds.empty());
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
    EXPECT_EQ(port->backend_for(0x378), PortBackend::Ppdev);
    EXPECT_TRUE(lines.empty());
    port.reset();
    using P = std::tuple<unsigned long, unsigned long, bool>;
    EXPECT_EQ(sys.ioperm_calls, (std::vector<P>{{0x3BC, 3, true}, {0x3BC, 3, false}}));
}

} // namespace
} // namespace korvel
