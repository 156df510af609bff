#include "app/scripting.h"

#include "app/panel_instrument.h"
#include "remote/recorder.h"
#include "remote/server.h"

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

QString address_text(const QHostAddress& host, quint16 port)
{
    const QString h = host.protocol() == QAbstractSocket::IPv6Protocol
                          ? QStringLiteral("[%1]").arg(host.toString())
                          : host.toString();
    return QStringLiteral("%1:%2").arg(h).arg(port);
}

namespace {

// What the options opened, until the panel starts.
struct Scripting {
    std::string model;
    std::unique_ptr<remote::Server> server;
    std::unique_ptr<remote::Recorder> recorder;
    bool record_to_stdout = false;

    void start(PanelSession& session);
};

// Lives while the panel runs: the view of the panel, and the log and the
// server attached to it; the log and server end first. A child of the
// session's attachments, so it goes before the panel does.
struct Attached : QObject {
    explicit Attached(QObject* parent) : QObject(parent) {}
    ~Attached() override
    {
        server.reset();
        recording.reset();
    }

    std::unique_ptr<PanelInstrument> instrument;
    std::unique_ptr<remote::RecordingSubscription> recording;
    std::unique_ptr<remote::Server> server;
    std::unique_ptr<remote::Recorder> recorder;
};

void Scripting::start(PanelSession& session)
{
    if (!server && !recorder)
        return;
    auto* a = new Attached(&session.attachments());
    a->instrument = std::make_unique<PanelInstrument>(session.panel(), model, &session.history());
    a->instrument->read_from(&session.readings());
    a->instrument->use_trend(session.trend_open, session.set_trend_open);
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
                     qPrintable(address_text(a->server->address(), a->server->port())));
        std::fflush(out);
    }
}

} // namespace

std::optional<FrontEnds> prepare_scripting(const std::string& model,
                                              const std::optional<std::string>& listen,
                                              const std::optional<std::string>& record,
                                              std::string* error,
                                              ListenAddress* listening)
{
    auto s = std::make_shared<Scripting>();
    s->model = model;
    if (record) {
        s->record_to_stdout = *record == "-";
        s->recorder = remote::Recorder::open(*record, error);
        if (!s->recorder) {
            *error = model + ": " + *error;
            return std::nullopt;
        }
    }
    if (listen) {
        std::string why;
        const auto address = parse_listen_address(*listen, &why);
        if (!address) {
            *error = model + ": --listen '" + *listen + "': " + why;
            return std::nullopt;
        }
        s->server = std::make_unique<remote::Server>();
        std::string cause;
        if (!s->server->listen(address->host, address->port, &cause)) {
            *error = model + ": cannot listen on " +
                     address_text(address->host, address->port).toStdString() + " (" + cause +
                     "); choose another port, or stop the program that uses it";
            return std::nullopt;
        }
        if (listening)
            *listening = {s->server->address(), s->server->port()};
        if (!address->host.isLoopback())
            std::fprintf(stderr,
                         "%s: warning: listening on %s: anyone on that network can drive "
                         "the board; listen on 127.0.0.1 unless that is meant\n",
                         model.c_str(), qPrintable(address_text(s->server->address(), s->server->port())));
    }
    return FrontEnds([s](PanelSession& session) { s->start(session); });
}

} // namespace korvel
