// Metrics mode of korvel-bench: korvel-sim's window over the simulated
// board with the web page on a loopback port, as `korvel-sim --http` runs
// them. S seconds without a scrape, then S seconds scraped once a second
// by a client in a thread of its own over a real socket, as Prometheus
// does. Prints readings accepted per second against the converter's
// conversions in each phase, and the scrape's round trip (median, 99th
// percentile, longest); then the page's making alone, 1000 times in a row
// on the panel's thread, in CPU time.
#include "bench/bench_common.h"
#include "bench/window_bench.h"
#include "sim/sim_board.h"
#include "ui/run_panel.h"
#include "web/metrics.h"
#include "web/web_server.h"

#include <QApplication>
#include <QTimer>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <ctime>
#include <unistd.h>

namespace korvel::bench {

namespace {

using Clock = std::chrono::steady_clock;

// One GET /metrics; the microseconds from connecting to the answer's end,
// or -1 when it failed.
int scrape(quint16 port)
{
    const auto t0 = Clock::now();
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s < 0 || ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (s >= 0)
            ::close(s);
        return -1;
    }
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/plain\r\n\r\n";
    std::string answer;
    if (::send(s, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buf[8192];
        for (ssize_t got; (got = ::recv(s, buf, sizeof buf, 0)) > 0;)
            answer.append(buf, static_cast<std::size_t>(got));
    }
    ::close(s);
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count();
    const bool good = answer.rfind("HTTP/1.1 200", 0) == 0 && answer.find("korvel_conversions_total") != std::string::npos;
    return good ? static_cast<int>(us) : -1;
}

} // namespace

int run_metrics(int argc, char** argv, double seconds, int set_point)
{
    WindowBench bench(argc, argv);
    web::start_crypto();
    sim::SimBoard& board = bench.board();
    WindowSession session(board);
    Panel& panel = session.panel();
    session.window().show();
    int readings = 0;
    session.history().on_add([&](const history::Sample&) { ++readings; });
    auto* server = new web::WebServer(&session.window());
    std::string error;
    if (!server->listen(QHostAddress(QHostAddress::LocalHost), 0, &error)) {
        std::fprintf(stderr, "korvel-bench: cannot serve the web page on a loopback port (%s)\n", error.c_str());
        return 1;
    }
    web::Identity identity;
    identity.model = "korvel-sim";
    server->attach({&panel, &session.history(), {}, {}, identity, {}, {}, {}, {}});

    struct Phase {
        bool scraped = false;
        int readings = 0;
        double conversions = 0;
        double seconds = 0;
    } phases[2];
    phases[1].scraped = true;
    std::vector<int> round_trips;
    int failures = 0;
    std::atomic<bool> scraping{false};
    std::thread scraper;
    int current = 0, r0 = 0;
    double c0 = 0;
    Clock::time_point t0;
    std::vector<int> making_us;
    const int ms = static_cast<int>(seconds * 1000);
    std::function<void()> next_phase = [&] {
        if (current > 0) {
            Phase& p = phases[current - 1];
            p.readings = readings - r0;
            p.conversions = conversions(board) - c0;
            p.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
            scraping = false;
            if (scraper.joinable())
                scraper.join();
        }
        if (current == 2) {
            // The page's making alone, as the server does it per scrape, in
            // CPU time of this thread: a loop this long is preempted on a
            // busy machine, which would only measure the other processes.
            const auto cpu_us = [] {
                timespec t{};
                ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
                return static_cast<std::int64_t>(t.tv_sec) * 1'000'000 + t.tv_nsec / 1000;
            };
            for (int i = 0; i < 1000; ++i) {
                const std::int64_t m0 = cpu_us();
                const std::string page =
                    web::metrics_page(panel, session.history(), identity, {}, server->page_count());
                making_us.push_back(static_cast<int>(cpu_us() - m0));
                if (page.empty())
                    ++failures;
            }
            panel.close();
            return;
        }
        Phase& p = phases[current++];
        r0 = readings;
        c0 = conversions(board);
        t0 = Clock::now();
        if (p.scraped) {
            scraping = true;
            scraper = std::thread([&, port = server->port()] {
                // Once a second on a fixed schedule.
                auto next = Clock::now();
                while (scraping) {
                    const int us = scrape(port);
                    if (us < 0)
                        ++failures;
                    else
                        round_trips.push_back(us);
                    next += std::chrono::seconds(1);
                    while (scraping && Clock::now() < next)
                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
            });
        }
        QTimer::singleShot(ms, Qt::PreciseTimer, &session.window(), next_phase);
    };
    QTimer::singleShot(0, &session.window(), [&] {
        switch_on(panel, set_point);
        QTimer::singleShot(1000, &session.window(), next_phase);
    });
    const int status = session.exec();
    scraping = false;
    if (scraper.joinable())
        scraper.join();
    if (phases[1].seconds == 0) {
        std::fprintf(stderr, "korvel-bench: the panel ended before the measured run was over\n");
        return 1;
    }
    std::printf("Metrics on korvel-sim's window (platform %s): set-point %d, %.1f s per phase\n",
                qPrintable(QApplication::platformName()), set_point, seconds);
    for (const Phase& p : phases)
        std::printf("  %-20s readings %6.3f /s, conversions %6.3f /s (%.0f %%)\n",
                    p.scraped ? "one scrape a second" : "no scrape", p.readings / p.seconds,
                    p.conversions / p.seconds, p.conversions > 0 ? 100.0 * p.readings / p.conversions : 0.0);
    std::printf("  scrape round trip    median %.0f us, 99th percentile %.0f us, longest %.0f us (%zu scrapes, "
                "%d failed)\n",
                quantile(round_trips, 0.5), quantile(round_trips, 0.99), quantile(round_trips, 1.0),
                round_trips.size(), failures);
    std::printf("  page made alone      median %.0f us, 99th percentile %.0f us CPU (1000 times)\n",
                quantile(making_us, 0.5), quantile(making_us, 0.99));
    return failures ? 1 : status;
}

} // namespace korvel::bench
