// korvel under a service manager (systemd, Type=notify): readiness once the
// panel drives its port and the remote interface listens, and a heartbeat
// from the event loop for WatchdogSec=, so that a hung panel is killed and
// restarted. Outside a service (no NOTIFY_SOCKET) all of it does nothing.
#pragma once

#include "session/panel_session.h"

#include <string>

namespace korvel::app {

// Tells the service manager that the program is ready, with a status line.
void notify_ready(const std::string& status);

// Tells the service manager that the program is stopping.
void notify_stopping();

// The heartbeat: WATCHDOG=1 at half the interval the service manager asks
// for, from a timer of the event loop, for as long as `session` runs. Does
// nothing when no watchdog interval is set.
void start_heartbeat(PanelSession& session);

} // namespace korvel::app
