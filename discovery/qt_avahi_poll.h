// Avahi's event-loop interface (AvahiPoll) over the Qt event loop: each
// watch a socket notifier, each timeout a single-shot timer, so that the
// Avahi client runs on the thread that owns the loop, beside the panel.
#pragma once

#include <avahi-common/watch.h>

namespace korvel::discovery {

// The AvahiPoll of the calling thread's Qt event loop; lives as long as the
// program.
const AvahiPoll* qt_avahi_poll();

} // namespace korvel::discovery
