// The command line of korvel and korvel-sim: every option in one place.
//
// It is read twice. Before the Qt application exists (and before the
// watchdog is forked), only the program's own options count: --help,
// --version and --list-ports are answered, and a bad --port value is
// refused, with no display needed and nothing started. Anything else may be
// one of Qt's own options (-platform, -display, -style ...) and is left to
// the Qt application, which takes its own options out; whatever remains then
// must be the program's own, or the program ends with status 2 before any
// port is opened.
#pragma once

#include "port/hardware_port.h"
#include "port/system_calls.h"

#include <QCommandLineParser>
#include <QStringList>

#include <optional>
#include <string>

namespace korvel::app {

struct Program {
    const char* name = "korvel";
    // Whether the program drives the machine's real ports: it then offers
    // --list-ports and the kernel's ports in the port selector.
    bool real_ports = true;
};

// What the command line asks for.
struct Request {
    enum class Action { Run, Help, Version, ListPorts, MakeSafe, HashPassword, Review, Fail };
    Action action = Action::Run;
    std::optional<unsigned> port;  // --port, resolved to a base address
    std::string error;             // Fail: the line for standard error
    std::optional<std::string> listen;  // --listen [HOST:]PORT, checked
    std::optional<std::string> record;  // --record FILE|-
    std::string review;                 // Review: the file of --review
    std::optional<std::string> store;   // --store FILE: the reading store
    int store_keep_days = 90;           // --store-keep DAYS (0: all)
    bool trend = false;                 // --trend: the trend window open at start
    bool sweep = false;                 // --sweep: the sweep window open at start
    bool no_window = false;             // --no-window
    // --if-service-failed (with --make-safe): act only when the service
    // manager reports that the main process did not end cleanly.
    bool only_if_service_failed = false;
    // The web page: --http [HOST:]PORT (checked), its password file and
    // HTTPS certificate and key.
    std::optional<std::string> http;
    std::optional<std::string> http_password_file;
    std::optional<std::string> http_cert;
    std::optional<std::string> http_key;
    // --vxi11 [HOST][:PORT] (checked; "" when given without a value).
    std::optional<std::string> vxi11;
    bool no_mdns = false;               // --no-mdns: nothing advertised over mDNS
};

// Whether the request opens a way to drive the board without the window
// (--listen, --vxi11, or --http with a password file): --no-window is refused
// without one.
bool drives_without_window(const Request& request);

// Exit status for a command line that cannot be followed.
constexpr int usage_status = 2;

// Every option of the program, for a parser.
void add_options(QCommandLineParser& parser, const Program& program);

// The first reading (args as in argv, the program's name first). Options
// that are not the program's are passed over; sys and paths resolve a
// "/dev/parportN" value of --port.
Request read_own_options(const QStringList& args, const Program& program, SystemCalls& sys,
                         const HardwarePaths& paths);

// The second reading, of what the Qt application left: the line for
// standard error when something is not the program's own, else "".
std::string check_remaining(const QStringList& args, const Program& program);

// The usage text for --help. Needs a QCoreApplication (for the program's
// name as it was started).
std::string help_text(const Program& program);

// "korvel 0.1.0".
std::string version_line(const Program& program);

// What --version prints: the version line, the copyright and the licence,
// as GNU programs give them; ends with a newline.
std::string version_text(const Program& program);

} // namespace korvel::app
