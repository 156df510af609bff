#include "app/scripting.h"

#include "app/form_instrument.h"
#include "remote/recorder.h"
#include "remote/server.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <charconv>
#include <cstdio>

namespace korvel {

std::optional<ListenAddress> parse_listen_address(std::string_view text, std::string* why)
{
    std::string_view host = "127.0.0.1";
    std::string_view port = text;
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find("]:");
        if (close == std::string_view::npos) {
            *why = "an IPv6 address is written [ADDRESS]:PORT";
            return std::nullopt;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else if (const std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.find(':') != std::string_view::npos) {
            *why = "an IPv6 address is written [ADDRESS]:PORT";
            return std::nullopt;
        }
    }
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (port.empty() || ec != std::errc() || end != port.data() + port.size() || value > 65535) {
        *why = "the port is a number from 0 to 65535";
        return std::nullopt;
    }
    ListenAddress a;
    a.port = static_cast<quint16>(value);
    if (host == "localhost") {
        a.host = QHostAddress(QHostAddress::LocalHost);
    } else if (!a.host.setAddress(QString::fromUtf8(host.data(), static_cast<qsizetype>(host.size())))) {
        *why = "the host is an IP address such as 127.0.0.1";
        return std::nullopt;
    }
    return a;
}

namespace {

QString shown(const QHostAddress& host, quint16 port)
{
    const QString h = host.protocol() == QAbstractSocket::IPv6Protocol
                          ? QStringLiteral("[%1]").arg(host.toString())
                          : host.toString();
    return QStringLiteral("%1:%2").arg(h).arg(port);
}

// What the options start, kept from configure() to start().
struct Scripting {
    std::string model;
    std::unique_ptr<remote::Server> server;
    std::unique_ptr<remote::Recorder> recorder;
    bool record_to_stdout = false;

    std::optional<int> configure(const QStringList& arguments);
    std::shared_ptr<void> start(PanelSession& session);
};

int refuse(QString what)
{
    if (what.endsWith(QLatin1Char('.')))
        what.chop(1);
    std::fprintf(stderr, "korvel: %s; see --help\n", qPrintable(what));
    return 2;
}

std::optional<int> Scripting::configure(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The Zepora : Korvel panel."));
    parser.addHelpOption();
    const QCommandLineOption listen(
        QStringLiteral("listen"),
        QStringLiteral("Serve SCPI commands on a TCP port (HOST defaults to 127.0.0.1; PORT 0 "
                       "picks a free port)."),
        QStringLiteral("[HOST:]PORT"));
    const QCommandLineOption record(
        QStringLiteral("record"),
        QStringLiteral("Append one CSV row per accepted reading to FILE (- for standard output)."),
        QStringLiteral("FILE"));
    parser.addOption(listen);
    parser.addOption(record);
    if (!parser.parse(arguments))
        return refuse(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return refuse(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments()[0]));
    if (parser.values(listen).size() > 1 || parser.values(record).size() > 1)
        return refuse(QStringLiteral("--listen and --record are given once each"));

    if (parser.isSet(record)) {
        record_to_stdout = parser.value(record) == QStringLiteral("-");
        std::string error;
        recorder = remote::Recorder::open(parser.value(record).toStdString(), &error);
        if (!recorder) {
            std::fprintf(stderr, "korvel: %s\n", error.c_str());
            return 2;
        }
    }
    if (parser.isSet(listen)) {
        std::string why;
        const auto address = parse_listen_address(parser.value(listen).toStdString(), &why);
        if (!address)
            return refuse(QStringLiteral("bad --listen address '%1': %2")
                              .arg(parser.value(listen), QString::fromStdString(why)));
        server = std::make_unique<remote::Server>();
        std::string error;
        if (!server->listen(address->host, address->port, &error)) {
            std::fprintf(stderr,
                         "korvel: cannot listen on %s (%s); choose another port, or stop the "
                         "program that uses it\n",
                         qPrintable(shown(address->host, address->port)), error.c_str());
            return 2;
        }
        if (!address->host.isLoopback())
            std::fprintf(stderr,
                         "korvel: warning: listening on %s: anyone on that network can drive "
                         "the board; listen on 127.0.0.1 unless that is meant\n",
                         qPrintable(shown(server->address(), server->port())));
    }
    return std::nullopt;
}

// Lives while the panel runs: the view of the panel, and the log and the
// server attached to it; the log and server end first.
struct Attached {
    std::unique_ptr<FormInstrument> instrument;
    std::unique_ptr<remote::RecordingSubscription> recording;
    std::unique_ptr<remote::Server> server;
    std::unique_ptr<remote::Recorder> recorder;

    ~Attached()
    {
        server.reset();
        recording.reset();
    }
};

std::shared_ptr<void> Scripting::start(PanelSession& session)
{
    if (!server && !recorder)
        return nullptr;
    auto a = std::make_shared<Attached>();
    a->instrument = std::make_unique<FormInstrument>(session.form(), model);
    a->recorder = std::move(recorder);
    a->server = std::move(server);
    if (a->recorder)
        a->recording = std::make_unique<remote::RecordingSubscription>(*a->instrument, *a->recorder);
    if (a->server) {
        a->server->attach(*a->instrument);
        // On standard output, unless the rows go there: then the output
        // stays plain CSV.
        std::FILE* out = record_to_stdout ? stderr : stdout;
        std::fprintf(out, "korvel: listening on %s\n",
                     qPrintable(shown(a->server->address(), a->server->port())));
        std::fflush(out);
    }
    return a;
}

} // namespace

PanelExtras scripting_extras(std::string model)
{
    auto s = std::make_shared<Scripting>();
    s->model = std::move(model);
    PanelExtras extras;
    extras.configure = [s](const QStringList& arguments) { return s->configure(arguments); };
    extras.start = [s](PanelSession& session) { return s->start(session); };
    return extras;
}

} // namespace korvel
