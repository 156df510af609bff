#include "sim/board_state.h"

#include "port/registers.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvel::sim {

namespace {

// Every field is reached through atomic_ref, so a reader in another process
// never races with a writer in the sense of the language, and the record
// stays a plain struct. Lock-free atomics on shared mappings work across
// processes.
template <class T>
T load(const T& field, std::memory_order order = std::memory_order_relaxed)
{
    // atomic_ref needs a non-const object; a load does not write it, so this
    // is safe on a read-only mapping too.
    return std::atomic_ref<T>(const_cast<T&>(field)).load(order);
}

template <class T>
void store(T& field, T value, std::memory_order order = std::memory_order_relaxed)
{
    std::atomic_ref<T>(field).store(value, order);
}

static_assert(std::atomic_ref<std::uint32_t>::is_always_lock_free);
static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free);

// A writer that died while holding the sequence lock (a crashed korvel-sim)
// must not block a reader or a watchdog for ever: after this many spins the
// lock counts as stale.
constexpr long stale_spins = 10'000'000;

// Takes the write side of the sequence lock, taking a stale one over.
std::uint32_t lock_for_write(BoardState& s)
{
    std::atomic_ref<std::uint32_t> seq(s.sequence);
    for (long spins = 0;; ++spins) {
        std::uint32_t v = seq.load(std::memory_order_relaxed);
        if ((v & 1u) == 0) {
            if (seq.compare_exchange_weak(v, v + 1, std::memory_order_acquire))
                return v + 1;
        } else if (spins > stale_spins) {
            // Stale: the writer is gone. Keep the count odd and go on.
            seq.store(v + 2, std::memory_order_relaxed);
            return v + 2;
        }
    }
}

void unlock_after_write(BoardState& s, std::uint32_t odd)
{
    std::atomic_ref<std::uint32_t>(s.sequence).store(odd + 1, std::memory_order_release);
}

} // namespace

BoardWrite BoardState::recent(std::size_t n) const
{
    const std::uint64_t total = writes;
    if (n >= ring_size || n >= total)
        return BoardWrite{};
    return ring[(total - 1 - n) % ring_size];
}

void reset_state(BoardState& s, int base)
{
    std::memset(static_cast<void*>(&s), 0, sizeof s);
    s.magic = BoardState::magic_value;
    s.version = BoardState::layout_version;
    s.base = static_cast<std::uint32_t>(base);
}

void board_write(BoardState& s, int offset, std::uint8_t value, std::int64_t time_ns,
                 bool board_present)
{
    const std::uint32_t odd = lock_for_write(s);

    switch (offset) {
    case reg::data_offset:
        store(s.data, value);
        break;
    case reg::control_offset:
        store(s.control, value);
        if (board_present && (value & 1u)) {
            // While bit 5 turns the data lines to input nobody drives them,
            // and the pull-ups give 255.
            const std::uint8_t lines =
                (value & reg::ctl_direction_bit) ? std::uint8_t{255} : load(s.data);
            if (value & 2u)
                store(s.latch_lo, lines);
            else
                store(s.latch_hi, lines);
        }
        break;
    default:
        // The status register and the unused fourth address take nothing.
        break;
    }

    const std::uint64_t n = load(s.writes) + 1;
    BoardWrite& w = s.ring[(n - 1) % BoardState::ring_size];
    store(w.time_ns, time_ns);
    store(w.address, static_cast<std::uint16_t>(load(s.base) + static_cast<unsigned>(offset)));
    store(w.value, value);
    store(w.seq, n);
    store(s.writes, n);

    unlock_after_write(s, odd);
}

BoardState snapshot(const BoardState& s)
{
    BoardState copy;
    for (long spins = 0;; ++spins) {
        const std::uint32_t before = load(s.sequence, std::memory_order_acquire);
        if ((before & 1u) && spins < stale_spins)
            continue;
        copy.magic = load(s.magic);
        copy.version = load(s.version);
        copy.sequence = before;
        copy.base = load(s.base);
        copy.writes = load(s.writes);
        copy.data = load(s.data);
        copy.control = load(s.control);
        copy.latch_lo = load(s.latch_lo);
        copy.latch_hi = load(s.latch_hi);
        std::memset(copy.reserved, 0, sizeof copy.reserved);
        for (std::size_t i = 0; i < BoardState::ring_size; ++i) {
            copy.ring[i].seq = load(s.ring[i].seq);
            copy.ring[i].time_ns = load(s.ring[i].time_ns);
            copy.ring[i].address = load(s.ring[i].address);
            copy.ring[i].value = load(s.ring[i].value);
            std::memset(copy.ring[i].reserved, 0, sizeof copy.ring[i].reserved);
        }
        std::atomic_thread_fence(std::memory_order_acquire);
        if (load(s.sequence, std::memory_order_relaxed) == before || spins >= stale_spins)
            return copy;
    }
}

Registers registers(const BoardState& s)
{
    for (long spins = 0;; ++spins) {
        const std::uint32_t before = load(s.sequence, std::memory_order_acquire);
        if ((before & 1u) && spins < stale_spins)
            continue;
        const Registers r{load(s.data), load(s.control), load(s.latch_lo), load(s.latch_hi)};
        std::atomic_thread_fence(std::memory_order_acquire);
        if (load(s.sequence, std::memory_order_relaxed) == before || spins >= stale_spins)
            return r;
    }
}

BoardState* map_state_file(const std::string& path, std::string* error)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error)
            *error = std::strerror(errno);
        return nullptr;
    }
    if (::ftruncate(fd, sizeof(BoardState)) != 0) {
        if (error)
            *error = std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    void* p = ::mmap(nullptr, sizeof(BoardState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    const int saved = errno;
    ::close(fd);
    if (p == MAP_FAILED) {
        if (error)
            *error = std::strerror(saved);
        return nullptr;
    }
    auto* s = static_cast<BoardState*>(p);
    reset_state(*s);
    return s;
}

namespace {

// Maps an existing record; nullptr unless it holds a board state.
void* map_existing(const std::string& path, bool writable, std::string* error)
{
    const int fd = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) {
        if (error)
            *error = std::strerror(errno);
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(sizeof(BoardState))) {
        if (error)
            *error = "the file is too short to hold a board state";
        ::close(fd);
        return nullptr;
    }
    void* p = ::mmap(nullptr, sizeof(BoardState), writable ? PROT_READ | PROT_WRITE : PROT_READ,
                     MAP_SHARED, fd, 0);
    const int saved = errno;
    ::close(fd);
    if (p == MAP_FAILED) {
        if (error)
            *error = std::strerror(saved);
        return nullptr;
    }
    const auto* s = static_cast<const BoardState*>(p);
    if (load(s->magic) != BoardState::magic_value
        || load(s->version) != BoardState::layout_version) {
        if (error)
            *error = "the file holds no board state";
        ::munmap(p, sizeof(BoardState));
        return nullptr;
    }
    return p;
}

} // namespace

BoardState* attach_state_file(const std::string& path, std::string* error)
{
    return static_cast<BoardState*>(map_existing(path, true, error));
}

const BoardState* map_state_file_readonly(const std::string& path, std::string* error)
{
    return static_cast<const BoardState*>(map_existing(path, false, error));
}

void unmap_state(const BoardState* s)
{
    if (s)
        ::munmap(const_cast<BoardState*>(s), sizeof(BoardState));
}

} // namespace korvel::sim
