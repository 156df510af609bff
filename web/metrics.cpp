#include "web/metrics.h"

#include "port/text.h"

#include <charconv>
#include <cmath>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace korvel::web {

namespace {

// A number as the format writes it: whole numbers without a fraction,
// others in their shortest exact form.
std::string number(double v)
{
    if (std::isnan(v))
        return "NaN";
    if (std::isinf(v))
        return v > 0 ? "+Inf" : "-Inf";
    char buf[32];
    const auto r = std::abs(v) < 1e15 && v == std::floor(v)
                       ? std::to_chars(buf, buf + sizeof buf, static_cast<long long>(v))
                       : std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

void escape(std::string& out, std::string_view text, bool quotes)
{
    for (const char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '"' && quotes)
            out += "\\\"";
        else
            out += c;
    }
}

std::string read_text(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

const char* mode_text(Mode m)
{
    switch (m) {
    case Mode::dpc: return "DPC";
    case Mode::dvm: return "DVM";
    case Mode::zep: break;
    }
    return "ZEP";
}

} // namespace

void Exposition::family(std::string_view name, std::string_view type, std::string_view help)
{
    out_ += "# HELP ";
    out_ += name;
    out_ += ' ';
    escape(out_, help, false);
    out_ += "\n# TYPE ";
    out_ += name;
    out_ += ' ';
    out_ += type;
    out_ += '\n';
}

void Exposition::head(std::string_view name, const Labels& labels)
{
    out_ += name;
    if (!labels.empty()) {
        out_ += '{';
        for (std::size_t i = 0; i < labels.size(); ++i) {
            out_ += i ? ",": "";
            out_ += labels[i].first;
            out_ += "=\"";
            escape(out_, labels[i].second, true);
            out_ += '"';
        }
        out_ += '}';
    }
    out_ += ' ';
}

void Exposition::sample(std::string_view name, double value, const Labels& labels)
{
    head(name, labels);
    out_ += number(value);
    out_ += '\n';
}

void Exposition::sample(std::string_view name, std::uint64_t value, const Labels& labels)
{
    head(name, labels);
    out_ += std::to_string(value);
    out_ += '\n';
}

std::optional<ProcessFigures> read_process_figures(const std::string& proc, long clock_ticks, long page_bytes)
{
    if (clock_ticks <= 0 || page_bytes <= 0)
        return std::nullopt;
    ProcessFigures p;
    // The command's name may hold spaces and parentheses: the fields
    // follow the last ')'. After it come state (field 3), ... utime (14),
    // stime (15) ... starttime (22), in clock ticks.
    const std::string stat = read_text(proc + "/self/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream fields(stat.substr(close + 1));
    std::vector<std::string> f;
    for (std::string w; fields >> w && f.size() < 20;)
        f.push_back(w);
    double boot = -1;
    {
        std::istringstream lines(read_text(proc + "/stat"));
        for (std::string key; lines >> key;)
            if (key == "btime" && lines >> boot)
                break;
    }
    double size = 0, resident = 0;
    std::istringstream statm(read_text(proc + "/self/statm"));
    if (f.size() < 20 || boot < 0 || !(statm >> size >> resident))
        return std::nullopt;
    try {
        const double ticks = static_cast<double>(clock_ticks);
        p.cpu_seconds = (std::stod(f[11]) + std::stod(f[12])) / ticks;
        p.start_time_seconds = boot + std::stod(f[19]) / ticks;
    } catch (...) {
        return std::nullopt;
    }
    p.resident_bytes = resident * static_cast<double>(page_bytes);
    p.virtual_bytes = size * static_cast<double>(page_bytes);

    DIR* fds = ::opendir((proc + "/self/fd").c_str());
    if (!fds)
        return std::nullopt;
    while (const dirent* e = ::readdir(fds))
        if (e->d_name[0] != '.')
            ++p.open_fds;
    ::closedir(fds);

    // "Max open files            1024                 1048576              files"
    std::istringstream limits(read_text(proc + "/self/limits"));
    for (std::string line; std::getline(limits, line);) {
        if (line.rfind("Max open files", 0) != 0)
            continue;
        std::istringstream rest(line.substr(14));
        std::string soft;
        rest >> soft;
        p.max_fds = soft == "unlimited" ? INFINITY : std::strtod(soft.c_str(), nullptr);
    }
    return p;
}

std::optional<ProcessFigures> read_process_figures()
{
    return read_process_figures("/proc", ::sysconf(_SC_CLK_TCK), ::sysconf(_SC_PAGESIZE));
}

Figures gather(const Panel& panel, const history::ReadingHistory& history)
{
    Figures f;
    f.port = hex_address(panel.base() & 0xFFFF);
    if (!history.empty())
        f.reading = history.newest();
    f.totals = history.totals();
    const dvm::VoltmeterReader& reader = panel.reader();
    f.conversions = reader.conversions();
    f.samples = reader.samples();
    f.discarded = reader.discarded_samples();
    // As CALCulate:LIMit:FAIL? has it: the limits are on and the newest
    // reading, judged as it came, lay outside them.
    f.limit_failing = history.limits().enabled && f.reading && f.reading->limit != history::Limit::none;
    if (history.limits().enabled)
        f.limits = history.limits();
    f.power = panel.power();
    f.mode = panel.mode();
    f.setpoint = panel.setpoint();
    f.outputs = panel.bits();
    return f;
}

std::string exposition(const Figures& f)
{
    Exposition e;
    const auto gauge = [&e](std::string_view name, std::string_view help, double v) {
        e.family(name, "gauge", help);
        e.sample(name, v);
    };
    const auto counter = [&e](std::string_view name, std::string_view help, std::uint64_t v) {
        e.family(name, "counter", help);
        e.sample(name, v);
    };
    e.family("korvel_build_info", "gauge", "The program, its version and the port the panel drives; always 1.");
    e.sample("korvel_build_info", 1.0, {{"version", f.version}, {"program", f.program}, {"port", f.port}});
    if (f.reading) {
        gauge("korvel_reading", "The newest reading the panel accepted, in counts (0 with an OR mark).",
              f.reading->value);
        gauge("korvel_reading_timestamp_seconds", "When the newest reading was accepted, in seconds since 1970.",
              static_cast<double>(f.reading->time_ms) / 1000.0);
    }
    e.family("korvel_readings_total", "counter", "Readings accepted, by their over- or under-range mark.");
    const history::ReadingHistory::Totals& t = f.totals;
    e.sample("korvel_readings_total", t.readings - t.over - t.under, {{"mark", "none"}});
    e.sample("korvel_readings_total", t.over, {{"mark", "over"}});
    e.sample("korvel_readings_total", t.under, {{"mark", "under"}});
    counter("korvel_conversions_total", "Conversions of the voltmeter seen to end while the panel was ON.",
            f.conversions);
    counter("korvel_samples_total", "Digit samples the reader took (three port reads each).", f.samples);
    counter("korvel_samples_discarded_total",
            "Digit samples not used: the strobe moved under the value, or the reads took over 0.5 ms.",
            f.discarded);
    gauge("korvel_limit_failing", "1 while the limits are on and the newest reading lies outside them.",
          f.limit_failing ? 1 : 0);
    counter("korvel_limit_failures_total", "Readings outside the limits.", t.limit_failures);
    if (f.limits) {
        gauge("korvel_limit_lower", "The lower limit in counts, while the limits are on.", f.limits->lower);
        gauge("korvel_limit_upper", "The upper limit in counts, while the limits are on.", f.limits->upper);
    }
    gauge("korvel_power_on", "1 while the panel is ON.", f.power ? 1 : 0);
    e.family("korvel_mode", "gauge", "The panel's mode: 1 for the mode chosen, 0 for the others.");
    for (const Mode m : {Mode::zep, Mode::dpc, Mode::dvm})
        e.sample("korvel_mode", m == f.mode ? 1.0 : 0.0, {{"mode", mode_text(m)}});
    gauge("korvel_setpoint", "The set-point of the spin controls, -30000..30000.", f.setpoint);
    gauge("korvel_outputs", "The output bits Q7..Q0 as a number, 0..255.", f.outputs);
    gauge("korvel_port_present", "1 while the panel's port reaches its device.", f.port_present ? 1 : 0);
    gauge("korvel_remote_clients", "SCPI clients connected to the remote interface.", f.remote_clients);
    gauge("korvel_web_pages", "Web pages open on the live state.", f.web_pages);
    if (const auto& p = f.process) {
        e.family("process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.");
        e.sample("process_cpu_seconds_total", p->cpu_seconds);
        gauge("process_resident_memory_bytes", "Resident memory size in bytes.", p->resident_bytes);
        gauge("process_virtual_memory_bytes", "Virtual memory size in bytes.", p->virtual_bytes);
        gauge("process_start_time_seconds", "Start time of the process since unix epoch in seconds.",
              p->start_time_seconds);
        gauge("process_open_fds", "Number of open file descriptors.", p->open_fds);
        gauge("process_max_fds", "Maximum number of open file descriptors.", p->max_fds);
    }
    return e.text();
}

std::string metrics_page(const Panel& panel, const history::ReadingHistory& history, const Identity& identity,
                         const MetricsSources& sources, int web_pages)
{
    Figures f = gather(panel, history);
    f.program = identity.model;
    f.version = identity.firmware;
    f.port_present = !sources.port_present || sources.port_present();
    f.remote_clients = sources.remote_clients ? sources.remote_clients() : 0;
    f.web_pages = web_pages;
    f.process = read_process_figures();
    return exposition(f);
}

} // namespace korvel::web
