// The reading log: one CSV row per accepted reading, written and flushed at
// once, so that a program killed outright loses at most the row it was
// writing.
//
//   time_utc,seconds,reading,mark,mode,setpoint,limit
//   2026-12-07T13:05:09.412Z,1.204,+12345,,ZEP,12345,
//   2026-12-07T13:05:09.745Z,1.537,+12401,,ZEP,12400,high
//
// The last column is the reading's limit verdict: empty (inside, or limits
// off), low or high. An existing file is appended to, never truncated; the
// header row is written only into a file that is new or empty. A log
// begun without the limit column (by an older korvel) goes on in its own
// columns, so that its rows stay alike for whatever reads them. A row cut
// short at the end of the file (a kill during a write) is ended before the
// next row, so that it does not swallow it.
#pragma once

#include "remote/instrument.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace korvel::remote {

class Recorder {
public:
    // Opens `path` for appending; "-" is standard output. On failure gives
    // nullptr and a one-line cause and remedy in *error.
    static std::unique_ptr<Recorder> open(const std::string& path, std::string* error);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Writes one row. The first failing write is reported once on standard
    // error; the rows after it are dropped.
    void record(const Reading& r, std::string_view mode, int setpoint);
    void record(const Reading& r, std::string_view mode, int setpoint,
                std::chrono::system_clock::time_point now, double seconds);

    static constexpr std::string_view header =
        "time_utc,seconds,reading,mark,mode,setpoint,limit\n";
    // The header of a log without the limit column.
    static constexpr std::string_view header_without_limit =
        "time_utc,seconds,reading,mark,mode,setpoint\n";
    // Whether rows carry the limit column.
    bool limit_column() const { return limit_column_; }

    // "2026-12-07T13:05:09.412Z"
    static std::string utc_time(std::chrono::system_clock::time_point t);

private:
    Recorder(std::FILE* file, bool owned, std::string name);

    std::FILE* file_;
    bool owned_;
    std::string name_;
    bool failed_ = false;
    bool limit_column_ = true;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Records every reading the instrument accepts, for as long as it lives.
class RecordingSubscription {
public:
    RecordingSubscription(Instrument& instrument, Recorder& recorder);
    ~RecordingSubscription();
    RecordingSubscription(const RecordingSubscription&) = delete;
    RecordingSubscription& operator=(const RecordingSubscription&) = delete;

private:
    Instrument& instrument_;
    int key_;
};

} // namespace korvel::remote
