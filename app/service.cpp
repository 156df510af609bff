#include "app/service.h"

#include <QTimer>

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdint>

namespace korvel::app {

void notify_ready(const std::string& status)
{
    sd_notifyf(0, "READY=1\nSTATUS=%s", status.c_str());
}

void notify_stopping() { sd_notify(0, "STOPPING=1"); }

void start_heartbeat(PanelSession& session)
{
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0)
        return;
    auto* heartbeat = new QTimer(&session.attachments());
    heartbeat->setInterval(static_cast<int>(std::clamp<std::uint64_t>(usec / 2000, 1, 3'600'000)));
    QObject::connect(heartbeat, &QTimer::timeout, [] { sd_notify(0, "WATCHDOG=1"); });
    heartbeat->start();
    sd_notify(0, "WATCHDOG=1");
}

} // namespace korvel::app
