// Remote mode of korvel-bench: korvel-sim's window over the simulated board
// with the remote interface on a loopback port, as `korvel-sim --listen`
// runs them. Prints, for S seconds idle and then S seconds while a client
// sends 1000 FETCh? queries per second (from a thread of its own, over a
// real socket): the readings accepted per second against the converter's
// conversions, and the round-trip time of the queries (median, 99th
// percentile).
#include "app/panel_instrument.h"
#include "bench/bench_common.h"
#include "bench/window_bench.h"
#include "remote/server.h"
#include "sim/clock.h"
#include "sim/sim_board.h"
#include "sim/converter.h"
#include "ui/run_panel.h"

#include <QApplication>
#include <QTimer>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace korvel::bench {

namespace {

using Clock = std::chrono::steady_clock;

// The query client: FETCh? every millisecond (on a fixed schedule, not
// after each reply), each reply's round trip in microseconds.
struct QueryClient {
    std::vector<int> round_trips_us;
    int failures = 0;
    std::atomic<bool> stop{false};
    std::atomic<bool> finished{false};
    std::atomic<int> fd{-1};

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
        auto next = Clock::now();
        std::string reply;
        while (!stop) {
            std::this_thread::sleep_until(next);
            next += std::chrono::milliseconds(1);
            const auto sent = Clock::now();
            if (::send(fd, "FETC?\n", 6, MSG_NOSIGNAL) != 6) {
                ++failures;
                break;
            }
            reply.clear();
            char buf[256];
            while (reply.find('\n') == std::string::npos) {
                const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0) {
                    ++failures;
                    stop = true;
                    break;
                }
                reply.append(buf, static_cast<std::size_t>(n));
            }
            round_trips_us.push_back(static_cast<int>(
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent).count()));
        }
        ::close(fd.exchange(-1));
    }
};

} // namespace

int run_remote(int argc, char** argv, double seconds, int set_point)
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

    int readings = 0;
    instrument.subscribe([&](const remote::Reading&) { ++readings; });

    struct Phase {
        int readings = 0;
        double discarded = 0; // digit samples the reader discarded
        double conversions = 0;
        double seconds = 0;
    } idle, loaded;
    QueryClient client;
    std::thread client_thread;
    int r0 = 0;
    double c0 = 0;
    std::uint64_t d0 = 0;
    Clock::time_point t0;
    const auto begin = [&] {
        r0 = readings;
        d0 = panel.reader().discarded_samples();
        c0 = conversions(board);
        t0 = Clock::now();
    };
    const auto end = [&](Phase& p) {
        p.readings = readings - r0;
        p.discarded = static_cast<double>(panel.reader().discarded_samples() - d0);
        p.conversions = conversions(board) - c0;
        p.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    };
    const int ms = static_cast<int>(seconds * 1000);
    QTimer::singleShot(0, &session.window(), [&] {
        switch_on(panel, set_point);
        // One second to settle, then idle, then loaded.
        QTimer::singleShot(1000, &session.window(), [&] {
            begin();
            QTimer::singleShot(ms, Qt::PreciseTimer, &session.window(), [&] {
                end(idle);
                client_thread = std::thread([&] { client.run(server.port()); });
                begin();
                QTimer::singleShot(ms, Qt::PreciseTimer, &session.window(), [&] {
                    end(loaded);
                    client.stop = true;
                    // The client's last query is answered by this loop:
                    // the Exit sequence once the client is done.
                    auto* wait = new QTimer(&session.window());
                    QObject::connect(wait, &QTimer::timeout, &session.window(), [&, wait] {
                        if (!client.finished)
                            return;
                        wait->stop();
                        panel.close();
                    });
                    wait->start(10);
                });
            });
        });
    });
    const int status = session.exec();
    client.stop = true;
    if (client_thread.joinable()) {
        // Ended early (a signal): the client may wait for a reply that no
        // longer comes; closing the server's sockets ends that wait.
        if (!client.finished && client.fd >= 0)
            ::shutdown(client.fd, SHUT_RDWR);
        client_thread.join();
    }
    if (loaded.seconds == 0) {
        std::fprintf(stderr, "korvel-bench: the panel ended before the measured run was over\n");
        return 1;
    }
    const auto rate = [](const Phase& p, double n) { return p.seconds > 0 ? n / p.seconds : 0.0; };
    std::printf("Remote interface on korvel-sim's window (platform %s): set-point %d, %.1f s per "
                "phase\n",
                qPrintable(QApplication::platformName()), set_point, seconds);
    std::printf("  idle                 readings %6.2f /s, conversions %6.2f /s, "
                "discarded samples %6.2f /s\n",
                rate(idle, idle.readings), rate(idle, idle.conversions),
                rate(idle, idle.discarded));
    std::printf("  1000 FETCh?/s        readings %6.2f /s, conversions %6.2f /s, "
                "discarded samples %6.2f /s\n",
                rate(loaded, loaded.readings), rate(loaded, loaded.conversions),
                rate(loaded, loaded.discarded));
    std::printf("  queries answered     %zu (%.0f /s), client failures %d\n",
                client.round_trips_us.size(),
                rate(loaded, static_cast<double>(client.round_trips_us.size())), client.failures);
    std::printf("  FETCh? round trip    median %.0f us, 99th percentile %.0f us\n",
                quantile(client.round_trips_us, 0.5), quantile(client.round_trips_us, 0.99));
    return status;
}

} // namespace korvel::bench
