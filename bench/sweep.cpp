// Sweep mode of korvel-bench: korvel-sim's window over the simulated board
// with the remote interface on a loopback port, and a client (a thread of
// its own, over a real socket) that sweeps for S seconds: each point a
// set-point jump across the range, then READ?. Prints the time of one point
// (from sending the set-point to READ?'s reply; median and 95th percentile)
// beside the converter's conversion period measured in the same run, and
// how many readings were not of the new set-point.
#include "app/panel_instrument.h"
#include "bench/bench_common.h"
#include "bench/window_bench.h"
#include "remote/server.h"
#include "sim/clock.h"
#include "sim/converter.h"
#include "sim/sim_board.h"
#include "ui/run_panel.h"

#include <QApplication>
#include <QTimer>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace korvel::bench {

namespace {

using Clock = std::chrono::steady_clock;

struct SweepClient {
    double seconds = 0;
    std::vector<int> point_us;
    int stale = 0;
    int no_reading = 0;
    int failures = 0;
    std::string first_stale;
    std::atomic<bool> stop{false};
    std::atomic<bool> finished{false};
    std::atomic<int> fd{-1};

    bool send_line(const std::string& line)
    {
        const std::string s = line + "\n";
        return ::send(fd, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size());
    }

    std::optional<std::string> reply(std::string& pending)
    {
        char buf[256];
        while (pending.find('\n') == std::string::npos) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                return std::nullopt;
            pending.append(buf, static_cast<std::size_t>(n));
        }
        const std::size_t end = pending.find('\n');
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        return line;
    }

    void run(quint16 port)
    {
        struct Finish {
            std::atomic<bool>& f;
            ~Finish() { f = true; }
        } finish{finished};
        fd = connect_to_loopback(port);
        if (fd < 0) {
            ++failures;
            return;
        }
        std::string pending;
        // The same jumps every run: a fixed generator over -19999..19999.
        std::uint32_t x = 2026;
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (!stop && Clock::now() < end) {
            x = x * 1664525u + 1013904223u;
            const int setpoint = static_cast<int>(x >> 8) % 39999 - 19999;
            const auto sent = Clock::now();
            if (!send_line("SOUR:SETP " + std::to_string(setpoint)) || !send_line("READ?")) {
                ++failures;
                break;
            }
            const auto r = reply(pending);
            if (!r) {
                ++failures;
                break;
            }
            point_us.push_back(static_cast<int>(
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent).count()));
            if (*r == "9.91E+37") {
                ++no_reading;
                continue;
            }
            const int got = std::atoi(r->c_str() + (r->front() == '+' ? 1 : 0));
            if (std::abs(got - setpoint) > 1) {
                if (stale++ == 0)
                    first_stale = std::to_string(setpoint) + " read " + *r;
            }
        }
        ::close(fd.exchange(-1));
    }
};

} // namespace

int run_sweep(int argc, char** argv, double seconds)
{
    WindowBench bench(argc, argv);
    sim::SimBoard& board = bench.board();
    WindowSession session(board);
    Panel& panel = session.panel();
    session.window().show();

    PanelInstrument instrument(panel, "korvel-bench");
    remote::Server server;
    if (!listen_on_loopback(server))
        return 1;
    server.attach(instrument);

    SweepClient client;
    client.seconds = seconds;
    std::thread client_thread;
    std::int64_t clocks0 = 0;
    Clock::time_point t0;
    double run_s = 0;
    std::int64_t run_clocks = 0;
    QTimer::singleShot(0, &session.window(), [&] {
        switch_on(panel, 0);
        // One second to settle, then the sweep; the Exit sequence once the
        // client is done.
        QTimer::singleShot(1000, &session.window(), [&] {
            clocks0 = board.converter().clocks();
            t0 = Clock::now();
            client_thread = std::thread([&] { client.run(server.port()); });
            auto* wait = new QTimer(&session.window());
            QObject::connect(wait, &QTimer::timeout, &session.window(), [&, wait] {
                if (!client.finished)
                    return;
                wait->stop();
                run_s = std::chrono::duration<double>(Clock::now() - t0).count();
                run_clocks = board.converter().clocks() - clocks0;
                panel.close();
            });
            wait->start(10);
        });
    });
    const int status = session.exec();
    client.stop = true;
    if (client_thread.joinable()) {
        if (!client.finished && client.fd >= 0)
            ::shutdown(client.fd, SHUT_RDWR);
        client_thread.join();
    }
    if (client.point_us.empty() || run_clocks == 0) {
        std::fprintf(stderr, "korvel-bench: the panel ended before the sweep was over\n");
        return 1;
    }
    const double period_ms =
        run_s * 1000 / (static_cast<double>(run_clocks) / sim::DualSlopeConverter::cycle_clocks);
    const double median_ms = quantile(client.point_us, 0.5) / 1000;
    const double p95_ms = quantile(client.point_us, 0.95) / 1000;
    std::printf("Sweep on korvel-sim's window (platform %s): %.1f s, SOUR:SETP then READ? per "
                "point\n",
                qPrintable(QApplication::platformName()), seconds);
    std::printf("  conversion period    %.1f ms (measured in this run)\n", period_ms);
    std::printf("  points               %zu, stale %d, without a reading %d, client failures %d\n",
                client.point_us.size(), client.stale, client.no_reading, client.failures);
    std::printf("  time per point       median %.0f ms (%.2f periods), 95th percentile %.0f ms "
                "(%.2f periods)\n",
                median_ms, median_ms / period_ms, p95_ms, p95_ms / period_ms);
    if (client.stale > 0)
        std::printf("  first stale          %s\n", client.first_stale.c_str());
    return status;
}

} // namespace korvel::bench
