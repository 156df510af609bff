// The VXI-11 channels: a link's reads cut by request size, termination
// character and END (table); the real server in an event loop driven by
// libtirpc clients (links, locks, time-outs, abort, the 17th link); and its
// record decoder under random and mutated records, after which it still
// serves. KORVEL_FUZZ_ITERATIONS sets the number of fuzzed records.
#include "app/options.h"
#include "fake_instrument.h"
#include "remote/vxi11_link.h"
#include "remote/vxi11_server.h"

#include "vxi11_rpc.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <gtest/gtest.h>
#include <rpc/rpc.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <random>
#include <thread>

namespace korvel::remote {
namespace {

using remote_test::KeepingInstrument;

TEST(Vxi11Link, ReadsEndAtRequestSizeTerminationCharacterOrMessageEnd)
{
    struct Case {
        const char* written;
        std::size_t size;
        std::optional<char> term;
        const char* piece;
        int reason;
    };
    constexpr int req = Vxi11Link::reason_request_count, chr = Vxi11Link::reason_termination_character,
                  end = Vxi11Link::reason_end;
    const Case cases[] = {
        {"*IDN?", 1000, std::nullopt, "korvel,fake,0,0\n", end},
        {"*IDN?", 4, std::nullopt, "korv", req},
        {"*IDN?", 1000, ',', "korvel,", chr},
        {"*IDN?", 16, std::nullopt, "korvel,fake,0,0\n", end | req},
        {"*IDN?", 16, '\n', "korvel,fake,0,0\n", end | req | chr},
        {"*IDN?;*IDN?", 1000, std::nullopt, "korvel,fake,0,0;korvel,fake,0,0\n", end},
    };
    for (const Case& c : cases) {
        KeepingInstrument f;
        Vxi11Link link(f);
        link.write(c.written, true);
        while (auto line = link.next_line()) {
            link.interpreter().run_line(line->text);
            link.keep_response();
        }
        EXPECT_EQ(link.status_byte(), 0x10) << c.written;
        const auto piece = link.read(c.size, c.term);
        ASSERT_TRUE(piece) << c.written;
        EXPECT_EQ(piece->data, c.piece) << c.written << " " << c.size;
        EXPECT_EQ(piece->reason, c.reason) << c.written << " " << c.size;
    }
}

TEST(Vxi11Link, WritesFormLinesAtEndOrNewlineAndClearDropsEverything)
{
    KeepingInstrument f;
    Vxi11Link link(f);
    link.write("SOUR:SE", false);
    EXPECT_FALSE(link.has_lines());
    link.write("TP 5", true);
    EXPECT_EQ(link.next_line()->text, "SOUR:SETP 5");
    link.write("*CLS\n", true);  // its own newline: no empty line after it
    EXPECT_EQ(link.next_line()->text, "*CLS");
    EXPECT_FALSE(link.has_lines());
    link.write("BOGUS", true);
    link.interpreter().run_line(link.next_line()->text);
    EXPECT_EQ(link.status_byte(), 0x04);
    link.write("half", false);
    int hooked = 0;
    link.interpreter().on_measured = [&hooked] { ++hooked; };
    link.clear();
    // The server's hook stays with the fresh conversation, or a READ? after
    // a device clear would wait out its whole time-out.
    ASSERT_TRUE(link.interpreter().on_measured);
    link.interpreter().on_measured();
    EXPECT_EQ(hooked, 1);
    link.write("", true);
    EXPECT_FALSE(link.has_lines());
    EXPECT_EQ(link.status_byte(), 0);
}

TEST(Vxi11Option, HostAndPortEachOptionalOtherwiseRefused)
{
    LinuxSystemCalls sys;
    const HardwarePaths paths;
    const app::Program sim{"korvel-sim", false};
    struct Case {
        std::vector<const char*> args;
        const char* value;  // nullptr: refused with status 2
    };
    const Case cases[] = {
        {{"--vxi11"}, ""},
        {{"--vxi11", "--no-window"}, ""},  // a way to drive the board without the window
        {{"--no-window", "--vxi11"}, ""},
        {{"--vxi11", "0.0.0.0"}, "0.0.0.0"},
        {{"--vxi11", ":4880"}, ":4880"},
        {{"--vxi11=[::1]:4880"}, "[::1]:4880"},
        {{"--vxi11", "localhost"}, "localhost"},
        {{"--vxi11", "4880"}, nullptr},  // a port alone is :4880
        {{"--vxi11", ":65536"}, nullptr},
        {{"--vxi11", "bench3:1"}, nullptr},
        {{"--vxi11", "--vxi11"}, nullptr},
    };
    for (const Case& c : cases) {
        QStringList args{"korvel-sim"};
        for (const char* a : c.args)
            args.append(a);
        const app::Request r = app::read_own_options(args, sim, sys, paths);
        if (c.value) {
            ASSERT_EQ(r.action, app::Request::Action::Run) << args.join(' ').toStdString() << ": " << r.error;
            EXPECT_EQ(r.vxi11, std::optional<std::string>(c.value)) << args.join(' ').toStdString();
            EXPECT_EQ(app::check_remaining(args, sim), "") << args.join(' ').toStdString();
        } else {
            EXPECT_EQ(r.action, app::Request::Action::Fail) << args.join(' ').toStdString();
        }
    }
    EXPECT_TRUE(app::read_own_options({"korvel-sim", "--listen", "0", "--no-mdns"}, sim, sys, paths).no_mdns);
}

// The server in this thread's event loop; clients in another thread.
class Vxi11Server : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int argc = 1;
        static char name[] = "vxi11_test";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance())
            new QCoreApplication(argc, argv);
        std::string error;
        ASSERT_TRUE(server.listen(QHostAddress(QHostAddress::LocalHost), 0, &error)) << error;
        server.attach(instrument);
    }

    // Runs body in a client thread while the loop serves.
    void clients(const std::function<void()>& body)
    {
        QEventLoop loop;
        std::thread t([&] {
            body();
            QMetaObject::invokeMethod(&loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
        });
        loop.exec();
        t.join();
    }

    CLIENT* connect_to(unsigned long program, quint16 port)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int sock = RPC_ANYSOCK;
        return clnttcp_create(&a, program, 1, &sock, 0, 0);
    }

    template <typename Arg, typename Result>
    bool call(CLIENT* c, unsigned long proc, xdrproc_t in, Arg& arg, xdrproc_t out, Result& result)
    {
        const timeval wait{30, 0};
        return clnt_call(c, proc, in, reinterpret_cast<caddr_t>(&arg), out,
                         reinterpret_cast<caddr_t>(&result), wait) == RPC_SUCCESS;
    }

    Create_LinkResp link(CLIENT* c, const char* device = "inst0")
    {
        Create_LinkParms p{};
        p.device = const_cast<char*>(device);
        Create_LinkResp r{};
        EXPECT_TRUE(call(c, create_link, xdr(xdr_Create_LinkParms), p, xdr(xdr_Create_LinkResp), r));
        return r;
    }

    long write(CLIENT* c, long lid, std::string data, long flags = 8, unsigned long lock_timeout = 0)
    {
        Device_WriteParms p{};
        p.lid = lid;
        p.flags = flags;
        p.lock_timeout = lock_timeout;
        p.io_timeout = 1000;
        p.data.data_len = static_cast<u_int>(data.size());
        p.data.data_val = data.data();
        Device_WriteResp r{};
        EXPECT_TRUE(call(c, device_write, xdr(xdr_Device_WriteParms), p, xdr(xdr_Device_WriteResp), r));
        return r.error;
    }

    std::pair<long, std::string> read(CLIENT* c, long lid, unsigned long io_timeout = 20000)
    {
        Device_ReadParms p{};
        p.lid = lid;
        p.requestSize = 1000;
        p.io_timeout = io_timeout;
        Device_ReadResp r{};
        EXPECT_TRUE(call(c, device_read, xdr(xdr_Device_ReadParms), p, xdr(xdr_Device_ReadResp), r));
        std::string data(r.data.data_val ? r.data.data_val : "", r.data.data_len);
        clnt_freeres(c, xdr(xdr_Device_ReadResp), reinterpret_cast<caddr_t>(&r));
        return {r.error, data};
    }

    long simple(CLIENT* c, unsigned long proc, long lid, long flags = 0, unsigned long lock_timeout = 0)
    {
        Device_Error e{};
        if (proc == device_lock) {
            Device_LockParms p{lid, flags, lock_timeout};
            EXPECT_TRUE(call(c, proc, xdr(xdr_Device_LockParms), p, xdr(xdr_Device_Error), e));
        } else if (proc == device_unlock || proc == destroy_link || proc == device_abort) {
            Device_Link l = lid;
            EXPECT_TRUE(call(c, proc, xdr(xdr_Device_Link), l, xdr(xdr_Device_Error), e));
        } else {
            Device_GenericParms p{lid, flags, lock_timeout, 1000};
            EXPECT_TRUE(call(c, proc, xdr(xdr_Device_GenericParms), p, xdr(xdr_Device_Error), e));
        }
        return e.error;
    }

    template <typename F>
    static xdrproc_t xdr(F f)
    {
        return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(f));
    }

    void settle();

    KeepingInstrument instrument;
    remote::Vxi11Server server;
};

