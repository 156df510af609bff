#include "trend/history_csv.h"

#include <cstdio>
#include <ctime>

namespace korvel::trend {

std::string utc_time(std::int64_t time_ms)
{
    std::int64_t secs = time_ms / 1000;
    std::int64_t frac = time_ms % 1000;
    if (frac < 0) {
        frac += 1000;
        --secs;
    }
    const std::time_t t = static_cast<std::time_t>(secs);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(frac));
    return buf;
}

std::string csv_row(const history::Sample& s, std::int64_t origin_ms)
{
    const std::int64_t since = s.time_ms - origin_ms;
    char row[160];
    // seconds with three decimals from whole milliseconds: no rounding drift.
    std::snprintf(row, sizeof row, "%s,%s%lld.%03d,%s%d,%s,%s,%d,%s", utc_time(s.time_ms).c_str(),
                  since < 0 ? "-" : "", static_cast<long long>((since < 0 ? -since : since) / 1000),
                  static_cast<int>((since < 0 ? -since : since) % 1000), s.value < 0 ? "" : "+",
                  int(s.value), history::text(s.mark), history::text(s.mode), int(s.setpoint),
                  history::text(s.limit));
    return row;
}

bool write_history_csv(const history::ReadingHistory& history, std::ostream& out)
{
    out << csv_header;
    const std::int64_t origin = history.empty() ? 0 : history.at(0).time_ms;
    for (std::size_t i = 0; i < history.size() && out; ++i)
        out << csv_row(history.at(i), origin) << '\n';
    out.flush();
    return bool(out);
}

} // namespace korvel::trend
