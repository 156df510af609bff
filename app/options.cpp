#include "app/options.h"

#include "app/lab_network.h"
#include "app/scripting.h"
#include "port/port_address.h"

#include <QSet>

namespace korvel::app {

namespace {

const QCommandLineOption help_option({"h", "help"}, "Show this help and exit.");
const QCommandLineOption version_option({"v", "version"}, "Show the version and exit.");
const QCommandLineOption list_option("list-ports",
                                     "List the parallel ports the kernel runs and whether this "
                                     "program can use each, then exit. Claims no port and writes "
                                     "nothing.");

QCommandLineOption port_option(const Program& program)
{
    QString text = "Start on the port at this base address: 0x hex (0xD010), &H hex (&HD010), "
                   "decimal (53264) or a ppdev device (/dev/parport1). Default: 0x378.";
    if (!program.real_ports)
        text += " The simulated board answers at 0x378 only.";
    return QCommandLineOption("port", text, "address");
}

const QCommandLineOption listen_option(
    "listen",
    "Serve SCPI commands on a TCP port beside the window. The host is 127.0.0.1 unless given; "
    "port 0 picks a free port; the address taken is printed on standard output.",
    "[host:]port");
const QCommandLineOption record_option(
    "record",
    "Append one CSV row per accepted reading to this file (- for standard output).", "file");
const QCommandLineOption store_option(
    "store",
    "Keep every accepted reading in this SQLite file (created when missing), and start with "
    "the readings it holds: the trend, the web page and TRACe:DATA? read them.",
    "file");
const QCommandLineOption store_keep_option(
    "store-keep", "Delete readings older than this many days from --store (0 keeps all). Default: 90.",
    "days");

const QCommandLineOption trend_option(
    "trend", "Open the trend window (the readings against time) beside the panel at start.");
const QCommandLineOption sweep_option(
    "sweep", "Open the sweep window (set-point sweeps with the XY plot) beside the panel at start.");
const QCommandLineOption no_window_option(
    "no-window",
    "Run without a window, display or widget library: the panel is driven only through "
    "--listen, --vxi11 or --http. SIGTERM, SIGINT and SIGHUP end it by the Exit sequence.");
const QCommandLineOption make_safe_option(
    "make-safe",
    "Claim the port (--port, default 0x378), put the board into the safe state, release the "
    "port and exit: 0 when done, 1 (and why) when the port could not be claimed.");
const QCommandLineOption if_service_failed_option(
    "if-service-failed",
    "With --make-safe: do nothing when systemd reports that the service's main process ended "
    "cleanly ($SERVICE_RESULT=success, $EXIT_CODE=exited, $EXIT_STATUS=0); for ExecStopPost=.");
const QCommandLineOption http_option(
    "http",
    "Serve the web page (identification, live state, trend; control after login) on a TCP "
    "port. The host is 127.0.0.1 unless given; port 0 picks a free port; the address taken is "
    "printed on standard output.",
    "[host:]port");
const QCommandLineOption http_password_option(
    "http-password-file",
    "The web page's password: a file whose first line is a hash made by --hash-password. "
    "Without it the page is read-only.",
    "file");
const QCommandLineOption http_cert_option(
    "http-cert", "Serve the web page over HTTPS with this PEM certificate (with --http-key).", "file");
const QCommandLineOption http_key_option(
    "http-key", "The PEM private key of --http-cert.", "file");
const QCommandLineOption vxi11_option(
    "vxi11",
    "Serve the VXI-11 channels (device inst0) and register them with rpcbind. The host is "
    "127.0.0.1 unless given, the port any free one unless given (:PORT); the value may be "
    "left out.",
    "[host][:port]");
const QCommandLineOption no_mdns_option(
    "no-mdns",
    "Advertise nothing over mDNS. Otherwise each server on an address other than loopback "
    "(--listen, --http, --vxi11) is advertised through avahi-daemon.");
const QCommandLineOption review_option(
    "review",
    "Open the trend window read only on a reading store of --store or a CSV log of --record, "
    "without a panel or a port: the "
    "graph, statistics, limits and export. Closing it ends the program.",
    "file");
const QCommandLineOption hash_password_option(
    "hash-password",
    "Read a password from standard input (asked twice on a terminal) and print its hash for "
    "--http-password-file, then exit.");

// --vxi11 may come without its value: given so ("--vxi11" last, or before
// another option), it is "--vxi11=".
QStringList with_vxi11_value(const QStringList& args)
{
    QStringList out;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        const bool bare = a == "--vxi11" || a == "-vxi11";
        if (bare && (i + 1 == args.size() || args[i + 1].startsWith('-')))
            out.append("--vxi11=");
        else
            out.append(a);
    }
    return out;
}

// Single-dash words are whole option names, as Qt's own options are
// ("-platform" is one option, not -p -l -a ...).
void prepare(QCommandLineParser& parser, const Program& program)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    add_options(parser, program);
}

