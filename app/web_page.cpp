#include "app/web_page.h"

#include "web/web_server.h"

#include <QFile>
#include <QHostInfo>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>

#include <cstdio>
#include <iostream>
#include <termios.h>
#include <unistd.h>

#ifndef KORVEL_VERSION
#define KORVEL_VERSION "0.0.0"
#endif

namespace korvel {

namespace {

std::optional<QByteArray> read_file(const std::string& path, std::string* cause)
{
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::ReadOnly)) {
        *cause = f.errorString().toStdString();
        return std::nullopt;
    }
    return f.read(1 << 20);
}

// The certificate and key for HTTPS; nothing and *error on failure.
std::optional<QSslConfiguration> tls_of(const std::string& model, const std::string& cert_path,
                                        const std::string& key_path, std::string* error)
{
    if (!QSslSocket::supportsSsl()) {
        *error = model + ": --http-cert: this Qt has no TLS backend; install libssl3, or serve without "
                         "--http-cert and --http-key";
        return std::nullopt;
    }
    std::string cause;
    const auto cert_bytes = read_file(cert_path, &cause);
    const QList<QSslCertificate> chain =
        cert_bytes ? QSslCertificate::fromData(*cert_bytes, QSsl::Pem) : QList<QSslCertificate>{};
    if (chain.isEmpty()) {
        *error = model + ": --http-cert " + cert_path + ": " +
                 (cert_bytes ? "no PEM certificate in it" : "cannot read it (" + cause + ")") +
                 "; give the PEM certificate of the page";
        return std::nullopt;
    }
    const auto key_bytes = read_file(key_path, &cause);
    QSslKey key;
    if (key_bytes)
        for (const QSsl::KeyAlgorithm a : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa, QSsl::Opaque})
            if (key = QSslKey(*key_bytes, a, QSsl::Pem); !key.isNull())
                break;
    if (key.isNull()) {
        *error = model + ": --http-key " + key_path + ": " +
                 (key_bytes ? "no unencrypted PEM private key in it" : "cannot read it (" + cause + ")") +
                 "; give the certificate's PEM private key";
        return std::nullopt;
    }
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificateChain(chain);
    tls.setPrivateKey(key);
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    return tls;
}

std::string read_password_line(const char* prompt, bool terminal)
{
    if (terminal) {
        std::fputs(prompt, stderr);
        std::fflush(stderr);
    }
    std::string line;
    std::getline(std::cin, line);
    if (terminal)
        std::fputs("\n", stderr);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

} // namespace

// The page's server from its check until the panel runs; then a child of
// the session's attachments, so that it goes before the panel and its
// history do.
struct WebPageSetup {
    ListenAddress address;
    std::unique_ptr<web::WebServer> server;
    web::Identity identity;
    std::function<int()> remote_clients;
    bool announce_on_stderr = false;

    void start(PanelSession& session)
    {
        web::WebServer* s = server.release();
        s->setParent(&session.attachments());
        // /metrics: whether the panel's port reaches its device now.
        web::MetricsSources metrics;
        metrics.port_present = [&session] {
            return session.port().fault(session.panel().base() & 0xFFFF).empty();
        };
        metrics.remote_clients = remote_clients;
        s->attach({&session.panel(), &session.history(), session.trend_open, session.set_trend_open,
                   identity, &session.sweep(), std::move(metrics), &session.readings(),
                   session.store_state_line});
        std::FILE* out = announce_on_stderr ? stderr : stdout;
        std::fprintf(out, "korvel: web page at %s://%s/\n", s->tls() ? "https" : "http",
                     qPrintable(address_text(s->address(), s->port())));
        std::fflush(out);
    }
};

