// The reading store: every accepted reading kept on disk in an SQLite file,
// with per-minute figures beside the rows so that long spans draw without
// reading every row. Plain C++, no Qt.
//
// The panel's thread hands each reading to add(), which never blocks and
// takes no lock: a ring carries it to the store's writer thread, which
// commits in batches (at least once a second), keeps the minutes in step in
// the same transaction, and deletes what is older than the retention in
// small batches. Reads (the history::ReadingSource) happen on the panel's
// thread over a second, read-only connection, and include the readings
// handed over but not yet committed.
#pragma once

#include "history/reading_source.h"
#include "history/sample.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvel::store {

// The file's schema version (PRAGMA user_version) and the number that marks
// an SQLite file as a korvel store (PRAGMA application_id, "KRVL").
constexpr int schema_version = 1;
constexpr std::int32_t application_id = 0x4B52564C;

struct StoreOptions {
    std::string path;
    // Readings older than this many days are deleted; 0 keeps everything.
    int keep_days = 90;
    // The program's name for the diagnostics ("korvel") and for the record
    // of who holds the store.
    std::string program = "korvel";
    // Writing stops when the file system's free space falls below this share.
    double min_free = 0.05;
    // Where the writer's lines go once the store is open (a full disk, a
    // failed write): one line each, "korvel: ...; remedy". Called on the
    // writer thread. Empty: standard error.
    std::function<void(const std::string&)> say;
    // How often the writer commits what it has, in ms (at most 1000).
    int commit_interval_ms = 250;
    // Told of each batch the writer commits: its readings and how long the
    // transaction took. For the benchmark; called on the writer thread.
    std::function<void(std::size_t readings, std::int64_t ns)> on_commit;
};

// Whether the store writes: the web page and the remote interface show it.
enum class StoreState {
    writing,   // readings are committed as they come
    full,      // the file system reached its last free space: writing stopped
    failed,    // a write failed (I/O error, corrupt page): writing stopped
};
const char* text(StoreState state);  // "writing", "full", "failed"

class ReadingStore : public history::ReadingSource {
public:
    // Opens the store at options.path, creating it when there is no file
    // (or an empty one). Refuses, with the line for standard error in
    // *error and nothing written to the file, one it cannot use: not
    // creatable or writable, not a korvel store, from a newer schema,
    // corrupt, or held by another program.
    static std::unique_ptr<ReadingStore> open(const StoreOptions& options, std::string* error);
    // Opens an existing store only to read it (a review of its readings),
    // beside a program that may be writing it: no lock is taken, nothing is
    // written, and add() keeps nothing. Refuses, with the line in *error, a
    // file that is missing, no korvel store, from a newer schema or corrupt.
    static std::unique_ptr<ReadingStore> open_read_only(const std::string& path, const std::string& program,
                                                        std::string* error);

    // Commits every reading handed over, then ends the writer.
    ~ReadingStore() override;
    ReadingStore(const ReadingStore&) = delete;
    ReadingStore& operator=(const ReadingStore&) = delete;

    // Panel's thread: hands a reading to the writer. Never blocks. A time
    // not later than the last reading's is taken as 1 ms after it (the time
    // identifies a reading in the file). Returns false when the reading is
    // not stored: writing has stopped (the newest readings are then kept in
    // memory, about a day's, and read back with the rest), or the writer is
    // so far behind that its ring is full (counted in dropped()).
    bool add(const history::Sample& sample);

    // Writes readings in one transaction on the calling thread, for filling
    // a store in bulk (the benchmark, tests): only before any add().
    // Returns false (error in *error) when the write fails.
    bool write_batch(const std::vector<history::Sample>& samples, std::string* error);

    // Waits until every reading handed over so far is committed (or writing
    // has stopped). For tests and the end of a benchmark.
    void flush();

    StoreState state() const;
    // One line on the state: "" while writing, else why it stopped.
    std::string state_line() const;
    // Readings not kept because the writer's ring was full.
    std::uint64_t dropped() const;
    const std::string& path() const;

    // history::ReadingSource, over the file and the readings not yet
    // committed. Long spans are reduced from the per-minute figures.
    std::size_t count() const override;
    std::optional<std::pair<std::int64_t, std::int64_t>> time_range() const override;
    std::vector<history::Column> reduce(std::int64_t t0, std::int64_t t1, int columns) const override;
    history::Statistics statistics(std::int64_t t0, std::int64_t t1) const override;
    std::vector<history::Sample> latest(std::size_t n) const override;
    void visit(std::int64_t t0, std::int64_t t1,
               const std::function<bool(const history::Sample&)>& visit) const override;

    class Impl;

private:
    explicit ReadingStore(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

} // namespace korvel::store
