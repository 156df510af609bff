#include "discovery/qt_avahi_poll.h"

#include <QSocketNotifier>
#include <QTimer>

#include <sys/time.h>

#include <algorithm>
#include <climits>
#include <memory>

// Avahi leaves these two to the event loop that implements AvahiPoll.
struct AvahiWatch {
    int fd = -1;
    AvahiWatchCallback callback = nullptr;
    void* userdata = nullptr;
    AvahiWatchEvent happened = AvahiWatchEvent(0);
    std::unique_ptr<QSocketNotifier> read;
    std::unique_ptr<QSocketNotifier> write;
};

struct AvahiTimeout {
    AvahiTimeoutCallback callback = nullptr;
    void* userdata = nullptr;
    std::unique_ptr<QTimer> timer;
};

namespace korvel::discovery {

namespace {

// A notifier may go in the middle of its own signal: deleted later.
template <typename T>
void retire(std::unique_ptr<T>& object)
{
    if (!object)
        return;
    if constexpr (std::is_same_v<T, QSocketNotifier>)
        object->setEnabled(false);
    else
        object->stop();
    object.release()->deleteLater();
}

void watch_update(AvahiWatch* w, AvahiWatchEvent event)
{
    const auto make = [w](QSocketNotifier::Type type, AvahiWatchEvent what) {
        auto n = std::make_unique<QSocketNotifier>(w->fd, type);
        QObject::connect(n.get(), &QSocketNotifier::activated, n.get(), [w, what] {
            w->happened = what;
            // The callback may free the watch: nothing of it is used after.
            w->callback(w, w->fd, what, w->userdata);
        });
        return n;
    };
    retire(w->read);
    retire(w->write);
    if (event & AVAHI_WATCH_IN)
        w->read = make(QSocketNotifier::Read, AVAHI_WATCH_IN);
    if (event & AVAHI_WATCH_OUT)
        w->write = make(QSocketNotifier::Write, AVAHI_WATCH_OUT);
}

AvahiWatch* watch_new(const AvahiPoll*, int fd, AvahiWatchEvent event, AvahiWatchCallback callback,
                      void* userdata)
{
    auto* w = new AvahiWatch;
    w->fd = fd;
    w->callback = callback;
    w->userdata = userdata;
    watch_update(w, event);
    return w;
}

AvahiWatchEvent watch_get_events(AvahiWatch* w) { return w->happened; }

void watch_free(AvahiWatch* w)
{
    retire(w->read);
    retire(w->write);
    delete w;
}

void timeout_update(AvahiTimeout* t, const timeval* tv)
{
    t->timer->stop();
    if (!tv)
        return;
    timeval now{};
    gettimeofday(&now, nullptr);
    const long long ms = (static_cast<long long>(tv->tv_sec) - now.tv_sec) * 1000 +
                         (static_cast<long long>(tv->tv_usec) - now.tv_usec) / 1000;
    t->timer->start(static_cast<int>(std::clamp<long long>(ms, 0, INT_MAX)));
}

AvahiTimeout* timeout_new(const AvahiPoll*, const timeval* tv, AvahiTimeoutCallback callback, void* userdata)
{
    auto* t = new AvahiTimeout;
    t->callback = callback;
    t->userdata = userdata;
    t->timer = std::make_unique<QTimer>();
    t->timer->setSingleShot(true);
    QObject::connect(t->timer.get(), &QTimer::timeout, t->timer.get(),
                     [t] { t->callback(t, t->userdata); });
    timeout_update(t, tv);
    return t;
}

void timeout_free(AvahiTimeout* t)
{
    retire(t->timer);
    delete t;
}

} // namespace

const AvahiPoll* qt_avahi_poll()
{
    static const AvahiPoll poll{nullptr,     watch_new,   watch_update, watch_get_events,
                                watch_free,  timeout_new, timeout_update, timeout_free};
    return &poll;
}

} // namespace korvel::discovery
