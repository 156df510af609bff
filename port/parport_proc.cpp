#include "port/parport_proc.h"

#include <algorithm>

namespace korvel {

namespace {

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool all_digits(std::string_view s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Decimal digits to a number no larger than limit.
std::optional<unsigned long> decimal(std::string_view digits, unsigned long limit)
{
    if (!all_digits(digits))
        return std::nullopt;
    unsigned long v = 0;
    for (char c : digits) {
        v = v * 10 + static_cast<unsigned long>(c - '0');
        if (v > limit)
            return std::nullopt;
    }
    return v;
}

std::string trimmed(std::string_view s)
{
    while (!s.empty() && is_space(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_space(s.back()))
        s.remove_suffix(1);
    return std::string(s);
}

} // namespace

std::string join(const std::vector<std::string>& items)
{
    std::string s;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            s += i + 1 == items.size() ? " and " : ", ";
        s += items[i];
    }
    return s;
}

std::optional<unsigned> parse_base_addr(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && is_space(text[i]))
        ++i;
    std::size_t j = i;
    while (j < text.size() && !is_space(text[j]))
        ++j;
    const auto v = decimal(text.substr(i, j - i), 0xFFFF);
    if (!v)
        return std::nullopt;
    return static_cast<unsigned>(*v);
}

std::optional<int> parport_number(std::string_view name)
{
    constexpr std::string_view prefix = "parport";
    if (!name.starts_with(prefix))
        return std::nullopt;
    const auto v = decimal(name.substr(prefix.size()), 9999);
    if (!v)
        return std::nullopt;
    return static_cast<int>(*v);
}

std::vector<ParportEntry> list_parports(SystemCalls& sys, const std::string& parport_dir)
{
    std::vector<ParportEntry> ports;
    for (const auto& name : sys.list_dir(parport_dir)) {
        const auto number = parport_number(name);
        if (!number)
            continue;
        const auto text = sys.read_text(parport_dir + "/" + name + "/base-addr");
        if (!text)
            continue;
        if (const auto base = parse_base_addr(*text))
            ports.push_back({*number, *base});
    }
    std::sort(ports.begin(), ports.end(),
              [](const ParportEntry& a, const ParportEntry& b) { return a.number < b.number; });
    return ports;
}

std::optional<ParportEntry> find_parport(SystemCalls& sys, const std::string& parport_dir,
                                         unsigned base)
{
    for (const auto& p : list_parports(sys, parport_dir))
        if (p.base == base)
            return p;
    return std::nullopt;
}

std::vector<std::string> registered_drivers(SystemCalls& sys, const std::string& parport_dir,
                                            int number)
{
    const std::string devices = parport_dir + "/parport" + std::to_string(number) + "/devices";
    std::vector<std::string> names;
    for (const auto& name : sys.list_dir(devices))
        if (name != "active")
            names.push_back(name);
    if (const auto active = sys.read_text(devices + "/active")) {
        const std::string a = trimmed(*active);
        if (!a.empty() && a != "none" && a.find_first_of(" \t\n") == std::string::npos)
            names.push_back(a);
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

std::vector<std::string> programs_holding(SystemCalls& sys, const std::string& proc_root,
                                          const std::string& device, std::size_t limit)
{
    std::vector<std::string> found;
    for (const auto& pid : sys.list_dir(proc_root)) {
        if (found.size() >= limit)
            break;
        if (!all_digits(pid))
            continue;
        const std::string fd_dir = proc_root + "/" + pid + "/fd";
        for (const auto& fd : sys.list_dir(fd_dir)) {
            const auto target = sys.read_link(fd_dir + "/" + fd);
            if (!target || *target != device)
                continue;
            std::string name = trimmed(sys.read_text(proc_root + "/" + pid + "/comm").value_or(""));
            // A program names itself; keep the diagnostic one printable line.
            for (char& c : name)
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                    c = '?';
            if (name.empty())
                name = "a program";
            found.push_back(name + " (pid " + pid + ")");
            break;
        }
    }
    return found;
}

PortHolder port_holder(SystemCalls& sys, const std::string& proc_root,
                       const std::string& parport_dir, int number, const std::string& device)
{
    const auto programs = programs_holding(sys, proc_root, device);
    if (!programs.empty())
        return {join(programs), "stop that program"};
    const auto drivers = registered_drivers(sys, parport_dir, number);
    if (std::find(drivers.begin(), drivers.end(), "lp") != drivers.end())
        return {"the lp printer driver", "run 'modprobe -r lp'"};
    std::vector<std::string> kernel;  // drivers other than lp and ppdev
    for (const auto& d : drivers)
        if (!d.starts_with("ppdev"))
            kernel.push_back(d);
    if (!kernel.empty())
        return {"the kernel driver " + join(kernel), "unload that driver"};
    if (!drivers.empty())
        return {"another program", "stop that program"};
    return {"another program or the lp printer driver", "stop that program or run 'modprobe -r lp'"};
}

} // namespace korvel
