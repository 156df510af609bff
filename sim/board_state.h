// The simulated board's registers and output latches as one plain record.
//
// BoardState holds no pointers and no library types, so it can live in a
// file mapped by several processes: korvel-sim writes it, a test (or a
// watchdog process) reads it, and a watchdog may also write the safe state
// into it after the panel has gone. All access goes through the functions
// below: board_write() is the one place the latch logic lives, and
// snapshot() gives a consistent copy while another process may be writing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

namespace korvel::sim {

// One write to a register of the board, as kept in the ring.
struct BoardWrite {
    std::uint64_t seq;      // 1 for the first write ever; 0 while the slot is unused
    std::int64_t time_ns;   // writer's clock
    std::uint16_t address;  // I/O address written
    std::uint8_t value;     // byte written
    std::uint8_t reserved[5];
};

struct BoardState {
    static constexpr std::uint32_t magic_value = 0x4B53494D; // "KSIM"
    static constexpr std::uint32_t layout_version = 1;
    static constexpr std::size_t ring_size = 64;

    std::uint32_t magic;
    std::uint32_t version;
    // Even while the record is stable, odd while a write is being applied
    // (a sequence lock shared between processes).
    std::uint32_t sequence;
    std::uint32_t base;      // port base the board answers at

    std::uint64_t writes;    // writes so far; the last one has seq == writes

    std::uint8_t data;       // data register: the byte the port drives
    std::uint8_t control;    // control register: the code last written
    std::uint8_t latch_lo;   // low output latch
    std::uint8_t latch_hi;   // high output latch: sign in bit 7
    std::uint8_t reserved[4];

    // The last ring_size writes: write n (1-based) sits at ring[(n - 1) % ring_size].
    BoardWrite ring[ring_size];

    // The n-th most recent write (0 = the last one), or an empty record when
    // fewer writes were made. Plain reads: use it on a snapshot().
    BoardWrite recent(std::size_t n) const;
    bool valid() const { return magic == magic_value && version == layout_version; }
};

static_assert(std::is_trivial_v<BoardState> && std::is_standard_layout_v<BoardState>,
              "BoardState must stay a plain record that can live in shared memory");

// The power-on state: every register and latch 0, no writes yet.
void reset_state(BoardState& s, int base = 0x378);

// Applies one byte written at base + offset (0 data, 1 status, 2 control,
// 3 unused) and records it in the ring. A control write with bit 0 set is a
// latch strobe: bit 1 chooses the latch (set: low latch, so code 3; clear:
// high latch, so code 1), which takes the byte on the data lines: the data
// register, or 255 (lines pulled up) while control bit 5 has turned the
// port's data lines to input. When
// board_present is false only the port's own registers change: there are no
// latches to take the byte. Safe to call from any process that maps the
// record, and free of allocation and locks other than the record's own.
void board_write(BoardState& s, int offset, std::uint8_t value, std::int64_t time_ns,
                 bool board_present = true);

// A consistent copy of the record, taken while another process may write.
BoardState snapshot(const BoardState& s);

// The four registers alone, consistently and cheaply.
struct Registers {
    std::uint8_t data;
    std::uint8_t control;
    std::uint8_t latch_lo;
    std::uint8_t latch_hi;
};
Registers registers(const BoardState& s);

// Maps the record from a file shared between processes: the file is created
// or truncated, sized and initialised to the power-on state. Returns nullptr
// and fills *error on failure. Release with unmap_state().
BoardState* map_state_file(const std::string& path, std::string* error = nullptr);

// Maps an existing record read-write without resetting it: for a process
// that must put the board of a korvel-sim that has gone into the safe state
// (board_write on the result). Returns nullptr and fills *error when the
// file holds no record.
BoardState* attach_state_file(const std::string& path, std::string* error = nullptr);

// Maps an existing record read-only (for tests that watch a running or ended
// korvel-sim). Returns nullptr and fills *error when the file is missing, too
// short or holds no record.
const BoardState* map_state_file_readonly(const std::string& path, std::string* error = nullptr);

void unmap_state(const BoardState* s);

} // namespace korvel::sim