// An argument shown in a one-line diagnostic: control characters replaced.
std::string quoted(const QString& text)
{
    std::string s = text.toStdString();
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return "'" + s + "'";
}

std::string failure(const Program& program, const std::string& what)
{
    return std::string(program.name) + ": " + what + "; see '" + program.name + " --help'";
}

// Qt's text of a parse error as a clause: "unknown option 'bogus'".
std::string clause(const QString& error)
{
    std::string s = error.toStdString();
    if (!s.empty() && s.back() == '.')
        s.pop_back();
    if (!s.empty() && s[0] >= 'A' && s[0] <= 'Z')
        s[0] = static_cast<char>(s[0] - 'A' + 'a');
    return s;
}

Request failed(std::string error)
{
    Request r;
    r.action = Request::Action::Fail;
    r.error = std::move(error);
    return r;
}

// The name of an option argument ("--port=1" and "-port" give "port"), or
// "" for anything else.
QString option_name(const QString& arg)
{
    if (arg.size() < 2 || arg[0] != '-' || arg == "--")
        return {};
    return arg.mid(arg.startsWith("--") ? 2 : 1).section('=', 0, 0);
}

// The options QGuiApplication and QApplication take for themselves.
const QSet<QString> qt_options = {
    "platform", "platformpluginpath", "platformtheme", "plugin", "qmljsdebugger",
    "qwindowgeometry", "qwindowicon", "qwindowtitle", "reverse", "session",
    "display", "geometry", "title", "icon", "name", "dialogs", "fontengine",
    "style", "stylesheet", "widgetcount", "nograb", "dograb", "sync", "visual",
    "testability"};

// The web page's options into r; what is wrong with them, or "".
std::string read_http_options(const QCommandLineParser& parser, Request& r)
{
    const QCommandLineOption* const options[] = {&http_option, &http_password_option,
                                                 &http_cert_option, &http_key_option};
    std::optional<std::string>* const fields[] = {&r.http, &r.http_password_file, &r.http_cert,
                                                  &r.http_key};
    for (std::size_t i = 0; i < std::size(options); ++i) {
        const QStringList values = parser.values(*options[i]);
        if (values.size() > 1)
            return "--" + options[i]->names()[0].toStdString() + " given more than once";
        if (values.size() == 1)
            *fields[i] = values[0].toStdString();
    }
    if (r.http) {
        std::string why;
        if (!parse_listen_address(*r.http, &why))
            return "--http " + quoted(QString::fromStdString(*r.http)) + ": " + why;
    } else if (r.http_password_file || r.http_cert || r.http_key) {
        return "--http-password-file, --http-cert and --http-key go with --http";
    }
    if (r.http_cert.has_value() != r.http_key.has_value())
        return "--http-cert and --http-key go together";
    return {};
}

