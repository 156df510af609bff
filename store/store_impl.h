// Inside the reading store: the file's layout, the ring from the panel's
// thread to the writer, and the figures of one minute. Plain C++.
#pragma once

#include "store/reading_store.h"
#include "store/sqlite.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace korvel::store {

// One producer (the panel's thread), one consumer (the writer): no lock, no
// allocation, never a wait.
class SampleRing {
public:
    static constexpr std::size_t capacity = 65536;  // about 6 hours at 3 readings/s

    bool push(const history::Sample& s)
    {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) >= capacity)
            return false;
        slots_[tail % capacity] = s;
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }
    template <class Out> std::size_t drain(Out& out)
    {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        const std::size_t tail = tail_.load(std::memory_order_acquire);
        for (std::size_t i = head; i != tail; ++i)
            out.push_back(slots_[i % capacity]);
        head_.store(tail, std::memory_order_release);
        return tail - head;
    }
    std::size_t pushed() const { return tail_.load(std::memory_order_acquire); }

private:
    std::array<history::Sample, capacity> slots_{};
    alignas(64) std::atomic<std::size_t> head_{0};
    alignas(64) std::atomic<std::size_t> tail_{0};
};

// The figures of one minute's readings, as the minutes table keeps them.
struct MinuteFigures {
    std::int64_t minute = 0;  // its start, ms since 1970-01-01 UTC
    std::int64_t count = 0;   // readings without a mark
    std::int64_t min = 0, max = 0, first = 0, last = 0;  // of those, when count > 0
    std::int64_t sum = 0, sum_squares = 0;
    std::int64_t over = 0, under = 0, low = 0, high = 0, zep = 0;
    std::int64_t setpoint_min = 0, setpoint_max = 0;
    std::int64_t first_time = 0, last_time = 0;

    std::int64_t readings() const { return count + over + under; }
    void add(const history::Sample& s);
    // Adds the figures of a later part of the same minute.
    void add(const MinuteFigures& later);
};

constexpr std::int64_t minute_ms = 60000;
inline std::int64_t minute_of(std::int64_t t)
{
    return (t >= 0 ? t : t - (minute_ms - 1)) / minute_ms * minute_ms;
}

class ReadingStore::Impl {
public:
    StoreOptions options;
    int lock_fd = -1;
    // Opened to be looked at (open_read_only): no writer, nothing added.
    bool read_only = false;
    // The file this open created, removed again should the open fail.
    bool remove_on_failure = false;
    Connection writer_db;  // the writer thread's (and write_batch's)
    Connection reader_db;  // the panel thread's, read only
    std::mutex writer_mutex;  // the writer connection: writer thread or write_batch

    SampleRing ring;
    std::atomic<std::uint64_t> dropped{0};
    std::atomic<std::size_t> processed{0};  // drained from the ring and committed or given up
    std::atomic<std::int64_t> committed_time{INT64_MIN};
    std::atomic<int> state{int(StoreState::writing)};
    mutable std::mutex state_mutex;
    std::string state_line;

    std::mutex wake_mutex;
    std::condition_variable wake;
    bool stopping = false;  // under wake_mutex
    std::thread writer;

    // The panel's thread: the newest time handed over, and the readings
    // handed over that the reader may not see yet (in time order).
    std::int64_t last_time = INT64_MIN;
    mutable std::deque<history::Sample> pending;
    // The panel's thread: the last count of the file's readings, with the
    // newest time and the oldest minute it was taken at.
    struct CountCache {
        bool valid = false;
        std::int64_t oldest = 0, newest = 0;
        std::size_t count = 0;
    };
    mutable CountCache count_cache;

    ~Impl();
    void say(const std::string& line) const;
    void stop_writing(StoreState why, const std::string& line);
    std::string dir() const;
    bool space_left() const;

    void run_writer();
    // One transaction: the rows and their minutes. SQLITE_OK or the code.
    int commit(const std::vector<history::Sample>& batch, std::string* why);
    // Deletes one small batch older than the retention; true when more is left.
    bool retire_some(std::string* why, int* rc);
};

} // namespace korvel::store
