// Opening the store, and its writer thread.
#include "store/reading_store.h"

#include "store/store_impl.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace korvel::store {

namespace {

// The file's layout, version 1. Times are ms since 1970-01-01 UTC; the time
// of a reading is unique (it is the row's key).
constexpr const char* schema_sql = R"sql(
CREATE TABLE readings(
  time INTEGER PRIMARY KEY,
  value INTEGER NOT NULL,
  mark INTEGER NOT NULL,
  mode INTEGER NOT NULL,
  setpoint INTEGER NOT NULL,
  verdict INTEGER NOT NULL
);
CREATE TABLE minutes(
  minute INTEGER PRIMARY KEY,
  count INTEGER NOT NULL,
  value_min INTEGER, value_max INTEGER, value_first INTEGER, value_last INTEGER,
  value_sum INTEGER NOT NULL, value_sum_squares INTEGER NOT NULL,
  over INTEGER NOT NULL, under INTEGER NOT NULL,
  low INTEGER NOT NULL, high INTEGER NOT NULL, zep INTEGER NOT NULL,
  setpoint_min INTEGER NOT NULL, setpoint_max INTEGER NOT NULL,
  first_time INTEGER NOT NULL, last_time INTEGER NOT NULL
);
CREATE TABLE holder(pid INTEGER NOT NULL, program TEXT NOT NULL, since INTEGER NOT NULL);
CREATE VIEW reading_log AS SELECT
  strftime('%Y-%m-%dT%H:%M:%fZ', time / 1000.0, 'unixepoch') AS utc, time, value,
  CASE mark WHEN 1 THEN 'OR' WHEN 2 THEN 'UR' ELSE '' END AS mark,
  CASE mode WHEN 1 THEN 'DVM' WHEN 2 THEN 'DPC' ELSE 'ZEP' END AS mode,
  setpoint,
  CASE verdict WHEN 1 THEN 'low' WHEN 2 THEN 'high' ELSE '' END AS verdict
FROM readings;
)sql";

std::string quoted(const std::string& s) { return "'" + s + "'"; }

// The readings kept in memory once writing has stopped.
constexpr std::size_t kept_after_stop = 262144;

std::int64_t now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Who holds the store, from its holder row, read without writing: "korvel-sim
// (pid 1234)", or "another program".
std::string holder_of(const std::string& path)
{
    Connection db;
    if (db.open(path, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db.get(), 500);
        Statement q(db, "SELECT program, pid FROM holder LIMIT 1");
        if (q.step() == SQLITE_ROW)
            return q.text(0) + " (pid " + std::to_string(q.integer(1)) + ")";
    }
    return "another program";
}

std::unique_ptr<ReadingStore> fail(std::string* error, std::string line)
{
    if (error)
        *error = std::move(line);
    return nullptr;
}

} // namespace

const char* text(StoreState state)
{
    switch (state) {
    case StoreState::full: return "full";
    case StoreState::failed: return "failed";
    case StoreState::writing: break;
    }
    return "writing";
}

void MinuteFigures::add(const history::Sample& s)
{
    if (readings() == 0) {
        setpoint_min = setpoint_max = s.setpoint;
        first_time = s.time_ms;
    } else {
        setpoint_min = std::min<std::int64_t>(setpoint_min, s.setpoint);
        setpoint_max = std::max<std::int64_t>(setpoint_max, s.setpoint);
    }
    last_time = s.time_ms;
    if (s.mode == history::Mode::zep)
        ++zep;
    if (s.limit == history::Limit::low)
        ++low;
    else if (s.limit == history::Limit::high)
        ++high;
    if (s.mark == history::Mark::over) {
        ++over;
        return;
    }
    if (s.mark == history::Mark::under) {
        ++under;
        return;
    }
    if (count == 0) {
        min = max = first = s.value;
    } else {
        min = std::min<std::int64_t>(min, s.value);
        max = std::max<std::int64_t>(max, s.value);
    }
    last = s.value;
    ++count;
    sum += s.value;
    sum_squares += std::int64_t(s.value) * s.value;
}

void MinuteFigures::add(const MinuteFigures& b)
{
    if (b.readings() == 0)
        return;
    if (readings() == 0) {
        const std::int64_t m = minute;
        *this = b;
        minute = m;
        return;
    }
    setpoint_min = std::min(setpoint_min, b.setpoint_min);
    setpoint_max = std::max(setpoint_max, b.setpoint_max);
    last_time = b.last_time;
    zep += b.zep;
    low += b.low;
    high += b.high;
    over += b.over;
    under += b.under;
    if (b.count > 0) {
        if (count == 0) {
            min = b.min;
            max = b.max;
            first = b.first;
        } else {
            min = std::min(min, b.min);
            max = std::max(max, b.max);
        }
        last = b.last;
        count += b.count;
        sum += b.sum;
        sum_squares += b.sum_squares;
    }
}

