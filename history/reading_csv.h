// The readings as CSV, in the columns of the reading log (--record) with the
// limit verdict last, both ways: written by the trend's export and the web
// page's download, read back by --review.
//
//   time_utc,seconds,reading,mark,mode,setpoint,limit
//   2026-12-07T13:05:09.412Z,0.000,+12345,,ZEP,12345,
//   2026-12-07T13:05:09.745Z,0.333,+12401,,ZEP,12345,high
//
// seconds counts from an origin the writer chooses (the oldest reading
// kept, or the first of the range). Plain C++.
#pragma once

#include "history/reading_source.h"
#include "history/sample.h"

#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::history {

inline constexpr const char* csv_header = "time_utc,seconds,reading,mark,mode,setpoint,limit\n";

// "2026-12-07T13:05:09.412Z" for milliseconds since 1970-01-01 UTC.
std::string utc_time(std::int64_t time_ms);
// Back again; nothing unless the text is exactly of that form and a real
// date and time.
std::optional<std::int64_t> parse_utc_time(std::string_view text);

// One row, without the line end.
std::string csv_row(const Sample& s, std::int64_t origin_ms);

// The rows of the readings with t0 <= time < t1, a piece at a time, so that
// a month of readings never has to be held as text at once. The source
// must outlive the cursor; readings it takes in meanwhile are included if
// they fall in the range.
class CsvCursor {
public:
    CsvCursor(const ReadingSource& source, std::int64_t t0, std::int64_t t1, std::int64_t origin_ms);
    // Appends whole rows (each with its '\n') to `out` until it holds at
    // least `bytes` or the range is done; the header first. False once
    // everything is written.
    bool next(std::string& out, std::size_t bytes);
    bool done() const { return done_; }
    std::size_t rows() const { return rows_; }

private:
    const ReadingSource& source_;
    std::int64_t from_;     // the next piece starts at this time
    std::size_t skip_ = 0;  // readings at exactly from_ already written
    std::int64_t t1_;
    std::int64_t origin_;
    bool header_ = true;
    bool done_ = false;
    std::size_t rows_ = 0;
};

// A reading log read back: its readings in time order, and what was wrong
// with the rows that were left out.
struct ReadLog {
    std::vector<Sample> samples;
    // Each row left out, with its line number (from 1) and why ("no mode
    // 'XYZ'"), the first `max_problems` of them; `skipped` counts them all.
    struct Problem {
        std::size_t line = 0;
        std::string cause;
    };
    std::vector<Problem> problems;
    std::size_t skipped = 0;
    // Why the whole file was refused ("" when it was read): not a reading
    // log, too many readings.
    std::string refused;
};

struct ReadLogLimits {
    std::size_t max_line = 512;             // bytes; longer lines are left out unread
    std::size_t max_rows = 32u << 20;       // readings; 129 days at 3 a second (512 MB)
    std::size_t max_problems = 10;
};

// Reads a log that --record wrote: the six columns of the first logs
// (without `limit`) or the seven of today. Each row that does not parse
// (cut short by a kill, garbage, out of range) is left out and named.
ReadLog read_reading_log(std::istream& in, const ReadLogLimits& limits = {});

} // namespace korvel::history
