#include "app/lab_network.h"

#include "app/panel_instrument.h"
#include "discovery/advertiser.h"
#include "port/parport_proc.h"
#include "port/text.h"
#include "remote/vxi11_server.h"

#include <QHostInfo>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace korvel {

std::optional<ListenAddress> parse_vxi11_address(std::string_view text, std::string* why)
{
    if (text.empty())
        return parse_listen_address("0", why);
    if (text[0] == ':')
        return parse_listen_address(text.substr(1), why);
    std::string full(text);
    const bool bracketed = text[0] == '[';
    const bool has_port = bracketed ? text.find("]:") != std::string_view::npos
                                    : text.find(':') != std::string_view::npos;
    // A number alone would pass for an IPv4 address ("4880" is 0.0.19.16):
    // it is a port given without its colon.
    if (!has_port && text.find_first_not_of("0123456789") == std::string_view::npos) {
        *why = "a port alone is written :PORT (--vxi11 :" + std::string(text) + ")";
        return std::nullopt;
    }
    if (!has_port)
        full += ":0";
    return parse_listen_address(full, why);
}

namespace {

constexpr int rpcbind_retry_ms = 5000;

struct Vxi11Front {
    std::string model;
    std::unique_ptr<remote::Vxi11Server> server;
};

// Lives while the panel runs: the server over the panel's view, and the
// retry of the registration while rpcbind does not answer. A child of the
// session's attachments, so the server ends (and unregisters) before the
// panel does.
struct Attached : QObject {
    explicit Attached(QObject* parent) : QObject(parent) {}
    ~Attached() override { server.reset(); }

    std::unique_ptr<PanelInstrument> instrument;
    std::unique_ptr<remote::Vxi11Server> server;
    QTimer retry;
};

} // namespace

std::optional<FrontEnds> prepare_vxi11(const std::string& model, const std::string& address,
                                       bool record_to_stdout, std::string* error, ListenAddress* bound)
{
    std::string why;
    const auto where = parse_vxi11_address(address, &why);
    if (!where) {
        *error = model + ": --vxi11 '" + address + "': " + why;
        return std::nullopt;
    }
    auto front = std::make_shared<Vxi11Front>();
    front->model = model;
    front->server = std::make_unique<remote::Vxi11Server>();
    std::string cause;
    if (!front->server->listen(where->host, where->port, &cause)) {
        *error = model + ": cannot serve VXI-11 on " + address_text(where->host, where->port).toStdString() +
                 " (" + cause + "); choose another port, or stop the program that uses it";
        return std::nullopt;
    }
    const QString text = address_text(front->server->address(), front->server->port());
    if (bound)
        *bound = {front->server->address(), front->server->port()};
    std::FILE* out = record_to_stdout ? stderr : stdout;
    std::fprintf(out, "korvel: VXI-11 on %s (abort channel %u)\n", qPrintable(text),
                 unsigned(front->server->abort_port()));
    std::fflush(out);
    if (!where->host.isLoopback())
        write_diagnostic_line(model + ": warning: serving VXI-11 on " + text.toStdString() +
                              ": anyone on that network can drive the board; serve on 127.0.0.1 "
                              "unless that is meant");
    if (!front->server->register_with_rpcbind(&cause))
        write_diagnostic_line(model + ": VXI-11 on " + text.toStdString() +
                              " is not registered with rpcbind: " + cause +
                              "; clients that ask rpcbind find it once it is (retried every 5 s)");
    return FrontEnds([front](PanelSession& session) {
        if (!front->server)
            return;
        auto* a = new Attached(&session.attachments());
        a->instrument = std::make_unique<PanelInstrument>(session.panel(), front->model, &session.history());
        a->instrument->use_trend(session.trend_open, session.set_trend_open);
        a->server = std::move(front->server);
        a->server->attach(*a->instrument);
        if (a->server->registered())
            return;
        QObject::connect(&a->retry, &QTimer::timeout, a, [a, model = front->model] {
            std::string cause;
            if (!a->server->register_with_rpcbind(&cause))
                return;
            a->retry.stop();
            write_diagnostic_line(model + ": VXI-11 is registered with rpcbind now");
        });
        a->retry.start(rpcbind_retry_ms);
    });
}

std::string port_label(const app::Program& program, const app::Request& request, SystemCalls& sys,
                       const HardwarePaths& paths)
{
    const unsigned base = request.port.value_or(0x378);
    if (program.real_ports)
        for (const auto& p : list_parports(sys, paths.proc + "/sys/dev/parport"))
            if (p.base == base)
                return "parport" + std::to_string(p.number);
    return hex_address(static_cast<long>(base));
}

FrontEnds prepare_discovery(const std::string& model, const std::string& port, const LabServers& servers)
{
    const std::string idn = "korvel," + model + ",0," KORVEL_VERSION;
    const std::string host = QHostInfo::localHostName().toStdString();
    auto advertiser = std::make_shared<discovery::Advertiser>(model, model + " on " + host + " (" + port + ")");
    bool any = false;
    const auto add = [&](const std::optional<ListenAddress>& server, const char* type, const std::string& path) {
        if (!server || !discovery::reaches_network(server->host))
            return;
        advertiser->add({type, server->host, server->port, discovery::identity_txt(idn, path)});
        any = true;
    };
    add(servers.scpi, "_scpi-raw._tcp", {});
    add(servers.http, "_lxi._tcp", "/");
    add(servers.http, "_http._tcp", "/");
    add(servers.vxi11, "_vxi-11._tcp", {});
    if (!any)
        return {};
    advertiser->start();
    return FrontEnds([advertiser](PanelSession&) {});
}

} // namespace korvel
