#include "guard/make_safe.h"

#include "port/safe_state.h"
#include "port/text.h"

#include <cstring>
#include <memory>

namespace korvel::guard {

MakeSafeResult make_port_safe(const Reopen& reopen, int base, std::string_view program)
{
    const std::string port = std::string(program) + ": the port at " + hex_address(base);
    const std::unique_ptr<Port> p = reopen ? reopen() : nullptr;
    if (!p)
        return {1, port + " could NOT be put into the safe state: this program reaches no port; "
                          "use korvel for a real port"};
    // The claim is made here, before anything is written.
    std::string why = p->fault(base);
    if (why.empty()) {
        write_safe_state(*p, base);
        // A write the port refused has turned the base absent.
        why = p->fault(base);
    }
    if (!why.empty())
        return {1, port + " could NOT be put into the safe state: " + why};
    return {0, port + " was put into the safe state"};
}

bool service_ended_cleanly(const std::function<const char*(const char*)>& getenv)
{
    const auto is = [&](const char* variable, const char* value) {
        const char* v = getenv(variable);
        return v && std::strcmp(v, value) == 0;
    };
    return is("SERVICE_RESULT", "success") && is("EXIT_CODE", "exited") && is("EXIT_STATUS", "0");
}

} // namespace korvel::guard