void TestVxi11ServerSettle(remote::Vxi11Server& server);
void Vxi11Server::settle() { TestVxi11ServerSettle(server); }

TEST_F(Vxi11Server, LinksLocksTimeOutsAbortAndTheSeventeenthLink)
{
    clients([&] {
        CLIENT* a = connect_to(DEVICE_CORE, server.port());
        CLIENT* b = connect_to(DEVICE_CORE, server.port());
        CLIENT* abort_channel = connect_to(DEVICE_ASYNC, server.abort_port());
        ASSERT_TRUE(a && b && abort_channel);
        EXPECT_EQ(link(a, "gpib0,5").error, 3);
        const Create_LinkResp la = link(a);
        const Create_LinkResp lb = link(b, "INST0");
        ASSERT_EQ(la.error, 0);
        EXPECT_EQ(la.abortPort, server.abort_port());
        EXPECT_EQ(la.maxRecvSize, remote::Vxi11Server::max_receive);

        // A message in two writes, END on the second; each link its own.
        EXPECT_EQ(write(a, la.lid, "OUTP ON;MODE ZEP;SOUR:SETP 7;", 0), 0);
        EXPECT_EQ(write(a, la.lid, "SETP?"), 0);
        EXPECT_EQ(read(a, la.lid), std::make_pair(0L, std::string("7\n")));
        EXPECT_EQ(write(b, lb.lid, "BOGUS"), 0);
        EXPECT_EQ(write(b, lb.lid, "SYST:ERR?"), 0);
        EXPECT_EQ(read(b, lb.lid).second.substr(0, 5), "-113,");
        EXPECT_EQ(read(a, la.lid, 0).first, 15);   // nothing to read
        EXPECT_EQ(read(a, la.lid, 20).first, 15);
        EXPECT_EQ(write(a, 9999, "*IDN?"), 4);     // no such link

        // A's lock keeps B out, at once or after its lock time-out.
        EXPECT_EQ(simple(a, device_lock, la.lid), 0);
        EXPECT_EQ(write(b, lb.lid, "*IDN?"), 11);
        EXPECT_EQ(write(b, lb.lid, "*IDN?", 8 | 1, 20), 11);
        EXPECT_EQ(simple(b, device_trigger, lb.lid), 11);
        EXPECT_EQ(simple(b, device_unlock, lb.lid), 12);
        EXPECT_EQ(simple(a, device_unlock, la.lid), 0);
        EXPECT_EQ(simple(b, device_clear, lb.lid), 0);

        // A read held for its reply ends at the abort.
        std::atomic<bool> read_done = false;
        std::thread aborter([&] {
            while (!read_done) {
                EXPECT_EQ(simple(abort_channel, device_abort, lb.lid), 0);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
        EXPECT_EQ(read(b, lb.lid, 600000).first, 23);
        read_done = true;
        aborter.join();
        EXPECT_EQ(simple(abort_channel, device_abort, 4242), 4);

        // Sixteen links in all; the next is refused with the reason.
        std::vector<CLIENT*> more;
        for (int i = 2; i < remote::Vxi11Server::max_links; ++i) {
            more.push_back(connect_to(DEVICE_CORE, server.port()));
            EXPECT_EQ(link(more.back()).error, 0);
        }
        EXPECT_EQ(link(a).error, 9);
        EXPECT_EQ(simple(b, destroy_link, lb.lid), 0);
        EXPECT_EQ(simple(b, destroy_link, lb.lid), 4);
        EXPECT_EQ(link(a).error, 0);
        for (CLIENT* c : more)
            clnt_destroy(c);

        // Connections beyond the limit are closed as they come.
        std::vector<int> idle;
        for (int i = 0; i < remote::Vxi11Server::max_connections + 8; ++i) {
            idle.push_back(::socket(AF_INET, SOCK_STREAM, 0));
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(server.port());
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ASSERT_EQ(::connect(idle.back(), reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        }
        // The last ones are over the limit whatever else is still open; the
        // first forty are within it.
        char byte;
        for (std::size_t i = idle.size() - 8; i < idle.size(); ++i)
            EXPECT_EQ(::recv(idle[i], &byte, 1, 0), 0) << i;
        for (std::size_t i = 0; i < 40; ++i)
            EXPECT_EQ(::recv(idle[i], &byte, 1, MSG_DONTWAIT), -1) << i;
        for (int fd : idle)
            ::close(fd);
        clnt_destroy(a);
        clnt_destroy(b);
        clnt_destroy(abort_channel);
    });
    // Gone clients take their links with them.
    settle();
    EXPECT_EQ(server.link_count(), 0);
}

// A call as the RPC library writes it onto a connection: one record.
std::string record(const std::string& body, bool last = true)
{
    const uint32_t mark = htonl((last ? 0x80000000u : 0u) | static_cast<uint32_t>(body.size()));
    return std::string(reinterpret_cast<const char*>(&mark), 4) + body;
}

template <typename Arg>
std::string call_record(uint32_t xid, unsigned long program, unsigned long proc, xdrproc_t encode, Arg arg)
{
    std::vector<char> buffer(8192);
    XDR x;
    xdrmem_create(&x, buffer.data(), static_cast<u_int>(buffer.size()), XDR_ENCODE);
    rpc_msg m{};
    m.rm_xid = xid;
    m.rm_direction = CALL;
    m.rm_call.cb_rpcvers = 2;
    m.rm_call.cb_prog = program;
    m.rm_call.cb_vers = 1;
    m.rm_call.cb_proc = proc;
    m.rm_call.cb_cred = _null_auth;
    m.rm_call.cb_verf = _null_auth;
    EXPECT_TRUE(xdr_callmsg(&x, &m) && encode(&x, &arg));
    return record(std::string(buffer.data(), xdr_getpos(&x)));
}

std::string mutate(std::mt19937& rng, std::string s)
{
    const int edits = std::uniform_int_distribution<int>(0, 4)(rng);
    for (int e = 0; e < edits && !s.empty(); ++e) {
        const std::size_t at = rng() % s.size();
        switch (rng() % 5) {
        case 0: s[at] = static_cast<char>(rng()); break;                    // a byte
        case 1: s.resize(at); break;                                        // cut short
        case 2: s.insert(at, 4, static_cast<char>(0xFF)); break;            // a huge count
        case 3: s.insert(at, std::string(rng() % 64, static_cast<char>(rng()))); break;
        default: s[at & ~std::size_t{3}] ^= static_cast<char>(0x80); break; // a record mark's last bit
        }
    }
    return s;
}

void TestVxi11ServerSettle(remote::Vxi11Server& server)
{
    for (int i = 0; i < 10000 && server.link_count() > 0; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

TEST_F(Vxi11Server, RandomAndMutatedRecordsCloseTheirConnectionOnly)
{
    long iterations = 3000;
    if (const char* n = std::getenv("KORVEL_FUZZ_ITERATIONS"))
        iterations = std::strtol(n, nullptr, 10);
    const auto as = [](auto f) { return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(f)); };
    char inst0[] = "inst0";
    char idn[] = "*IDN?;SETP?";
    const std::string corpus[] = {
        call_record(1, DEVICE_CORE, create_link, as(xdr_Create_LinkParms), Create_LinkParms{7, 0, 0, inst0}),
        call_record(2, DEVICE_CORE, device_write, as(xdr_Device_WriteParms),
                    Device_WriteParms{1, 100, 0, 8, {11, idn}}),
        call_record(3, DEVICE_CORE, device_read, as(xdr_Device_ReadParms),
                    Device_ReadParms{1, 1000, 100000, 0, 128, '\n'}),
        call_record(4, DEVICE_CORE, device_readstb, as(xdr_Device_GenericParms), Device_GenericParms{1, 0, 0, 0}),
        call_record(5, DEVICE_CORE, device_lock, as(xdr_Device_LockParms), Device_LockParms{1, 1, 100000}),
        call_record(6, DEVICE_CORE, destroy_link, as(xdr_Device_Link), Device_Link{1}),
        call_record(7, DEVICE_CORE, 99, as(xdr_Device_Link), Device_Link{1}),
        record(std::string(64, 'x')),
        // Larger than any record a connection may send.
        record(std::string(remote::Vxi11Server::max_record + 16, '\0')),
    };
    std::mt19937 rng(20261207);
    clients([&] {
        for (long i = 0; i < iterations; ++i) {
            const int s = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(server.port());
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ASSERT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
            std::string bytes;
            const int records = 1 + static_cast<int>(rng() % 4);
            for (int r = 0; r < records; ++r) {
                if (rng() % 8 == 0) {
                    std::string noise(rng() % 200, '\0');
                    for (char& c : noise)
                        c = static_cast<char>(rng());
                    bytes += noise;
                } else {
                    bytes += mutate(rng, corpus[rng() % std::size(corpus)]);
                }
            }
            (void)!::send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            // Some wait for what comes back; the rest vanish at once, some
            // in the middle of a held read.
            if (rng() % 4 == 0) {
                char reply[512];
                timeval t{0, 20000};
                ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
                (void)!::recv(s, reply, sizeof reply, 0);
            }
            ::close(s);
        }
        // Still serving, and the board untouched.
        CLIENT* c = connect_to(DEVICE_CORE, server.port());
        ASSERT_TRUE(c);
        const Create_LinkResp l = link(c);
        ASSERT_EQ(l.error, 0);
        EXPECT_EQ(write(c, l.lid, "*IDN?"), 0);
        EXPECT_EQ(read(c, l.lid), std::make_pair(0L, std::string("korvel,fake,0,0\n")));
        clnt_destroy(c);
    });
    settle();
    EXPECT_EQ(server.link_count(), 0);
    EXPECT_EQ(instrument.changes, 0);
}

} // namespace
} // namespace korvel::remote
