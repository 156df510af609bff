// The reading history as CSV, in the columns of the reading log (--record)
// with the limit verdict last:
//
//   time_utc,seconds,reading,mark,mode,setpoint,limit
//   2026-12-07T13:05:09.412Z,0.000,+12345,,ZEP,12345,
//   2026-12-07T13:05:09.745Z,0.333,+12401,,ZEP,12345,high
//
// seconds counts from the oldest reading kept. Plain C++, no Qt.
#pragma once

#include "history/reading_history.h"

#include <cstdint>
#include <ostream>
#include <string>

namespace korvel::trend {

inline constexpr const char* csv_header = "time_utc,seconds,reading,mark,mode,setpoint,limit\n";

// "2026-12-07T13:05:09.412Z" for milliseconds since 1970-01-01 UTC.
std::string utc_time(std::int64_t time_ms);

// One row, without the line end.
std::string csv_row(const history::Sample& s, std::int64_t origin_ms);

// The header, then every reading kept, oldest first. False when the stream
// failed.
bool write_history_csv(const history::ReadingHistory& history, std::ostream& out);

} // namespace korvel::trend
