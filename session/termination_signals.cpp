#include "session/termination_signals.h"

#include "port/text.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace korvel {

namespace {

std::atomic<int> g_write_fd{-1};
struct sigaction g_previous[std::size(TerminationSignals::handled)];

extern "C" void on_termination_signal(int sig)
{
    const int saved_errno = errno;
    const int fd = g_write_fd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(sig);
        // Non-blocking: a full pipe already holds enough requests to exit.
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
    errno = saved_errno;
}

} // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent)
{
    if (g_write_fd.load() >= 0)
        throw std::logic_error("termination signals are already being handled");
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        write_diagnostic_line(std::string("korvel: cannot create the pipe for termination signals (") +
                              std::strerror(errno) +
                              "); end the panel with Exit (its button, or SYSTem:EXIT "
                              "remotely) so the board is left safe");
        return;
    }
    read_fd_ = fds[0];
    write_fd_ = fds[1];
    g_write_fd.store(write_fd_);

    notifier_ = new QSocketNotifier(read_fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { drain(); });

    struct sigaction sa {};
    sa.sa_handler = on_termination_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(handled); ++i)
        ::sigaction(handled[i], &sa, &g_previous[i]);
}

TerminationSignals::~TerminationSignals()
{
    if (read_fd_ < 0)
        return;
    for (std::size_t i = 0; i < std::size(handled); ++i)
        ::sigaction(handled[i], &g_previous[i], nullptr);
    g_write_fd.store(-1);
    delete notifier_;
    ::close(read_fd_);
    ::close(write_fd_);
}

void TerminationSignals::drain()
{
    unsigned char bytes[16];
    for (;;) {
        const ssize_t n = ::read(read_fd_, bytes, sizeof bytes);
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i)
            if (on_signal)
                on_signal(bytes[i]);
    }
}

} // namespace korvel
