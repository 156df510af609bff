// The instrument board behind the test machine's port at 0x378.
//
// Preloaded into QEMU (LD_PRELOAD), whose isa-parallel device with a
// "parallel" chardev passes every register access of the guest to a host
// ppdev device: data and control writes become PPWDATA / PPWCONTROL, status
// reads PPRSTATUS, and so on. This library answers those ioctls on one
// scratch file, named by KORVEL_VM_BOARD, with the simulated board of sim/:
// the two output latches and the voltmeter converter on the real clock. The
// guest's own parport_pc and ppdev then drive a board.
//
// The converter measures KORVEL_VM_BOARD_OFFSET counts (default 12345) plus
// the board's own set-point output, so a reading shows both a fixed input
// and the set-point the guest's korvel drives.
//
// Every other ioctl, and every ioctl on another file, goes to the C
// library's own. Test support only: no installed program links it.
#include "sim/clock.h"
#include "sim/sim_board.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <memory>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/stat.h>

namespace {

using korvel::sim::SimBoard;

constexpr int base = SimBoard::board_base;
constexpr int data_register = base;
constexpr int status_register = base + 1;
constexpr int control_register = base + 2;

// The control lines a program sets through ppdev: strobe, auto-feed, init,
// select-in. The direction bit (0x20) is the port's own and set by PPDATADIR.
constexpr unsigned control_lines = 0x0F;
constexpr unsigned reverse_direction = 0x20;

using IoctlFunction = int (*)(int, unsigned long, void*);

struct Board {
    korvel::sim::RealClock clock;
    std::unique_ptr<SimBoard> board;
    dev_t device = 0;
    ino_t inode = 0;
    bool claimed = false;
    bool reverse = false;
    unsigned lines = 0;   // control lines last written
    int mode = IEEE1284_MODE_COMPAT;
    std::mutex lock;
};

IoctlFunction next_ioctl()
{
    static const IoctlFunction next =
        reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
    return next;
}

// The board, made on the first ppdev request for the scratch file; nullptr
// when KORVEL_VM_BOARD is unset or names no file (then nothing is answered
// here, and the request goes on to the kernel).
Board* board_for_setup()
{
    static Board* const made = [] () -> Board* {
        const char* path = std::getenv("KORVEL_VM_BOARD");
        if (!path || !*path)
            return nullptr;
        struct stat st {};
        if (stat(path, &st) != 0) {
            std::fprintf(stderr, "korvel-vm-board: cannot use %s: %s; create the scratch file before "
                                 "QEMU starts\n", path, std::strerror(errno));
            return nullptr;
        }
        auto* b = new Board;
        b->device = st.st_dev;
        b->inode = st.st_ino;
        b->board = std::make_unique<SimBoard>(b->clock);
        double offset = 12345;
        if (const char* text = std::getenv("KORVEL_VM_BOARD_OFFSET"); text && *text)
            offset = std::strtod(text, nullptr);
        SimBoard* sim = b->board.get();
        sim->use_waveform_input([sim, offset](std::int64_t) {
            const auto& s = sim->state();
            const double magnitude = static_cast<double>(((s.latch_hi & 0x7F) << 8) | s.latch_lo);
            return offset + ((s.latch_hi & 0x80) ? -magnitude : magnitude);
        });
        std::fprintf(stderr, "korvel-vm-board: the board answers on %s (input %g counts plus the "
                             "set-point)\n", path, offset);
        return b;
    }();
    return made;
}

bool is_board_file(const Board& b, int fd)
{
    struct stat st {};
    return fstat(fd, &st) == 0 && st.st_dev == b.device && st.st_ino == b.inode;
}

int fail(int error)
{
    errno = error;
    return -1;
}

void write_control(Board& b)
{
    b.board->Out32(control_register,
                   static_cast<std::int16_t>(b.lines | (b.reverse ? reverse_direction : 0)));
}

// One ppdev request on the board, as the kernel's ppdev answers it for a
// standard port.
int answer(Board& b, unsigned long request, void* arg)
{
    std::lock_guard<std::mutex> guard(b.lock);
    auto* byte = static_cast<unsigned char*>(arg);
    switch (request) {
    case PPCLAIM:
        if (b.claimed)
            return fail(EINVAL);
        b.claimed = true;
        return 0;
    case PPRELEASE:
        b.claimed = false;
        return 0;
    case PPEXCL:
    case PPYIELD:
        return 0;
    case PPGETMODES:
        *static_cast<unsigned*>(arg) = PARPORT_MODE_PCSPP;
        return 0;
    case PPGETMODE:
        *static_cast<int*>(arg) = b.mode;
        return 0;
    case PPSETMODE:
        b.mode = *static_cast<int*>(arg);
        return 0;
    case PPNEGOT:
        // Only compatibility mode: the board speaks no IEEE 1284.
        return *static_cast<int*>(arg) == IEEE1284_MODE_COMPAT ? 0 : fail(EIO);
    default:
        break;
    }
    if (!b.claimed)
        return fail(EINVAL);
    switch (request) {
    case PPWDATA:
        b.board->Out32(data_register, *byte);
        return 0;
    case PPRDATA:
        // Reversed, the data lines float high: the board drives none of them.
        *byte = b.reverse ? 0xFF : static_cast<unsigned char>(b.board->Inp32(data_register));
        return 0;
    case PPRSTATUS:
        *byte = static_cast<unsigned char>(b.board->Inp32(status_register));
        return 0;
    case PPWCONTROL:
        b.lines = *byte & control_lines;
        write_control(b);
        return 0;
    case PPRCONTROL:
        *byte = static_cast<unsigned char>(b.lines);
        return 0;
    case PPFCONTROL: {
        const auto* frob = static_cast<const ppdev_frob_struct*>(arg);
        b.lines = ((b.lines & ~frob->mask) ^ frob->val) & control_lines;
        write_control(b);
        return 0;
    }
    case PPDATADIR:
        b.reverse = *static_cast<int*>(arg) != 0;
        write_control(b);
        return 0;
    default:
        return fail(ENOTTY);
    }
}

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (_IOC_TYPE(request) == PP_IOCTL) {
        Board* b = board_for_setup();
        if (b && is_board_file(*b, fd))
            return answer(*b, request, arg);
    }
    IoctlFunction next = next_ioctl();
    if (!next)
        return fail(ENOSYS);
    return next(fd, request, arg);
}
