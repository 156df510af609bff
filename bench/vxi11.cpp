// VXI-11 mode of korvel-bench: the real korvel-sim without a window, with
// --listen and --vxi11 on loopback; for S seconds each, one client asks
// *IDN? as fast as the answers come, first over the raw socket, then over
// VXI-11 (device_write, device_read through libtirpc). Prints the round
// trips per second and their median.
#include "vxi11_rpc.h"

#include <rpc/rpc.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace korvel::bench {

namespace {

using Clock = std::chrono::steady_clock;

template <typename F>
xdrproc_t as_xdr(F f)
{
    return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(f));
}

struct Figures {
    std::vector<int> round_trips_us;
    int failures = 0;
};

Figures raw_socket(int port, double seconds)
{
    Figures f;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ++f.failures;
        ::close(fd);
        return f;
    }
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    std::string reply;
    while (Clock::now() < end) {
        const auto sent = Clock::now();
        if (::send(fd, "*IDN?\n", 6, MSG_NOSIGNAL) != 6) {
            ++f.failures;
            break;
        }
        reply.clear();
        char buf[256];
        while (reply.find('\n') == std::string::npos) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            reply.append(buf, static_cast<std::size_t>(n));
        }
        if (reply.rfind("korvel,", 0) != 0) {
            ++f.failures;
            break;
        }
        f.round_trips_us.push_back(static_cast<int>(
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent).count()));
    }
    ::close(fd);
    return f;
}

Figures vxi11(int port, double seconds)
{
    Figures f;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int sock = RPC_ANYSOCK;
    CLIENT* c = clnttcp_create(&a, DEVICE_CORE, DEVICE_CORE_VERSION, &sock, 0, 0);
    if (!c) {
        ++f.failures;
        return f;
    }
    const timeval wait{10, 0};
    char device[] = "inst0";
    Create_LinkParms lp{1, 0, 0, device};
    Create_LinkResp link{};
    if (clnt_call(c, create_link, as_xdr(xdr_Create_LinkParms), reinterpret_cast<caddr_t>(&lp),
                  as_xdr(xdr_Create_LinkResp), reinterpret_cast<caddr_t>(&link), wait) != RPC_SUCCESS ||
        link.error != 0) {
        ++f.failures;
        clnt_destroy(c);
        return f;
    }
    char idn[] = "*IDN?\n";
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        const auto sent = Clock::now();
        Device_WriteParms w{link.lid, 10000, 0, 8, {6, idn}};
        Device_WriteResp wr{};
        Device_ReadParms r{link.lid, 1024, 10000, 0, 0, '\n'};
        Device_ReadResp rr{};
        const bool ok =
            clnt_call(c, device_write, as_xdr(xdr_Device_WriteParms), reinterpret_cast<caddr_t>(&w),
                      as_xdr(xdr_Device_WriteResp), reinterpret_cast<caddr_t>(&wr), wait) == RPC_SUCCESS &&
            wr.error == 0 &&
            clnt_call(c, device_read, as_xdr(xdr_Device_ReadParms), reinterpret_cast<caddr_t>(&r),
                      as_xdr(xdr_Device_ReadResp), reinterpret_cast<caddr_t>(&rr), wait) == RPC_SUCCESS &&
            rr.error == 0 && rr.data.data_len > 7 && std::strncmp(rr.data.data_val, "korvel,", 7) == 0;
        clnt_freeres(c, as_xdr(xdr_Device_ReadResp), reinterpret_cast<caddr_t>(&rr));
        if (!ok) {
            ++f.failures;
            break;
        }
        f.round_trips_us.push_back(static_cast<int>(
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent).count()));
    }
    Device_Link lid = link.lid;
    Device_Error e{};
    clnt_call(c, destroy_link, as_xdr(xdr_Device_Link), reinterpret_cast<caddr_t>(&lid),
              as_xdr(xdr_Device_Error), reinterpret_cast<caddr_t>(&e), wait);
    clnt_destroy(c);
    return f;
}

void print(const char* what, Figures f, double seconds)
{
    std::sort(f.round_trips_us.begin(), f.round_trips_us.end());
    const int median = f.round_trips_us.empty() ? 0 : f.round_trips_us[f.round_trips_us.size() / 2];
    std::printf("  %-10s *IDN? round trips %8.0f /s, median %d us, failures %d\n", what,
                static_cast<double>(f.round_trips_us.size()) / seconds, median, f.failures);
}

} // namespace

int run_vxi11(double seconds, const char* program)
{
    int out[2];
    if (::pipe(out) != 0)
        return 1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        ::execl(program, program, "--no-window", "--no-mdns", "--listen", "127.0.0.1:0", "--vxi11",
                "127.0.0.1", static_cast<char*>(nullptr));
        std::perror("korvel-bench: korvel-sim");
        ::_exit(127);
    }
    ::close(out[1]);
    FILE* lines = ::fdopen(out[0], "r");
    int socket_port = 0, vxi11_port = 0;
    char line[512];
    while ((socket_port == 0 || vxi11_port == 0) && std::fgets(line, sizeof line, lines)) {
        std::sscanf(line, "korvel: listening on 127.0.0.1:%d", &socket_port);
        std::sscanf(line, "korvel: VXI-11 on 127.0.0.1:%d", &vxi11_port);
    }
    if (socket_port == 0 || vxi11_port == 0) {
        std::fprintf(stderr, "korvel-bench: %s did not start; build korvel-sim, or give its path in "
                             "KORVEL_SIM\n", program);
        ::kill(child, SIGTERM);
        ::waitpid(child, nullptr, 0);
        return 1;
    }
    std::printf("VXI-11 beside the raw socket on korvel-sim --no-window (loopback), %.1f s each:\n", seconds);
    const Figures raw = raw_socket(socket_port, seconds);
    print("raw socket", raw, seconds);
    const Figures rpc = vxi11(vxi11_port, seconds);
    print("VXI-11", rpc, seconds);
    ::kill(child, SIGTERM);
    int status = 0;
    ::waitpid(child, &status, 0);
    std::fclose(lines);
    const bool ended = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!ended)
        std::fprintf(stderr, "korvel-bench: korvel-sim did not end by its Exit sequence\n");
    return ended && raw.failures == 0 && rpc.failures == 0 ? 0 : 1;
}

} // namespace korvel::bench
