// The length of a latch strobe.
#pragma once

#include <cstdint>

namespace korvel {

// The strobe lasts as long as this countdown of ten steps takes: a busy
// wait with no port access and no return to the event loop. volatile keeps
// the compiler from removing it. Safe in a signal handler.
inline void strobe_delay() noexcept
{
    volatile std::int16_t delay = 10;
    while (delay != 0)
        delay = static_cast<std::int16_t>(delay - 1);
}

} // namespace korvel
