#include "remote/recorder.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/stat.h>

namespace korvel::remote {

std::unique_ptr<Recorder> Recorder::open(const std::string& path, std::string* error)
{
    if (path == "-")
        return std::unique_ptr<Recorder>(new Recorder(stdout, false, "standard output"));
    // A plain file is opened for reading too, to see how the rows so far
    // look; writes go to the end whatever the position. A file that may be
    // written but not read is appended to blind, and so is anything else (a
    // pipe, a terminal, a device), so that it is opened as before: write
    // only, with no reader of our own holding a pipe open.
    struct stat st {};
    const bool plain = ::stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode);
    std::FILE* f = plain ? std::fopen(path.c_str(), "a+") : nullptr;
    const bool readable = f != nullptr;
    if (!f)
        f = std::fopen(path.c_str(), "a");
    if (!f) {
        if (error)
            *error = "cannot open " + path + " for recording (" + std::strerror(errno) +
                     "); choose a file in a folder you can write to";
        return nullptr;
    }
    auto r = std::unique_ptr<Recorder>(new Recorder(f, true, path));
    // Position at the end: a file that already holds rows has its header.
    if (std::fseek(f, 0, SEEK_END) != 0)
        return r;  // a pipe or a device: rows only
    if (std::ftell(f) == 0) {
        std::fwrite(header.data(), 1, header.size(), f);
        std::fflush(f);
        return r;
    }
    if (!readable)
        return r;
    char last = '\n';
    if (std::fseek(f, -1, SEEK_END) == 0)
        last = static_cast<char>(std::fgetc(f));
    char first[128] = {};
    if (std::fseek(f, 0, SEEK_SET) == 0 && std::fgets(first, sizeof first, f) &&
        first == header_without_limit) {
        r->limit_column_ = false;
        std::fprintf(stderr,
                     "korvel: %s has the columns of a log without limits; its rows go on "
                     "without the limit column: record to a new file to log limit failures\n",
                     path.c_str());
    }
    std::fseek(f, 0, SEEK_END);
    if (last != '\n') {
        std::fputc('\n', f);
        std::fflush(f);
    }
    return r;
}

Recorder::Recorder(std::FILE* file, bool owned, std::string name)
    : file_(file), owned_(owned), name_(std::move(name))
{
    if (!owned_) {
        std::fwrite(header.data(), 1, header.size(), file_);
        std::fflush(file_);
    }
}

Recorder::~Recorder()
{
    if (owned_)
        std::fclose(file_);
}

std::string Recorder::utc_time(std::chrono::system_clock::time_point t)
{
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
    std::time_t secs = static_cast<std::time_t>(ms / 1000);
    long frac = static_cast<long>(ms % 1000);
    if (frac < 0) {
        frac += 1000;
        --secs;
    }
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, frac);
    return buf;
}

void Recorder::record(const Reading& r, std::string_view mode, int setpoint)
{
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    record(r, mode, setpoint, std::chrono::system_clock::now(), seconds);
}

void Recorder::record(const Reading& r, std::string_view mode, int setpoint,
                      std::chrono::system_clock::time_point now, double seconds)
{
    if (failed_)
        return;
    const char* mark = r.over ? (r.under ? "OR UR" : "OR") : (r.under ? "UR" : "");
    const char* limit = !limit_column_          ? ""
                        : r.limit == Limit::low  ? ",low"
                        : r.limit == Limit::high ? ",high"
                                                 : ",";
    char row[160];
    const int n = std::snprintf(row, sizeof row, "%s,%.3f,%s%d,%s,%.*s,%d%s\n",
                                utc_time(now).c_str(), seconds, r.value < 0 ? "" : "+", r.value,
                                mark, static_cast<int>(mode.size()), mode.data(), setpoint, limit);
    // One write of the whole row, then out of the buffer at once.
    const std::size_t len = n < 0 ? 0 : static_cast<std::size_t>(n);
    if (std::fwrite(row, 1, len, file_) != len || std::fflush(file_) != 0) {
        failed_ = true;
        std::fprintf(stderr,
                     "korvel: recording to %s failed (%s); no more rows are written: free "
                     "space or choose another file, then restart korvel\n",
                     name_.c_str(), std::strerror(errno));
    }
}

RecordingSubscription::RecordingSubscription(Instrument& instrument, Recorder& recorder)
    : instrument_(instrument)
{
    key_ = instrument.subscribe([&instrument, &recorder](const Reading& r) {
        recorder.record(r, instrument.mode(), instrument.setpoint());
    });
}

RecordingSubscription::~RecordingSubscription() { instrument_.unsubscribe(key_); }

} // namespace korvel::remote
