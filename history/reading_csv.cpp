#include "history/reading_csv.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace korvel::history {

namespace {

constexpr std::string_view header_seven = "time_utc,seconds,reading,mark,mode,setpoint,limit";
constexpr std::string_view header_six = "time_utc,seconds,reading,mark,mode,setpoint";

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// A whole number with an optional sign, all of the text.
std::optional<int> whole(std::string_view text)
{
    if (!text.empty() && text[0] == '+')
        text.remove_prefix(1);
    if (text.empty() || text.size() > 7 || text[0] == '+')
        return std::nullopt;
    int v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return v;
}

bool decimal(std::string_view text)
{
    if (text.empty() || text.size() > 24)
        return false;
    double v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    return ec == std::errc() && end == text.data() + text.size();
}

// A field shown in a problem: short, and control characters replaced.
std::string shown(std::string_view text)
{
    std::string s(text.substr(0, 24));
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return "'" + s + (text.size() > 24 ? "...'" : "'");
}

// A field as a spreadsheet or sqlite3 may write it, "ZEP" or "", without
// its quotes; one with a quote inside is left as it is (and refused).
std::string_view unquoted(std::string_view f)
{
    if (f.size() >= 2 && f.front() == '"' && f.back() == '"' &&
        f.substr(1, f.size() - 2).find('"') == std::string_view::npos)
        return f.substr(1, f.size() - 2);
    return f;
}

// The header with any quotes around its names taken off.
std::string unquoted_header(std::string_view line)
{
    std::string out;
    for (char c : line)
        if (c != '"')
            out += c;
    return out;
}

// One row into a reading, or why not.
std::optional<Sample> parse_row(std::string_view line, std::size_t columns, std::string* why)
{
    std::string_view f[8];
    std::size_t n = 0;
    while (true) {
        const std::size_t comma = line.find(',');
        if (n == std::size(f)) {
            n = std::size(f) + 1;
            break;
        }
        f[n++] = unquoted(line.substr(0, comma));
        if (comma == std::string_view::npos)
            break;
        line.remove_prefix(comma + 1);
    }
    if (n != columns) {
        *why = n > std::size(f) ? "more than " + std::to_string(std::size(f)) + " fields"
               : std::to_string(n) + (n == 1 ? " field" : " fields");
        *why += " where the header has " + std::to_string(columns);
        return std::nullopt;
    }
    Sample s;
    const auto time = parse_utc_time(f[0]);
    if (!time) {
        *why = "no UTC time " + shown(f[0]);
        return std::nullopt;
    }
    s.time_ms = *time;
    if (!decimal(f[1])) {
        *why = "no seconds " + shown(f[1]);
        return std::nullopt;
    }
    const auto value = whole(f[2]);
    if (!value || *value < -19999 || *value > 19999) {
        *why = "no reading within -19999..+19999: " + shown(f[2]);
        return std::nullopt;
    }
    s.value = static_cast<std::int16_t>(*value);
    if (f[3] == "OR")
        s.mark = Mark::over;
    else if (f[3] == "UR")
        s.mark = Mark::under;
    else if (!f[3].empty()) {
        *why = "no mark (OR, UR or none) " + shown(f[3]);
        return std::nullopt;
    }
    if (f[4] == "ZEP")
        s.mode = Mode::zep;
    else if (f[4] == "DVM")
        s.mode = Mode::dvm;
    else if (f[4] == "DPC")
        s.mode = Mode::dpc;
    else {
        *why = "no mode (ZEP, DVM or DPC) " + shown(f[4]);
        return std::nullopt;
    }
    const auto setpoint = whole(f[5]);
    if (!setpoint || *setpoint < -30000 || *setpoint > 30000) {
        *why = "no set-point within -30000..30000: " + shown(f[5]);
        return std::nullopt;
    }
    s.setpoint = static_cast<std::int16_t>(*setpoint);
    if (columns == 7) {
        if (f[6] == "low")
            s.limit = Limit::low;
        else if (f[6] == "high")
            s.limit = Limit::high;
        else if (!f[6].empty()) {
            *why = "no limit verdict (low, high or none) " + shown(f[6]);
            return std::nullopt;
        }
    }
    return s;
}

} // namespace

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

std::optional<std::int64_t> parse_utc_time(std::string_view t)
{
    // 2026-12-07T13:05:09.412Z
    constexpr std::string_view form = "dddd-dd-ddTdd:dd:dd.dddZ";
    if (t.size() != form.size())
        return std::nullopt;
    for (std::size_t i = 0; i < form.size(); ++i)
        if (form[i] == 'd' ? (t[i] < '0' || t[i] > '9') : t[i] != form[i])
            return std::nullopt;
    const auto num = [&](std::size_t at, std::size_t digits) {
        int v = 0;
        for (std::size_t i = at; i < at + digits; ++i)
            v = v * 10 + (t[i] - '0');
        return v;
    };
    const int year = num(0, 4), month = num(5, 2), day = num(8, 2);
    const int hour = num(11, 2), minute = num(14, 2), second = num(17, 2), ms = num(20, 3);
    static constexpr int month_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1 ||
        day > month_days[month - 1] + (month == 2 && leap(year) ? 1 : 0) || hour > 23 || minute > 59 ||
        second > 59)
        return std::nullopt;
    const std::int64_t days = days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    return ((days * 24 + hour) * 60 + minute) * 60'000 + second * 1000 + ms;
}