std::shared_ptr<WebPageSetup> check_web_page(const app::Program& program, const app::Request& request,
                                             std::string* error)
{
    const std::string model = program.name;
    std::string why;
    const auto address = parse_listen_address(*request.http, &why);
    if (!address) {
        *error = model + ": --http '" + *request.http + "': " + why;
        return nullptr;
    }
    if (!web::start_crypto()) {
        *error = model + ": --http: the system gives no randomness for sessions; check /dev/urandom";
        return nullptr;
    }
    auto front = std::make_shared<WebPageSetup>();
    front->address = *address;
    front->server = std::make_unique<web::WebServer>();
    if (request.http_password_file) {
        const auto hash = web::read_password_file(*request.http_password_file, &why);
        if (!hash) {
            *error = model + ": --http-password-file " + *request.http_password_file + ": " + why + "; make it with '" +
                     model + " --hash-password > FILE'";
            return nullptr;
        }
        front->server->set_password_hash(*hash);
    }
    if (request.http_cert) {
        const auto tls = tls_of(model, *request.http_cert, *request.http_key, error);
        if (!tls)
            return nullptr;
        front->server->use_tls(*tls);
    }
    return front;
}

std::optional<FrontEnds> serve_web_page(const std::shared_ptr<WebPageSetup>& front, const app::Program& program,
                                        const app::Request& request, const std::optional<ListenAddress>& scpi,
                                        std::string* error, std::function<int()> remote_clients,
                                        const std::optional<ListenAddress>& vxi11, ListenAddress* bound)
{
    const std::string model = program.name;
    const ListenAddress& address = front->address;
    std::string cause;
    if (!front->server->listen(address.host, address.port, &cause)) {
        *error = model + ": cannot serve the web page on " + address_text(address.host, address.port).toStdString() +
                 " (" + cause + "); choose another port, or stop the program that uses it";
        return std::nullopt;
    }
    front->remote_clients = std::move(remote_clients);
    web::Identity& id = front->identity;
    id.model = model;
    id.firmware = KORVEL_VERSION;
    id.hostname = QHostInfo::localHostName().toStdString();
    // An address any interface answers on is reached by the host's name.
    const auto host_of = [&id](const QHostAddress& a) {
        return a == QHostAddress::AnyIPv4 || a == QHostAddress::AnyIPv6 || a == QHostAddress::Any
                   ? id.hostname
                   : a.toString().toStdString();
    };
    if (scpi)
        id.visa = "TCPIP::" + host_of(scpi->host) + "::" + std::to_string(scpi->port) + "::SOCKET";
    if (vxi11)
        id.vxi11_visa = "TCPIP::" + host_of(vxi11->host) + "::INSTR";
    if (bound)
        *bound = {front->server->address(), front->server->port()};
    // Announced on standard output once the panel runs, unless the reading
    // log goes there.
    front->announce_on_stderr = request.record && *request.record == "-";
    if (!address.host.isLoopback())
        std::fprintf(stderr,
                     "%s: warning: serving the web page on %s: anyone on that network can see the board%s; "
                     "serve on 127.0.0.1 unless that is meant\n",
                     model.c_str(), qPrintable(address_text(front->server->address(), front->server->port())),
                     request.http_password_file ? ", and drive it with the password" : "");
    return FrontEnds([front](PanelSession& session) { front->start(session); });
}

int hash_password_command(const app::Program& program)
{
    if (!web::start_crypto()) {
        std::fprintf(stderr, "%s: the system gives no randomness; check /dev/urandom\n", program.name);
        return 1;
    }
    const bool terminal = isatty(STDIN_FILENO) != 0;
    termios saved{};
    if (terminal && tcgetattr(STDIN_FILENO, &saved) == 0) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const std::string password = read_password_line("Password for the web page: ", terminal);
    const std::string again = terminal ? read_password_line("Same password again: ", terminal) : password;
    if (terminal)
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    if (password.empty()) {
        std::fprintf(stderr, "%s: --hash-password: no password given; type one, or pipe it in on one line\n",
                     program.name);
        return 1;
    }
    if (password != again) {
        std::fprintf(stderr, "%s: --hash-password: the two passwords differ; run it again\n", program.name);
        return 1;
    }
    const std::string hash = web::hash_password(password);
    if (hash.empty()) {
        std::fprintf(stderr, "%s: --hash-password: the hash could not be made (out of memory); free memory "
                             "and run it again\n", program.name);
        return 1;
    }
    std::printf("%s\n", hash.c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}

} // namespace korvel