// --- opening ---------------------------------------------------------------

std::unique_ptr<ReadingStore> ReadingStore::open(const StoreOptions& options, std::string* error)
{
    const std::string& path = options.path;
    const std::string who = options.program + ": ";
    const std::string name = "the store " + quoted(path);
    if (path.empty())
        return fail(error, who + "--store needs a file name; give one, e.g. --store readings.db");

    auto impl = std::make_unique<Impl>();
    impl->options = options;
    impl->options.commit_interval_ms = std::clamp(options.commit_interval_ms, 1, 1000);

    // Our own descriptor first: it creates a missing file (never truncating
    // one), tells a read-only file or directory apart, and holds the lock
    // that keeps a second program off the store.
    const bool existed = ::access(path.c_str(), F_OK) == 0;
    impl->lock_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    if (impl->lock_fd < 0) {
        const int e = errno;
        if (e == EACCES || e == EROFS || e == EPERM)
            return fail(error, who + "cannot write " + name + ": " + std::strerror(e) +
                                   "; make it (and its directory) writable, or give another file with --store");
        return fail(error, who + "cannot open " + name + ": " + std::strerror(e) +
                               "; give a file in an existing, writable directory with --store");
    }
    struct stat st {};
    if (::fstat(impl->lock_fd, &st) != 0 || !S_ISREG(st.st_mode))
        return fail(error, who + name + " is not a regular file; give a file with --store");
    if (::access(impl->dir().c_str(), W_OK) != 0)
        return fail(error, who + "cannot write beside " + name + " (its journal goes there): " +
                               std::strerror(errno) +
                               "; make the directory writable, or give a file in another one with --store");
    if (::flock(impl->lock_fd, LOCK_EX | LOCK_NB) != 0)
        return fail(error, who + name + " is in use by " + holder_of(path) +
                               "; end that program, or give another file with --store");
    // Ours alone from here: a file this open made goes again if it fails.
    impl->remove_on_failure = !existed;
    ::fstat(impl->lock_fd, &st);  // as it is now that no one else writes it

    // Anything but an SQLite file (or nothing) is left as it is.
    if (st.st_size > 0) {
        char head[16] = {};
        if (::pread(impl->lock_fd, head, sizeof head, 0) != sizeof head ||
            std::memcmp(head, "SQLite format 3", 16) != 0)
            return fail(error, who + name + " is not a korvel store (not an SQLite file); "
                                         "give another file with --store");
    }

    std::string why;
    if (impl->writer_db.open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, &why) != SQLITE_OK)
        return fail(error, who + "cannot open " + name + ": " + why + "; give another file with --store");
    sqlite3_busy_timeout(impl->writer_db.get(), 2000);
    Connection& db = impl->writer_db;
    auto corrupt = [&](const std::string& what) {
        return fail(error, who + name + " is damaged (" + what +
                               "); move it aside (sqlite3 FILE .recover may save its readings), or give another file with --store");
    };

    std::int64_t app = 0, version = 0, objects = 0;
    {
        Statement a(db, "PRAGMA application_id");
        Statement v(db, "PRAGMA user_version");
        Statement o(db, "SELECT count(*) FROM sqlite_master");
        const int rc = a.step();
        if (rc == SQLITE_NOTADB)
            return fail(error, who + name + " is not a korvel store (not an SQLite file); give another file with --store");
        if (rc == SQLITE_CORRUPT)
            return corrupt(db.message());
        if (rc != SQLITE_ROW || v.step() != SQLITE_ROW || o.step() != SQLITE_ROW)
            return fail(error, who + "cannot read " + name + ": " + db.message() + "; give another file with --store");
        app = a.integer(0);
        version = v.integer(0);
        objects = o.integer(0);
    }
    const bool fresh = app == 0 && version == 0 && objects == 0;
    if (!fresh && app != application_id)
        return fail(error, who + name + " is not a korvel store (another SQLite database); "
                                     "give another file with --store");
    if (version > schema_version)
        return fail(error, who + name + " comes from a newer korvel (layout " + std::to_string(version) +
                               ", this one knows up to " + std::to_string(schema_version) +
                               "); use that korvel, or give another file with --store");
    if (!fresh && version < 1)
        return corrupt("no layout version");

    if (db.exec("PRAGMA journal_mode=WAL", &why) != SQLITE_OK)
        return fail(error, who + "cannot write " + name + ": " + why + "; give another file with --store");
    // Each commit reaches the disk before the next: a crash of the PC, not
    // only of the program, loses at most the last quarter second.
    db.exec("PRAGMA synchronous=FULL");
    if (fresh) {
        std::string sql = "BEGIN IMMEDIATE;" + std::string(schema_sql) +
                          "PRAGMA application_id=" + std::to_string(application_id) +
                          ";PRAGMA user_version=" + std::to_string(schema_version) + ";COMMIT;";
        if (db.exec(sql.c_str(), &why) != SQLITE_OK) {
            db.exec("ROLLBACK");
            return fail(error, who + "cannot write " + name + ": " + why + "; give another file with --store");
        }
    }
    {
        // The newest time, through the readings' own index; a damaged page
        // on that path shows here.
        Statement newest(db, "SELECT time FROM readings ORDER BY time DESC LIMIT 1");
        Statement minutes(db, "SELECT count(*) FROM minutes");
        const int rc = newest.step();
        if (rc == SQLITE_ROW)
            impl->last_time = newest.integer(0);
        else if (rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB)
            return corrupt(db.message());
        else if (rc != SQLITE_DONE)
            return fail(error, who + "cannot read " + name + ": " + db.message() + "; give another file with --store");
        const int mrc = minutes.step();
        if (mrc == SQLITE_CORRUPT)
            return corrupt(db.message());
        if (mrc != SQLITE_ROW)
            return fail(error, who + "cannot read " + name + ": " + db.message() + "; give another file with --store");
        impl->committed_time = impl->last_time;
    }
    {
        Statement holder(db, "INSERT INTO holder(pid, program, since) VALUES(?, ?, ?)");
        holder.bind(1, ::getpid()).bind_text(2, options.program).bind(3, now_ms());
        if (db.exec("BEGIN IMMEDIATE; DELETE FROM holder;", &why) != SQLITE_OK || holder.step() != SQLITE_DONE ||
            db.exec("COMMIT", &why) != SQLITE_OK) {
            db.exec("ROLLBACK");
            const bool full = sqlite3_errcode(db.get()) == SQLITE_FULL;
            return fail(error, who + "cannot write " + name + ": " + (why.empty() ? db.message() : why) +
                                   (full ? "; free some space on its file system" : "; give another file with --store"));
        }
    }
    if (impl->reader_db.open(path, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, &why) != SQLITE_OK)
        return fail(error, who + "cannot read " + name + ": " + why + "; give another file with --store");
    sqlite3_busy_timeout(impl->reader_db.get(), 200);

    if (!impl->space_left())
        impl->stop_writing(StoreState::full,
                           who + "the file system of " + name +
                               " is at its last free space: the store keeps no more readings (the panel runs on); free some space and start again");
    impl->remove_on_failure = false;
    impl->writer = std::thread([p = impl.get()] { p->run_writer(); });
    return std::unique_ptr<ReadingStore>(new ReadingStore(std::move(impl)));
}