// --store and --store-keep into r; what is wrong with them, or "".
std::string read_store_options(const QCommandLineParser& parser, Request& r)
{
    const QStringList store = parser.values(store_option);
    const QStringList keep = parser.values(store_keep_option);
    if (store.size() > 1 || keep.size() > 1)
        return "--store and --store-keep are given once each";
    // An empty name keeps no store (the service's KORVEL_STORE= does so).
    if (store.size() == 1 && !store[0].isEmpty())
        r.store = store[0].toStdString();
    if (keep.size() == 1) {
        bool ok = false;
        const int days = keep[0].toInt(&ok);
        if (!ok || days < 0 || days > 36500)
            return "--store-keep " + quoted(keep[0]) + ": the days are a whole number from 0 to 36500";
        if (store.isEmpty())
            return "--store-keep goes with --store";
        r.store_keep_days = days;
    }
    return {};
}

} // namespace

void add_options(QCommandLineParser& parser, const Program& program)
{
    parser.addOption(help_option);
    parser.addOption(version_option);
    parser.addOption(port_option(program));
    parser.addOption(listen_option);
    parser.addOption(record_option);
    parser.addOption(store_option);
    parser.addOption(store_keep_option);
    parser.addOption(trend_option);
    parser.addOption(sweep_option);
    parser.addOption(no_window_option);
    parser.addOption(http_option);
    parser.addOption(http_password_option);
    parser.addOption(http_cert_option);
    parser.addOption(http_key_option);
    parser.addOption(hash_password_option);
    parser.addOption(vxi11_option);
    parser.addOption(no_mdns_option);
    parser.addOption(review_option);
    if (program.real_ports) {
        parser.addOption(list_option);
        parser.addOption(make_safe_option);
        parser.addOption(if_service_failed_option);
    }
}

bool drives_without_window(const Request& request)
{
    // The web page drives the board only after a login, which needs a
    // password file; without one it is read-only.
    return request.listen.has_value() || request.vxi11.has_value() ||
           (request.http.has_value() && request.http_password_file.has_value());
}