std::string csv_row(const Sample& s, std::int64_t origin_ms)
{
    const std::int64_t since = s.time_ms - origin_ms;
    const std::int64_t magnitude = since < 0 ? -since : since;
    char row[160];
    // seconds with three decimals from whole milliseconds: no rounding drift.
    std::snprintf(row, sizeof row, "%s,%s%lld.%03d,%s%d,%s,%s,%d,%s", utc_time(s.time_ms).c_str(),
                  since < 0 ? "-" : "", static_cast<long long>(magnitude / 1000),
                  static_cast<int>(magnitude % 1000), s.value < 0 ? "" : "+", int(s.value), text(s.mark),
                  text(s.mode), int(s.setpoint), text(s.limit));
    return row;
}

CsvCursor::CsvCursor(const ReadingSource& source, std::int64_t t0, std::int64_t t1, std::int64_t origin_ms)
    : source_(source), from_(t0), t1_(t1), origin_(origin_ms)
{
}

bool CsvCursor::next(std::string& out, std::size_t bytes)
{
    if (done_)
        return false;
    if (header_) {
        out += csv_header;
        header_ = false;
    }
    // Each piece starts again at the time the last one stopped, passing
    // over the readings of that very millisecond already written.
    bool more = false;
    std::size_t seen_at_from = 0;
    std::int64_t last_time = from_;
    std::size_t same = skip_;
    std::size_t written = 0;
    source_.visit(from_, t1_, [&](const Sample& s) {
        if (s.time_ms == from_ && seen_at_from < skip_) {
            ++seen_at_from;
            return true;
        }
        if (out.size() >= bytes && written > 0) {
            more = true;
            return false;
        }
        out += csv_row(s, origin_);
        out += '\n';
        ++rows_;
        ++written;
        same = s.time_ms == last_time ? same + 1 : 1;
        last_time = s.time_ms;
        return true;
    });
    if (!more) {
        done_ = true;
        return false;
    }
    from_ = last_time;
    skip_ = same;
    return true;
}

ReadLog read_reading_log(std::istream& in, const ReadLogLimits& limits)
{
    ReadLog log;
    std::size_t columns = 0;
    std::size_t number = 0;  // of the line being read
    std::string line;
    bool too_long = false;
    const auto problem = [&](const std::string& why) {
        ++log.skipped;
        if (log.problems.size() < limits.max_problems)
            log.problems.push_back({number, why});
    };
    const auto take = [&]() -> bool {
        ++number;
        if (too_long && number == 1) {
            log.refused = "not a reading log of korvel: its first line is longer than any header";
            return false;
        }
        if (too_long) {
            problem("longer than " + std::to_string(limits.max_line) + " bytes");
            return true;
        }
        std::string_view l = line;
        if (!l.empty() && l.back() == '\r')
            l.remove_suffix(1);
        if (number == 1) {
            if (l.starts_with("\xEF\xBB\xBF"))
                l.remove_prefix(3);
            const std::string header = unquoted_header(l);
            columns = header == header_seven ? 7 : header == header_six ? 6 : 0;
            if (columns == 0) {
                log.refused = "not a reading log of korvel: its first line is not the header '" +
                              std::string(header_seven) + "' (or without ',limit')";
                return false;
            }
            return true;
        }
        if (l.empty())
            return true;
        std::string why;
        if (auto s = parse_row(l, columns, &why)) {
            if (log.samples.size() >= limits.max_rows) {
                log.refused = "more than " + std::to_string(limits.max_rows) + " readings";
                return false;
            }
            log.samples.push_back(*s);
        } else {
            problem(why);
        }
        return true;
    };

    char block[1 << 16];
    bool going = true;
    while (going && in) {
        in.read(block, sizeof block);
        const std::streamsize got = in.gcount();
        std::size_t at = 0;
        while (going && at < static_cast<std::size_t>(got)) {
            const char* start = block + at;
            const char* end = static_cast<const char*>(
                std::memchr(start, '\n', static_cast<std::size_t>(got) - at));
            const std::size_t length = end ? static_cast<std::size_t>(end - start)
                                           : static_cast<std::size_t>(got) - at;
            if (!too_long) {
                if (line.size() + length > limits.max_line) {
                    too_long = true;
                    line.clear();
                } else {
                    line.append(start, length);
                }
            }
            at += length + (end ? 1 : 0);
            if (end) {
                going = take();
                line.clear();
                too_long = false;
            }
        }
    }
    if (going && (!line.empty() || too_long))
        going = take();  // the last line, without its line end
    if (number == 0)
        log.refused = "empty: not a reading log of korvel";
    if (!log.refused.empty()) {
        log.samples.clear();
        return log;
    }
    // A log that went on after the wall clock stepped back.
    std::stable_sort(log.samples.begin(), log.samples.end(),
                     [](const Sample& a, const Sample& b) { return a.time_ms < b.time_ms; });
    return log;
}

} // namespace korvel::history