std::unique_ptr<ReadingStore> ReadingStore::open_read_only(const std::string& path, const std::string& program,
                                                         std::string* error)
{
    const std::string who = program + ": ";
    const std::string name = "the store " + quoted(path);
    auto impl = std::make_unique<Impl>();
    impl->options.path = path;
    impl->options.program = program;
    impl->read_only = true;
    // Our own look at the head first: SQLite is given only an SQLite file.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return fail(error, who + "cannot read " + name + ": " + std::strerror(errno) + "; give an existing store");
    char head[16] = {};
    const bool sqlite = ::pread(fd, head, sizeof head, 0) == sizeof head && std::memcmp(head, "SQLite format 3", 16) == 0;
    ::close(fd);
    if (!sqlite)
        return fail(error, who + name + " is not a korvel store (not an SQLite file)");
    std::string why;
    if (impl->reader_db.open(path, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, &why) != SQLITE_OK)
        return fail(error, who + "cannot read " + name + ": " + why);
    sqlite3_busy_timeout(impl->reader_db.get(), 2000);
    Connection& db = impl->reader_db;
    Statement a(db, "PRAGMA application_id");
    Statement v(db, "PRAGMA user_version");
    const int rc = a.step();
    if (rc == SQLITE_NOTADB)
        return fail(error, who + name + " is not a korvel store (not an SQLite file)");
    if (rc == SQLITE_CORRUPT)
        return fail(error, who + name + " is damaged (" + db.message() + "); sqlite3 FILE .recover may save its readings");
    if (rc != SQLITE_ROW || v.step() != SQLITE_ROW)
        return fail(error, who + "cannot read " + name + ": " + db.message());
    if (a.integer(0) != application_id)
        return fail(error, who + name + " is not a korvel store (another SQLite database)");
    if (v.integer(0) > schema_version)
        return fail(error, who + name + " comes from a newer korvel (layout " + std::to_string(v.integer(0)) +
                               "); review it with that korvel");
    Statement newest(db, "SELECT time FROM readings ORDER BY time DESC LIMIT 1");
    const int nrc = newest.step();
    if (nrc == SQLITE_ROW)
        impl->last_time = impl->committed_time = newest.integer(0);
    else if (nrc != SQLITE_DONE)
        return fail(error, who + name + " is damaged (" + db.message() + "); sqlite3 FILE .recover may save its readings");
    return std::unique_ptr<ReadingStore>(new ReadingStore(std::move(impl)));
}