Request read_own_options(const QStringList& given, const Program& program, SystemCalls& sys,
                         const HardwarePaths& paths)
{
    const QStringList args = with_vxi11_value(given);
    QCommandLineParser parser;
    prepare(parser, program);
    if (!parser.parse(args)) {
        // Options that are not the program's are Qt's business, not yet
        // checkable; without them, any error is one in the program's own.
        // Anything else is refused here already, so that a mistyped
        // option gets its one line even where no display can be opened.
        QStringList own;
        for (const QString& arg : args)
            if (!qt_options.contains(option_name(arg)))
                own.append(arg);
        if (!parser.parse(own))
            return failed(failure(program, clause(parser.errorText())));
    }

    Request r;
    if (parser.isSet(help_option))
        r.action = Request::Action::Help;
    else if (parser.isSet(version_option))
        r.action = Request::Action::Version;
    else if (program.real_ports && parser.isSet(list_option))
        r.action = Request::Action::ListPorts;
    else if (program.real_ports && parser.isSet(make_safe_option))
        r.action = Request::Action::MakeSafe;
    else if (parser.isSet(hash_password_option))
        r.action = Request::Action::HashPassword;
    else if (parser.isSet(review_option))
        r.action = Request::Action::Review;
    if (r.action == Request::Action::Review) {
        // A file looked at: no panel, so nothing that drives or serves one.
        const QStringList files = parser.values(review_option);
        if (files.size() > 1)
            return failed(failure(program, "--review given more than once"));
        for (const char* name : {"port", "listen", "record", "store", "store-keep", "trend", "no-window", "http",
                                 "http-password-file", "http-cert", "http-key"})
            if (parser.isSet(QString::fromLatin1(name)))
                return failed(failure(program, "--review looks at a file without a panel or a port, so "
                                               "--" + std::string(name) + " does not go with it"));
        r.review = files[0].toStdString();
        if (r.review.empty())
            return failed(failure(program, "--review needs a file"));
        return r;
    }
    if (r.action != Request::Action::Run && r.action != Request::Action::MakeSafe)
        return r;
    if (program.real_ports && parser.isSet(if_service_failed_option)) {
        if (r.action != Request::Action::MakeSafe)
            return failed(failure(program, "--if-service-failed goes with --make-safe"));
        r.only_if_service_failed = true;
    }

    const QStringList ports = parser.values("port");
    if (ports.size() > 1)
        return failed(failure(program, "--port given more than once"));
    if (ports.size() == 1) {
        const PortAddress a = parse_port_address(ports[0].toStdString(), sys, paths);
        if (!a.base)
            return failed(failure(program, "--port " + quoted(ports[0]) + ": " + a.problem));
        r.port = a.base;
    }

    const QStringList listen = parser.values(listen_option);
    const QStringList record = parser.values(record_option);
    if (listen.size() > 1 || record.size() > 1)
        return failed(failure(program, "--listen and --record are given once each"));
    if (listen.size() == 1) {
        std::string why;
        if (!parse_listen_address(listen[0].toStdString(), &why))
            return failed(failure(program, "--listen " + quoted(listen[0]) + ": " + why));
        r.listen = listen[0].toStdString();
    }
    if (record.size() == 1)
        r.record = record[0].toStdString();
    if (std::string error = read_http_options(parser, r); !error.empty())
        return failed(failure(program, error));
    if (std::string error = read_store_options(parser, r); !error.empty())
        return failed(failure(program, error));
    if (const QStringList vxi11 = parser.values(vxi11_option); !vxi11.isEmpty()) {
        if (vxi11.size() > 1)
            return failed(failure(program, "--vxi11 given more than once"));
        std::string why;
        if (!parse_vxi11_address(vxi11[0].toStdString(), &why))
            return failed(failure(program, "--vxi11 " + quoted(vxi11[0]) + ": " + why));
        r.vxi11 = vxi11[0].toStdString();
    }
    r.no_mdns = parser.isSet(no_mdns_option);
    r.no_window = parser.isSet(no_window_option);
    if (r.action == Request::Action::Run && r.no_window && !drives_without_window(r))
        return failed(failure(program, "--no-window needs a way to drive the board: add --listen "
                                       "[HOST:]PORT, --vxi11, or --http [HOST:]PORT with --http-password-file"));
    r.trend = parser.isSet(trend_option);
    if (r.action == Request::Action::Run && r.no_window && r.trend)
        return failed(failure(program, "--trend opens a window, which --no-window leaves out"));
    r.sweep = parser.isSet(sweep_option);
    if (r.action == Request::Action::Run && r.no_window && r.sweep)
        return failed(failure(program, "--sweep opens a window, which --no-window leaves out"));
    return r;
}

std::string check_remaining(const QStringList& args, const Program& program)
{
    QCommandLineParser parser;
    prepare(parser, program);
    if (!parser.parse(with_vxi11_value(args)))
        return failure(program, clause(parser.errorText()));
    if (!parser.positionalArguments().isEmpty())
        return failure(program, "unexpected argument " + quoted(parser.positionalArguments()[0]));
    return {};
}

std::string help_text(const Program& program)
{
    QCommandLineParser parser;
    prepare(parser, program);
    parser.setApplicationDescription(
        QString(program.real_ports
                    ? "The panel of the instrument board on a parallel port."
                    : "The panel of the instrument board, on a built-in simulated board at 0x378.") +
        "\nQt's own options (-platform, -display, -style ...) are accepted too.");
    return parser.helpText().toStdString();
}

std::string version_line(const Program& program)
{
    return std::string(program.name) + " " + KORVEL_VERSION;
}

std::string version_text(const Program& program)
{
    return version_line(program) +
           "\nCopyright (C) 2025-2026 Zepora"
           "\nLicense GPLv3+: GNU GPL version 3 or later <https://gnu.org/licenses/gpl.html>."
           "\nThis is free software: you are free to change and redistribute it."
           "\nThere is NO WARRANTY, to the extent permitted by law.\n";
}

} // namespace korvel::app
