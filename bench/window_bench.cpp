#include "bench/window_bench.h"

#include "ui/run_panel.h"

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <string>

namespace korvel::bench {

WindowBench::Platform::Platform()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

WindowBench::Style::Style() { korvel::use_panel_style(); }

WindowBench::WindowBench(int& argc, char** argv) : app_(argc, argv)
{
    board_.use_setpoint_input();
}

bool listen_on_loopback(remote::Server& server)
{
    std::string error;
    if (server.listen(QHostAddress(QHostAddress::LocalHost), 0, &error))
        return true;
    std::fprintf(stderr, "korvel-bench: cannot listen on a loopback port (%s)\n", error.c_str());
    return false;
}

int connect_to_loopback(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

} // namespace korvel::bench