ReadingStore::ReadingStore(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ReadingStore::~ReadingStore() = default;

ReadingStore::Impl::~Impl()
{
    {
        const std::lock_guard lock(wake_mutex);
        stopping = true;
    }
    wake.notify_all();
    if (writer.joinable())
        writer.join();
    if (writer_db) {
        const std::lock_guard lock(writer_mutex);
        writer_db.exec("DELETE FROM holder");
    }
    reader_db.close();
    writer_db.close();
    // Last: closing any descriptor of the file lets go of SQLite's locks too.
    if (remove_on_failure) {
        ::unlink(options.path.c_str());
        ::unlink((options.path + "-wal").c_str());
        ::unlink((options.path + "-shm").c_str());
    }
    if (lock_fd >= 0)
        ::close(lock_fd);
}

void ReadingStore::Impl::say(const std::string& line) const
{
    if (options.say) {
        options.say(line);
    } else {
        const std::string l = line + "\n";
        [[maybe_unused]] auto n = ::write(2, l.data(), l.size());
    }
}

void ReadingStore::Impl::stop_writing(StoreState why, const std::string& line)
{
    {
        const std::lock_guard lock(state_mutex);
        if (state.load() != int(StoreState::writing))
            return;
        state_line = line;
        state.store(int(why));
    }
    say(line);
}

std::string ReadingStore::Impl::dir() const
{
    const std::filesystem::path p = std::filesystem::path(options.path).parent_path();
    return p.empty() ? "." : p.string();
}

bool ReadingStore::Impl::space_left() const
{
    struct statvfs fs {};
    if (::statvfs(dir().c_str(), &fs) != 0 || fs.f_blocks == 0)
        return true;
    return double(fs.f_bavail) / double(fs.f_blocks) >= options.min_free;
}

// --- writing ---------------------------------------------------------------

int ReadingStore::Impl::commit(const std::vector<history::Sample>& batch, std::string* why)
{
    if (batch.empty())
        return SQLITE_OK;
    Connection& db = writer_db;
    int rc = db.exec("BEGIN IMMEDIATE", why);
    if (rc != SQLITE_OK)
        return rc;
    auto failed = [&](int code) {
        if (why->empty())
            *why = db.message();
        db.exec("ROLLBACK");
        return code;
    };
    {
        Statement row(db, "INSERT OR REPLACE INTO readings(time, value, mark, mode, setpoint, verdict) "
                          "VALUES(?, ?, ?, ?, ?, ?)");
        std::map<std::int64_t, MinuteFigures> minutes;
        for (const history::Sample& s : batch) {
            row.bind(1, s.time_ms).bind(2, s.value).bind(3, int(s.mark)).bind(4, int(s.mode));
            row.bind(5, s.setpoint).bind(6, int(s.limit));
            if ((rc = row.step()) != SQLITE_DONE)
                return failed(rc);
            row.reset();
            MinuteFigures& m = minutes[minute_of(s.time_ms)];
            m.minute = minute_of(s.time_ms);
            m.add(s);
        }
        Statement old(db, "SELECT count, value_min, value_max, value_first, value_last, value_sum, "
                          "value_sum_squares, over, under, low, high, zep, setpoint_min, setpoint_max, "
                          "first_time, last_time FROM minutes WHERE minute = ?");
        Statement put(db, "INSERT OR REPLACE INTO minutes(minute, count, value_min, value_max, value_first, "
                          "value_last, value_sum, value_sum_squares, over, under, low, high, zep, setpoint_min, "
                          "setpoint_max, first_time, last_time) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
        for (auto& [minute, later] : minutes) {
            MinuteFigures m;
            m.minute = minute;
            old.bind(1, minute);
            rc = old.step();
            if (rc == SQLITE_ROW) {
                m.count = old.integer(0);
                m.min = old.integer(1);
                m.max = old.integer(2);
                m.first = old.integer(3);
                m.last = old.integer(4);
                m.sum = old.integer(5);
                m.sum_squares = old.integer(6);
                m.over = old.integer(7);
                m.under = old.integer(8);
                m.low = old.integer(9);
                m.high = old.integer(10);
                m.zep = old.integer(11);
                m.setpoint_min = old.integer(12);
                m.setpoint_max = old.integer(13);
                m.first_time = old.integer(14);
                m.last_time = old.integer(15);
            } else if (rc != SQLITE_DONE) {
                return failed(rc);
            }
            old.reset();
            m.add(later);
            put.bind(1, m.minute).bind(2, m.count);
            if (m.count > 0) {
                put.bind(3, m.min).bind(4, m.max).bind(5, m.first).bind(6, m.last);
            }
            put.bind(7, m.sum).bind(8, m.sum_squares).bind(9, m.over).bind(10, m.under);
            put.bind(11, m.low).bind(12, m.high).bind(13, m.zep).bind(14, m.setpoint_min);
            put.bind(15, m.setpoint_max).bind(16, m.first_time).bind(17, m.last_time);
            if ((rc = put.step()) != SQLITE_DONE)
                return failed(rc);
            put.reset();
        }
    }
    rc = db.exec("COMMIT", why);
    if (rc != SQLITE_OK)
        return failed(rc);
    return SQLITE_OK;
}

bool ReadingStore::Impl::retire_some(std::string* why, int* rc)
{
    *rc = SQLITE_OK;
    if (options.keep_days <= 0)
        return false;
    const std::int64_t cutoff = minute_of(now_ms() - std::int64_t(options.keep_days) * 86400000);
    Connection& db = writer_db;
    std::int64_t first = 0;
    {
        Statement q(db, "SELECT minute FROM minutes ORDER BY minute LIMIT 1");
        const int r = q.step();
        if (r == SQLITE_DONE)
            return false;
        if (r != SQLITE_ROW) {
            *rc = r;
            *why = db.message();
            return false;
        }
        first = q.integer(0);
    }
    if (first >= cutoff)
        return false;
    // Whole minutes at a time, so that rows and minutes stay in step: half
    // an hour holds 5400 readings at 3 readings/s.
    const std::int64_t end = std::min(cutoff, first + 30 * minute_ms);
    if ((*rc = db.exec("BEGIN IMMEDIATE", why)) != SQLITE_OK)
        return false;
    Statement rows(db, "DELETE FROM readings WHERE time < ?");
    Statement mins(db, "DELETE FROM minutes WHERE minute < ?");
    rows.bind(1, end);
    mins.bind(1, end);
    int r = rows.step();
    if (r == SQLITE_DONE)
        r = mins.step();
    if (r != SQLITE_DONE || (r = db.exec("COMMIT", why)) != SQLITE_OK) {
        *rc = r;
        if (why->empty())
            *why = db.message();
        db.exec("ROLLBACK");
        return false;
    }
    return end < cutoff;
}

void ReadingStore::Impl::run_writer()
{
    using clock = std::chrono::steady_clock;
    std::vector<history::Sample> batch;
    batch.reserve(4096);
    auto next_retire = clock::now();
    const std::string name = "the store '" + options.path + "'";
    const std::string who = options.program + ": ";
    auto stop_for = [&](int rc, const std::string& why) {
        if (rc == SQLITE_FULL)
            stop_writing(StoreState::full, who + "the file system of " + name +
                                               " is full: the store keeps no more readings (the panel runs on); "
                                               "free some space and start again");
        else
            stop_writing(StoreState::failed, who + "cannot write " + name + ": " + why +
                                                 "; the store keeps no more readings (the panel runs on); "
                                                 "check the file and its disk, then start again");
    };
    bool more_to_retire = false;
    for (;;) {
        bool stop = false;
        {
            // A backlog of old readings goes batch after batch, each with
            // what came in meanwhile.
            std::unique_lock lock(wake_mutex);
            if (!more_to_retire)
                wake.wait_for(lock, std::chrono::milliseconds(options.commit_interval_ms), [&] { return stopping; });
            stop = stopping;
        }
        more_to_retire = false;
        batch.clear();
        const std::size_t n = ring.drain(batch);
        if (state.load() == int(StoreState::writing)) {
            const std::lock_guard lock(writer_mutex);
            if (!batch.empty() && !space_left()) {
                stop_writing(StoreState::full,
                             who + "the file system of " + name +
                                 " is at its last free space: the store keeps no more readings (the panel runs on); "
                                 "free some space and start again");
            } else {
                std::string why;
                const auto began = clock::now();
                if (const int rc = commit(batch, &why); rc != SQLITE_OK) {
                    stop_for(rc, why);
                } else if (!batch.empty()) {
                    committed_time.store(batch.back().time_ms, std::memory_order_release);
                    if (options.on_commit)
                        options.on_commit(batch.size(),
                                          std::chrono::duration_cast<std::chrono::nanoseconds>(clock::now() - began)
                                              .count());
                }
            }
            if (state.load() == int(StoreState::writing) && clock::now() >= next_retire) {
                std::string why;
                int rc = SQLITE_OK;
                more_to_retire = retire_some(&why, &rc);
                if (rc != SQLITE_OK)
                    stop_for(rc, why);
                next_retire = clock::now() + (more_to_retire ? std::chrono::seconds(0) : std::chrono::seconds(10));
            }
        }
        processed.fetch_add(n, std::memory_order_release);
        if (stop && ring.pushed() == processed.load())
            return;
    }
}

// --- the panel's side ------------------------------------------------------

bool ReadingStore::add(const history::Sample& sample)
{
    Impl& d = *impl_;
    if (d.read_only)
        return false;
    history::Sample s = sample;
    if (d.last_time != INT64_MIN && s.time_ms <= d.last_time)
        s.time_ms = d.last_time + 1;
    if (d.state.load(std::memory_order_relaxed) != int(StoreState::writing)) {
        // Writing has stopped: the newest readings are still read from
        // here (as many as the history's ring holds), so that the front
        // ends go on showing the live readings.
        d.last_time = s.time_ms;
        d.pending.push_back(s);
        if (d.pending.size() > kept_after_stop)
            d.pending.pop_front();
        return false;
    }
    if (!d.ring.push(s)) {
        if (d.dropped.fetch_add(1, std::memory_order_relaxed) == 0)
            d.say(d.options.program + ": the store '" + d.options.path +
                  "' falls hours behind its disk: readings are left out until it catches up (the panel "
                  "runs on); check the disk");
        return false;
    }
    d.last_time = s.time_ms;
    const std::int64_t committed = d.committed_time.load(std::memory_order_acquire);
    while (!d.pending.empty() && d.pending.front().time_ms <= committed)
        d.pending.pop_front();
    d.pending.push_back(s);
    return true;
}

bool ReadingStore::write_batch(const std::vector<history::Sample>& samples, std::string* error)
{
    Impl& d = *impl_;
    if (d.read_only) {
        if (error)
            *error = "the store is open only to be read";
        return false;
    }
    std::vector<history::Sample> batch;
    batch.reserve(samples.size());
    for (history::Sample s : samples) {
        if (d.last_time != INT64_MIN && s.time_ms <= d.last_time)
            s.time_ms = d.last_time + 1;
        d.last_time = s.time_ms;
        batch.push_back(s);
    }
    const std::lock_guard lock(d.writer_mutex);
    std::string why;
    if (d.commit(batch, &why) != SQLITE_OK) {
        if (error)
            *error = why;
        return false;
    }
    if (!batch.empty())
        d.committed_time.store(batch.back().time_ms, std::memory_order_release);
    return true;
}

void ReadingStore::flush()
{
    Impl& d = *impl_;
    const std::size_t target = d.ring.pushed();
    while (d.processed.load(std::memory_order_acquire) < target) {
        d.wake.notify_all();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

StoreState ReadingStore::state() const { return StoreState(impl_->state.load()); }

std::string ReadingStore::state_line() const
{
    const std::lock_guard lock(impl_->state_mutex);
    return impl_->state_line;
}

std::uint64_t ReadingStore::dropped() const { return impl_->dropped.load(); }

const std::string& ReadingStore::path() const { return impl_->options.path; }

} // namespace korvel::store
