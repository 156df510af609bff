#include "support/recording_port.h"

namespace korvel {

std::string to_string(const PortAccess& a)
{
    return std::string(a.kind == PortAccess::Write ? "out " : "in ") + std::to_string(a.address) +
           (a.kind == PortAccess::Write ? " <- " : " -> ") + std::to_string(a.value);
}

} // namespace korvel
