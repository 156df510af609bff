#include "port/safe_state.h"

#include "port/strobe.h"

namespace korvel {

void write_safe_state(Port& port, int base) noexcept
{
    for (int i = 0; i < safe_state_steps; ++i) {
        port.Out32(static_cast<std::int16_t>(base + safe_state_sequence[i].offset),
                   static_cast<std::int16_t>(safe_state_sequence[i].value));
        if (i == 1)
            strobe_delay();
    }
}

} // namespace korvel
