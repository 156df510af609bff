// SIGINT, SIGTERM and SIGHUP delivered into the event loop. The signal
// handler itself only writes the signal's number as one byte into a pipe; a
// socket notifier reads it on the event loop's thread and runs the
// callback there, between handlers, like any other event.
#pragma once

#include <QObject>

#include <csignal>
#include <functional>

class QSocketNotifier;

namespace korvel {

class TerminationSignals : public QObject {
public:
    // Installs the handlers; they stay until this object is destroyed, which
    // puts the previous handlers back. Only one may exist at a time.
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // Runs once per signal received, on the event loop's thread. Signals
    // that came before it was set are delivered when the event loop runs.
    std::function<void(int signal)> on_signal;

    // The signals handled.
    static constexpr int handled[] = {SIGINT, SIGTERM, SIGHUP};

private:
    void drain();

    int read_fd_ = -1;
    int write_fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace korvel
