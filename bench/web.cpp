// Web mode of korvel-bench: korvel-sim's window over the simulated board
// with the web page on a loopback port, as `korvel-sim --http` runs them.
// Three phases of S seconds: no page open, one page, sixteen pages. Each
// page is a WebSocket client in a thread of its own, over a real socket;
// for every reading it is sent, the time from the reading's acceptance (the
// history's listener) to its arrival at the page. Prints readings accepted
// per second against the converter's conversions, and the latency (median,
// 99th percentile).
#include "bench/bench_common.h"
#include "bench/window_bench.h"
#include "bench/window_bench.h"
#include "sim/clock.h"
#include "sim/converter.h"
#include "sim/sim_board.h"
#include "ui/run_panel.h"
#include "web/web_server.h"

#include <QApplication>
#include <QTimer>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace korvel::bench {

namespace {

using Clock = std::chrono::steady_clock;

// A page: the WebSocket handshake, then every frame the server sends; the
// arrival time of each reading message, by the reading's time stamp.
struct Page {
    std::vector<std::pair<std::int64_t, Clock::time_point>> arrivals;
    std::atomic<int> fd{-1};
    std::atomic<bool> open{false};
    int failures = 0;

    bool read_exactly(int s, char* out, std::size_t n)
    {
        while (n > 0) {
            const ssize_t got = ::recv(s, out, n, 0);
            if (got <= 0)
                return false;
            out += got;
            n -= static_cast<std::size_t>(got);
        }
        return true;
    }

    void run(quint16 port)
    {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        fd = s;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (s < 0 || ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ++failures;
            return;
        }
        const int one = 1;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        const std::string host = "127.0.0.1:" + std::to_string(port);
        const std::string hello = "GET /ws HTTP/1.1\r\nHost: " + host +
                                  "\r\nOrigin: http://" + host +
                                  "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                  "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                  "Sec-WebSocket-Version: 13\r\n\r\n";
        if (::send(s, hello.data(), hello.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(hello.size())) {
            ++failures;
            return;
        }
        std::string head;
        char c = 0;
        while (head.find("\r\n\r\n") == std::string::npos && read_exactly(s, &c, 1))
            head += c;
        if (head.rfind("HTTP/1.1 101", 0) != 0) {
            ++failures;
            return;
        }
        open = true;
        std::string payload;
        for (;;) {
            unsigned char h[2];
            if (!read_exactly(s, reinterpret_cast<char*>(h), 2))
                return;
            std::uint64_t length = h[1] & 0x7F;
            if (length >= 126) {
                unsigned char ext[8];
                const std::size_t n = length == 126 ? 2 : 8;
                if (!read_exactly(s, reinterpret_cast<char*>(ext), n))
                    return;
                length = 0;
                for (std::size_t i = 0; i < n; ++i)
                    length = length << 8 | ext[i];
            }
            payload.resize(length);
            if (length > 0 && !read_exactly(s, payload.data(), length))
                return;
            const auto now = Clock::now();
            const std::string key = "{\"type\":\"reading\",\"t\":";
            if (payload.rfind(key, 0) == 0)
                arrivals.emplace_back(std::stoll(payload.substr(key.size())), now);
        }
    }
};

} // namespace

int run_web(int argc, char** argv, double seconds, int set_point)
{
    WindowBench bench(argc, argv);
    web::start_crypto();
    sim::SimBoard& board = bench.board();
    WindowSession session(board);
    Panel& panel = session.panel();
    session.window().show();

    // When each reading was accepted: heard before the page's server hears it.
    std::mutex mutex;
    std::map<std::int64_t, Clock::time_point> accepted;
    int readings = 0;
    session.history().on_add([&](const history::Sample& s) {
        std::lock_guard lock(mutex);
        accepted[s.time_ms] = Clock::now();
        ++readings;
    });
    auto* server = new web::WebServer(&session.window());
    std::string error;
    if (!server->listen(QHostAddress(QHostAddress::LocalHost), 0, &error)) {
        std::fprintf(stderr, "korvel-bench: cannot serve the web page on a loopback port (%s)\n", error.c_str());
        return 1;
    }
    server->attach({&panel, &session.history(), {}, {}, web::Identity{}, {}, {}, {}, {}});

    struct Phase {
        int pages = 0;
        int readings = 0;
        double conversions = 0;
        double seconds = 0;
        std::vector<int> latency_us;
        int failures = 0;
        int pages_open = 0;
    };
    std::vector<Phase> phases(3);
    phases[1].pages = 1;
    phases[2].pages = 16;
    std::size_t current = 0;
    std::vector<std::unique_ptr<Page>> pages;
    std::vector<std::thread> threads;
    int r0 = 0;
    double c0 = 0;
    Clock::time_point t0;
    const auto close_pages = [&](Phase& p) {
        for (auto& page : pages)
            if (page->fd >= 0)
                ::shutdown(page->fd, SHUT_RDWR);
        for (auto& t : threads)
            t.join();
        std::lock_guard lock(mutex);
        for (auto& page : pages) {
            p.failures += page->failures;
            p.pages_open += page->open ? 1 : 0;
            for (const auto& [t, arrived] : page->arrivals)
                if (const auto it = accepted.find(t); it != accepted.end())
                    p.latency_us.push_back(static_cast<int>(
                        std::chrono::duration_cast<std::chrono::microseconds>(arrived - it->second).count()));
        }
        for (auto& page : pages)
            if (page->fd >= 0)
                ::close(page->fd);
        pages.clear();
        threads.clear();
    };
    const int ms = static_cast<int>(seconds * 1000);
    std::function<void()> next_phase = [&] {
        if (current > 0) {
            Phase& p = phases[current - 1];
            p.readings = readings - r0;
            p.conversions = conversions(board) - c0;
            p.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
            close_pages(p);
        }
        if (current == phases.size()) {
            panel.close();
            return;
        }
        Phase& p = phases[current++];
        for (int i = 0; i < p.pages; ++i) {
            pages.push_back(std::make_unique<Page>());
            Page* page = pages.back().get();
            threads.emplace_back([page, port = server->port()] { page->run(port); });
        }
        // The pages connect, then the phase is measured.
        QTimer::singleShot(p.pages ? 500 : 0, &session.window(), [&] {
            r0 = readings;
            c0 = conversions(board);
            t0 = Clock::now();
            QTimer::singleShot(ms, Qt::PreciseTimer, &session.window(), next_phase);
        });
    };
    QTimer::singleShot(0, &session.window(), [&] {
        switch_on(panel, set_point);
        QTimer::singleShot(1000, &session.window(), next_phase);
    });
    const int status = session.exec();
    if (!threads.empty()) {
        Phase ended;
        close_pages(ended);
    }
    if (phases.back().seconds == 0) {
        std::fprintf(stderr, "korvel-bench: the panel ended before the measured run was over\n");
        return 1;
    }
    const auto rate = [](const Phase& p, double n) { return p.seconds > 0 ? n / p.seconds : 0.0; };
    std::printf("Web page on korvel-sim's window (platform %s): set-point %d, %.1f s per phase\n",
                qPrintable(QApplication::platformName()), set_point, seconds);
    for (const Phase& p : phases) {
        std::printf("  %2d page%s open  readings %6.2f /s, conversions %6.2f /s (%.0f %%)", p.pages,
                    p.pages == 1 ? " " : "s", rate(p, p.readings), rate(p, p.conversions),
                    p.conversions > 0 ? 100.0 * p.readings / p.conversions : 0.0);
        if (p.pages > 0)
            std::printf(", pages connected %d, reading to page median %.0f us, 99th percentile %.0f us "
                        "(%zu arrivals)",
                        p.pages_open, quantile(p.latency_us, 0.5), quantile(p.latency_us, 0.99),
                        p.latency_us.size());
        std::printf("\n");
    }
    return status;
}

} // namespace korvel::bench
