#include "web/web_server.h"

#include "web/sweep_documents.h"
#include "history/reading_csv.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QHostInfo>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <chrono>
#include <fstream>
#include <sstream>

// The page's files, compiled into this static library: registered once.
static void load_page_resources()
{
    Q_INIT_RESOURCE(web);
}

namespace korvel::web {

namespace {

// What a request may be at most.
const Limits request_limits{};
// The socket's read buffer: a little more than the largest request, so
// that a flood is cut off by the parser, not held in memory.
constexpr qint64 read_buffer = 16 * 1024;
const char* const session_cookie = "korvel_session";

std::int64_t now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

Response json(int status, std::string body)
{
    Response r;
    r.status = status;
    r.type = "application/json";
    r.body = std::move(body);
    return r;
}

Response refusal(int status, const std::string& why)
{
    return json(status, "{\"ok\":false,\"error\":" + json_string(why) + "}");
}

Response plain(int status, const std::string& text)
{
    Response r;
    r.status = status;
    r.type = "text/plain; charset=utf-8";
    r.body = text + "\n";
    return r;
}

std::string resource(const char* path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll().toStdString();
}

std::optional<int> integer(const std::map<std::string, std::string>& form, const std::string& name)
{
    const auto it = form.find(name);
    if (it == form.end() || it->second.empty() || it->second.size() > 7)
        return std::nullopt;
    std::size_t used = 0;
    try {
        const int v = std::stoi(it->second, &used, 10);
        if (used != it->second.size())
            return std::nullopt;
        return v;
    } catch (...) {
        return std::nullopt;
    }
}

std::string field(const std::map<std::string, std::string>& form, const std::string& name)
{
    const auto it = form.find(name);
    return it == form.end() ? std::string() : it->second;
}

std::string binary(int bits)
{
    std::string out;
    for (int bit = 7; bit >= 0; --bit)
        out += (bits >> bit & 1) ? '1' : '0';
    return out;
}

Response outcome(Outcome o, const std::string& what)
{
    switch (o) {
    case Outcome::done: return json(200, "{\"ok\":true}");
    case Outcome::out_of_range: return refusal(400, what + ": out of range");
    case Outcome::not_now: return refusal(409, what + ": not in the panel's present state");
    case Outcome::held: return refusal(409, what + ": a sweep holds the set-point; stop it first");
    }
    return refusal(500, what);
}

} // namespace

struct WebServer::Connection {
    QPointer<QTcpSocket> socket;
    RequestParser parser{request_limits};
    qint64 fed = 0;
    bool answered = false;
    bool waiting = false;  // for a password check
    QTimer* deadline = nullptr;
    // A CSV download under way: its rows are made as the client takes them.
    std::unique_ptr<history::CsvCursor> csv;
};

WebServer::WebServer(QObject* parent) : QObject(parent)
{
    static const bool resources = (load_page_resources(), true);
    (void)resources;
    verifier_.setMaxThreadCount(1);
    websockets_ = new QWebSocketServer(QStringLiteral("korvel"), QWebSocketServer::NonSecureMode, this);
    websockets_->setHandshakeTimeout(request_ms);
    connect(websockets_, &QWebSocketServer::newConnection, this, &WebServer::page_joined);
    flush_timer_ = new QTimer(this);
    flush_timer_->setSingleShot(true);
    flush_timer_->setInterval(coalesce_ms);
    connect(flush_timer_, &QTimer::timeout, this, &WebServer::flush);
    // The trend window's state is no control of the panel: looked at while
    // pages are open.
    poll_timer_ = new QTimer(this);
    poll_timer_->setInterval(100);
    connect(poll_timer_, &QTimer::timeout, this, &WebServer::flush);
}

WebServer::~WebServer()
{
    verifier_.waitForDone();
    if (a_.panel)
        a_.panel->controls().forget(observer_key_);
    if (a_.history)
        a_.history->forget(history_key_);
    for (auto& c : connections_)
        if (c->socket)
            c->socket->abort();
    // A page's socket is handed by its QWebSocket to deleteLater(), which no
    // event loop runs once the program ends: the pages go now, and their
    // sockets with them.
    if (!pages_.empty()) {
        const std::vector<QWebSocket*> pages = std::exchange(pages_, {});
        for (QWebSocket* page : pages) {
            page->disconnect(this);
            page->abort();
            delete page;
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

void WebServer::use_tls(const QSslConfiguration& tls)
{
    tls_ = tls;
}

bool WebServer::listen(const QHostAddress& host, quint16 port, std::string* error)
{
    if (tls_) {
        auto* s = new QSslServer(this);
        s->setSslConfiguration(*tls_);
        s->setHandshakeTimeout(request_ms);
        server_ = s;
    } else {
        server_ = new QTcpServer(this);
    }
    connect(server_, &QTcpServer::pendingConnectionAvailable, this, &WebServer::accept);
    if (!server_->listen(host, port)) {
        *error = server_->errorString().toStdString();
        return false;
    }
    // The library that draws the trend, read once: it does not change.
    if (std::ifstream in(chart_path_, std::ios::binary); in) {
        std::ostringstream s;
        s << in.rdbuf();
        chart_ = s.str();
    }
    return true;
}

QHostAddress WebServer::address() const
{
    return server_ ? server_->serverAddress() : QHostAddress();
}

quint16 WebServer::port() const
{
    return server_ ? server_->serverPort() : 0;
}

void WebServer::attach(Attachment a)
{
    a_ = std::move(a);
    // The Probe panel's read-outs and the timers change with every scan
    // tick; the page shows neither.
    observer_key_ = a_.panel->controls().observe([this](Control& c, Property) {
        switch (c.id()) {
        case ControlId::probe_value_box:
        case ControlId::probe_status_box:
        case ControlId::probe_strobe_box:
        case ControlId::probe_sign_box:
        case ControlId::probe_high_box:
        case ControlId::probe_low_box:
        case ControlId::probe_magnitude_box:
        case ControlId::sync_timer:
        case ControlId::refresh_timer:
        case ControlId::scan_timer:
            return;
        default:
            panel_changed();
        }
    });
    history_key_ = a_.history->on_add([this](const history::Sample& s) {
        send_to_pages(QString::fromStdString(sample_json(s)));
        panel_changed();
    });
}

void WebServer::accept()
{
    while (QTcpSocket* socket = server_->nextPendingConnection()) {
        if (connection_count() >= max_connections || !a_.panel) {
            // Told why in one line, then closed.
            socket->write(QByteArray::fromStdString(serialize(plain(503, "busy: too many connections"))));
            socket->disconnectFromHost();
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            QTimer::singleShot(request_ms, socket, [socket] { socket->abort(); socket->deleteLater(); });
            continue;
        }
        auto c = std::make_unique<Connection>();
        Connection* raw = c.get();
        c->socket = socket;
        socket->setParent(this);
        socket->setReadBufferSize(read_buffer);
        c->deadline = new QTimer(socket);
        c->deadline->setSingleShot(true);
        connect(c->deadline, &QTimer::timeout, this, [this, raw] {
            // Too slow to ask, or to take the answer: cut off.
            if (!raw->answered && !raw->waiting && raw->socket)
                raw->socket->write(QByteArray::fromStdString(serialize(plain(408, "request too slow"))));
            drop(raw);
        });
        c->deadline->start(request_ms);
        connect(socket, &QTcpSocket::readyRead, this, [this, raw] { receive(raw); });
        connect(socket, &QTcpSocket::disconnected, this, [this, raw] { drop(raw); });
        connections_.push_back(std::move(c));
        receive(raw);
    }
}

void WebServer::receive(Connection* c)
{
    if (!c->socket || c->answered || c->waiting)
        return;
    // Peeked, not read: a WebSocket request is handed over unread.
    const QByteArray bytes = c->socket->peek(c->socket->bytesAvailable());
    if (bytes.size() > c->fed) {
        c->parser.feed(std::string_view(bytes.constData() + c->fed, static_cast<std::size_t>(bytes.size() - c->fed)));
        c->fed = bytes.size();
    }
    switch (c->parser.state()) {
    case RequestParser::State::incomplete:
        return;
    case RequestParser::State::failed:
        c->socket->readAll();
        finish(c, plain(c->parser.status(), c->parser.reason()));
        return;
    case RequestParser::State::complete:
        break;
    }
    const Request& r = c->parser.request();
    const auto upgrade = r.header("upgrade");
    if (r.path == "/ws" && upgrade && QString::fromStdString(std::string(*upgrade)).compare("websocket", Qt::CaseInsensitive) == 0) {
        if (!same_origin(r)) {
            c->socket->readAll();
            finish(c, plain(403, "the page's WebSocket is for its own origin only"));
        } else if (page_count() >= max_pages) {
            c->socket->readAll();
            finish(c, plain(503, "busy: too many pages open"));
        } else {
            to_websocket(c);
        }
        return;
    }
    c->socket->readAll();
    const Response response = answer(c, r);
    if (!c->waiting)
        finish(c, response);
}

void WebServer::finish(Connection* c, const Response& r)
{
    if (!c->socket)
        return;
    c->answered = true;
    c->waiting = false;
    const bool head = c->parser.state() == RequestParser::State::complete && c->parser.request().method == "HEAD";
    c->socket->write(QByteArray::fromStdString(serialize(r, head)));
    if (c->csv && !head) {
        connect(c->socket, &QTcpSocket::bytesWritten, this, [this, c] { pump_csv(c); });
        pump_csv(c);
        return;
    }
    // Closed once written; the deadline still bounds a client that does not
    // take the answer.
    c->socket->disconnectFromHost();
}

const history::ReadingSource& WebServer::readings() const
{
    return a_.readings ? *a_.readings : static_cast<const history::ReadingSource&>(*a_.history);
}

Response WebServer::csv_download(Connection* c, const Request& r)
{
    std::string why;
    const auto kept = readings().time_range();
    const auto range = time_range(parse_form(r.query), QDateTime::currentMSecsSinceEpoch(),
                                  kept ? std::optional(kept->first) : std::nullopt, 600, &why);
    if (!range)
        return plain(400, "bad range: " + why);
    // seconds counts from the start of the range, or from the oldest
    // reading when the range begins before it.
    const std::int64_t origin = kept ? std::max(range->t0, kept->first) : range->t0;
    c->csv = std::make_unique<history::CsvCursor>(readings(), range->t0, range->t1, origin);
    Response out;
    out.type = "text/csv; charset=utf-8";
    out.streamed = true;
    const QString from = QDateTime::fromMSecsSinceEpoch(range->t0, Qt::UTC).toString("yyyyMMdd-hhmmss");
    out.headers.emplace_back("Content-Disposition",
                             "attachment; filename=\"korvel-" + from.toStdString() + ".csv\"");
    return out;
}

void WebServer::pump_csv(Connection* c)
{
    // A little at a time, topped up as the client takes it: however long
    // the range, a download holds at most `csv_buffer` bytes.
    constexpr qint64 csv_buffer = 256 * 1024;
    if (!c->socket || !c->csv)
        return;
    std::string piece;
    while (c->socket->bytesToWrite() < csv_buffer && !c->csv->done()) {
        piece.clear();
        c->csv->next(piece, 32 * 1024);
        c->socket->write(piece.data(), static_cast<qint64>(piece.size()));
    }
    // Taking it: the client has request_ms more for the next piece.
    c->deadline->start(request_ms);
    if (c->csv->done()) {
        disconnect(c->socket, &QTcpSocket::bytesWritten, this, nullptr);
        c->csv.reset();
        c->socket->disconnectFromHost();
    }
}

void WebServer::drop(Connection* c)
{
    const auto it = std::find_if(connections_.begin(), connections_.end(), [c](const auto& p) { return p.get() == c; });
    if (it == connections_.end())
        return;
    std::unique_ptr<Connection> gone = std::move(*it);
    connections_.erase(it);
    if (gone->socket) {
        gone->socket->disconnect(this);
        gone->socket->abort();
        gone->socket->deleteLater();
    }
}

void WebServer::to_websocket(Connection* c)
{
    QTcpSocket* socket = c->socket;
    socket->disconnect(this);
    delete c->deadline;
    c->socket = nullptr;
    drop(c);
    socket->setParent(nullptr);
    // The handshake is in the socket's buffer, unread: QWebSocketServer
    // takes it from there (it looks at what is already buffered).
    websockets_->handleConnection(socket);
}

bool WebServer::same_origin(const Request& r) const
{
    const auto origin = r.header("origin");
    if (!origin)
        return false;
    return *origin == origin_of(r);
}

std::string WebServer::origin_of(const Request& r) const
{
    const auto host = r.header("host");
    if (!host || host->empty())
        return {};
    return std::string(tls_ ? "https://" : "http://") + std::string(*host);
}

const Session* WebServer::session_of(const Request& r)
{
    const auto header = r.header("cookie");
    if (!header)
        return nullptr;
    const auto id = cookie(*header, session_cookie);
    return id ? sessions_.find(*id, now_ms()) : nullptr;
}

Response WebServer::answer(Connection* c, const Request& r)
{
    const bool get = r.method == "GET" || r.method == "HEAD";
    if (r.method != "GET" && r.method != "HEAD" && r.method != "POST")
        return plain(405, "only GET, HEAD and POST are served");
    if (r.path == "/" || r.path == "/index.html")
        return get ? page(c, r, {}, 200) : plain(405, "GET the page");
    if (r.path == "/lxi/identification") {
        if (!get)
            return plain(405, "GET the identification");
        Identity id = a_.identity;
        id.address = c->socket->localAddress().toString().toStdString();
        Response x;
        x.type = "text/xml; charset=utf-8";
        x.body = identification_xml(id, origin_of(r).empty() ? "/" : origin_of(r) + "/");
        return x;
    }
    if (r.path == "/api/sweep" || r.path == "/api/sweep.csv")
        return get ? sweep_answer(r) : plain(405, "GET the sweep");
    if (r.path == "/static/sweep.js") {
        Response s;
        s.type = "text/javascript; charset=utf-8";
        s.body = resource(":/web/sweep.js");
        return s;
    }
    if (r.path == "/static/panel.js" || r.path == "/static/panel.css") {
        Response s;
        s.type = r.path.ends_with(".js") ? "text/javascript; charset=utf-8" : "text/css; charset=utf-8";
        s.body = resource(r.path.ends_with(".js") ? ":/web/panel.js" : ":/web/panel.css");
        return s;
    }
    if (r.path == "/static/chart.js") {
        if (chart_.empty())
            return plain(404, "the chart library is not installed (Debian package libjs-chart.js)");
        Response s;
        s.type = "text/javascript; charset=utf-8";
        s.body = chart_;
        return s;
    }
    if (r.path == "/api/state")
        return get ? json(200, state_json(*a_.panel, trend_state(), a_.store_state ? a_.store_state() : std::string())) : plain(405, "GET the state");
    if (r.path == "/api/history") {
        if (!get)
            return plain(405, "GET the history");
        std::string why;
        const auto kept = readings().time_range();
        const auto range = time_range(parse_form(r.query), QDateTime::currentMSecsSinceEpoch(),
                                      kept ? std::optional(kept->first) : std::nullopt, 600, &why);
        if (!range)
            return plain(400, "bad range: " + why);
        return json(200, history_json(readings(), range->t0, range->t1, 600));
    }
    if (r.path == "/metrics") {
        // For Prometheus: read-only, without login, like the state.
        if (!get)
            return plain(405, "GET the metrics");
        Response m;
        m.type = metrics_type;
        m.body = metrics_page(*a_.panel, *a_.history, a_.identity, a_.metrics, page_count());
        return m;
    }
    if (r.path == "/api/history.csv")
        return get ? csv_download(c, r) : plain(405, "GET the readings");
    if (r.path == "/login")
        return r.method == "POST" ? login(c, r) : plain(405, "POST the password");
    if (r.path == "/logout")
        return r.method == "POST" ? logout(r) : plain(405, "POST to log out");
    if (r.path == "/api/control")
        return r.method == "POST" ? control(r) : plain(405, "POST a change");
    return plain(404, "no such page");
}

Response WebServer::page(Connection* c, const Request& r, std::string message, int status)
{
    const Panel& p = *a_.panel;
    const Session* s = session_of(r);
    std::map<std::string, std::string> v;
    v["MANUFACTURER"] = html_escape(a_.identity.manufacturer);
    v["MODEL"] = html_escape(a_.identity.model);
    v["SERIAL"] = html_escape(a_.identity.serial);
    v["FIRMWARE"] = html_escape(a_.identity.firmware);
    v["HOSTNAME"] = html_escape(a_.identity.hostname);
    v["ADDRESS"] = html_escape(c->socket->localAddress().toString().toStdString());
    v["VISA"] = a_.identity.visa.empty() ? "not offered (start with --listen)" : html_escape(a_.identity.visa);
    v["VXI11"] = a_.identity.vxi11_visa.empty() ? "not offered (start with --vxi11)"
                                                : html_escape(a_.identity.vxi11_visa);
    v["PORT"] = html_escape(p.port_item());
    v["POWER"] = p.power() ? "ON" : "OFF";
    v["MODE"] = html_escape(p.controls().mode_selector.text());
    v["SETPOINT"] = std::to_string(p.setpoint());
    v["READING"] = html_escape(p.controls().reading_box.text());
    v["BITS"] = binary(p.bits());
    v["OVER_HIDDEN"] = p.controls().over_mark.visible() ? "" : "hidden";
    v["UNDER_HIDDEN"] = p.controls().under_mark.visible() ? "" : "hidden";
    v["DATA_ADDRESS"] = html_escape(p.controls().data_address_box.text());
    v["STATUS_ADDRESS"] = html_escape(p.controls().status_address_box.text());
    v["CONTROL_ADDRESS"] = html_escape(p.controls().control_address_box.text());
    v["TOKEN"] = s ? s->token : "";
    v["ACCESS"] = password_hash_.empty() ? "read-only" : s ? "control" : "login";
    if (password_hash_.empty())
        v["ACCESS_BLOCK"] = "<p class=\"note\" id=\"read-only\">Read-only: no password is set for this page, so "
                            "nothing can be changed from here. The administrator sets one with "
                            "<code>--http-password-file</code>.</p>";
    else if (!s)
        v["ACCESS_BLOCK"] = "<form method=\"post\" action=\"/login\" class=\"row\">"
                            "<label for=\"password\">Password</label>"
                            "<input id=\"password\" name=\"password\" type=\"password\" "
                            "autocomplete=\"current-password\" required>"
                            "<button type=\"submit\" id=\"login\">Log in</button></form>";
    else
        v["ACCESS_BLOCK"] = "<form method=\"post\" action=\"/logout\" class=\"row\">"
                            "<input type=\"hidden\" name=\"token\" value=\"" + s->token + "\">"
                            "<span>Logged in: changes here go to the board.</span>"
                            "<button type=\"submit\" id=\"logout\">Log out</button></form>";
    v["MESSAGE"] = html_escape(message);
    Response out;
    out.status = status;
    out.body = fill_template(resource(":/web/index.html"), v);
    return out;
}

Response WebServer::login(Connection* c, const Request& r)
{
    if (password_hash_.empty())
        return page(c, r, "This page is read-only: no password is set for it.", 403);
    if (!same_origin(r) && r.header("origin"))
        return plain(403, "a login is taken from this page only");
    const std::string address = c->socket->peerAddress().toString().toStdString();
    if (const std::int64_t wait = throttle_.wait_ms(address, now_ms()); wait > 0) {
        Response p = page(c, r, "Too many wrong passwords: try again in " + std::to_string((wait + 999) / 1000) + " s.", 429);
        p.headers.emplace_back("Retry-After", std::to_string((wait + 999) / 1000));
        return p;
    }
    if (verifying_)
        return page(c, r, "Another login is being checked: try again in a moment.", 503);
    // The check takes a tenth of a second and 64 MiB: off the panel's
    // thread, one at a time; the answer follows when it is done.
    verifying_ = true;
    c->waiting = true;
    const bool secure = tls_.has_value();
    QPointer<QTcpSocket> socket = c->socket;
    const std::string hash = password_hash_;
    const std::string password = field(parse_form(r.body), "password");
    const Request request = r;
    verifier_.start([this, hash, password, socket, address, request, secure] {
        const bool good = verify_password(hash, password);
        QMetaObject::invokeMethod(this, [this, good, socket, address, request, secure] {
            verifying_ = false;
            const auto it = std::find_if(connections_.begin(), connections_.end(),
                                         [&](const auto& p) { return p->socket == socket && socket; });
            if (!good)
                throttle_.failed(address, now_ms());
            else
                throttle_.succeeded(address);
            if (it == connections_.end())
                return;
            Connection* c = it->get();
            if (!good) {
                finish(c, page(c, request, "Wrong password.", 401));
                return;
            }
            const Session& s = sessions_.open(now_ms());
            Response r;
            r.status = 303;
            r.headers.emplace_back("Location", "/");
            r.headers.emplace_back("Set-Cookie", std::string(session_cookie) + "=" + s.id +
                                                     "; Path=/; HttpOnly; SameSite=Strict" +
                                                     (secure ? "; Secure" : ""));
            finish(c, r);
        }, Qt::QueuedConnection);
    });
    return {};
}

Response WebServer::logout(const Request& r)
{
    const Session* s = session_of(r);
    const auto form = parse_form(r.body);
    if (!s || !same_secret(field(form, "token"), s->token))
        return plain(403, "log out from the page itself");
    sessions_.close(s->id);
    Response out;
    out.status = 303;
    out.headers.emplace_back("Location", "/");
    out.headers.emplace_back("Set-Cookie", std::string(session_cookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
    return out;
}

Response WebServer::control(const Request& r)
{
    if (password_hash_.empty())
        return refusal(403, "read-only: no password is set for this page");
    if (r.header("origin") && !same_origin(r))
        return refusal(403, "changes are taken from this page only");
    const Session* s = session_of(r);
    if (!s)
        return refusal(401, "log in first");
    const auto form = parse_form(r.body);
    std::string token = field(form, "token");
    if (const auto h = r.header("x-korvel-token"))
        token = std::string(*h);
    if (!same_secret(token, s->token))
        return refusal(403, "the anti-forgery token is missing or wrong; reload the page");
    Panel& p = *a_.panel;
    if (p.ended())
        return refusal(409, "the panel has ended");
    const std::string action = field(form, "action");
    const std::string value = field(form, "value");
    if (action == "power") {
        if (value != "on" && value != "off")
            return refusal(400, "power: on or off");
        p.set_power(value == "on");
        return outcome(Outcome::done, action);
    }
    if (action == "mode") {
        if (value == "ZEP")
            return outcome(p.choose_mode(Mode::zep), action);
        if (value == "DPC")
            return outcome(p.choose_mode(Mode::dpc), action);
        if (value == "DVM")
            return outcome(p.choose_mode(Mode::dvm), action);
        return refusal(400, "mode: ZEP, DPC or DVM");
    }
    if (action == "port") {
        const auto& items = p.controls().port_selector.items();
        if (std::find(items.begin(), items.end(), value) == items.end())
            return refusal(400, "port: one of the port selector's items");
        return outcome(p.choose_port(value), action);
    }
    if (action == "step") {
        const std::string spin = field(form, "spin");
        const Spin which = spin == "coarse" ? Spin::coarse : spin == "medium" ? Spin::medium : Spin::fine;
        if ((spin != "coarse" && spin != "medium" && spin != "fine") || (value != "up" && value != "down"))
            return refusal(400, "step: spin coarse, medium or fine, value up or down");
        return outcome(p.step(which, value == "up"), action);
    }
    if (action == "setpoint") {
        const auto v = integer(form, "value");
        if (!v)
            return refusal(400, "setpoint: a whole number");
        if (!p.power())
            return refusal(409, "setpoint: switch the panel ON first");
        if (p.mode() != Mode::zep)
            return refusal(409, "setpoint: mode ZEP only");
        return outcome(p.set_setpoint(*v), action);
    }
    if (action == "bit") {
        const auto v = integer(form, "value");
        if (!v)
            return refusal(400, "bit: 0 to 7");
        if (!p.power())
            return refusal(409, "bit: switch the panel ON first");
        return outcome(p.toggle_bit(*v), action);
    }
    if (action == "sweep")
        return sweep_control(form);
    if (action == "trend") {
        if (!a_.set_trend_open)
            return refusal(409, "trend: there is no trend window");
        if (value != "open" && value != "close")
            return refusal(400, "trend: open or close");
        a_.set_trend_open(value == "open");
        panel_changed();
        return outcome(Outcome::done, action);
    }
    return refusal(400, "unknown action");
}

Response WebServer::sweep_answer(const Request& r)
{
    if (!a_.sweep)
        return plain(404, "there is no sweep here");
    if (r.path.ends_with(".csv")) {
        Response c;
        c.type = "text/csv; charset=utf-8";
        c.headers.emplace_back("Content-Disposition", "attachment; filename=\"sweep.csv\"");
        c.body = sweep::results_csv(a_.sweep->results());
        return c;
    }
    const auto since = integer(parse_form(r.query), "since");
    return json(200, sweep_json(*a_.sweep, since && *since > 0 ? static_cast<std::size_t>(*since) : 0));
}

Response WebServer::sweep_control(const std::map<std::string, std::string>& form)
{
    if (!a_.sweep)
        return refusal(409, "sweep: there is no sweep here");
    const std::string value = field(form, "value");
    if (value == "stop") {
        a_.sweep->stop();
        return outcome(Outcome::done, "sweep");
    }
    if (value != "start")
        return refusal(400, "sweep: start or stop");
    sweep::Settings s = a_.sweep->settings();
    std::string why = sweep_settings_from_form(form, s);
    if (why.empty())
        why = a_.sweep->set_settings(s);
    if (why.empty())
        why = a_.sweep->start();
    return why.empty() ? outcome(Outcome::done, "sweep") : refusal(409, "sweep: " + why);
}

void WebServer::page_joined()
{
    while (QWebSocket* ws = websockets_->nextPendingConnection()) {
        ws->setParent(this);
        ws->setMaxAllowedIncomingMessageSize(1024);
        ws->setMaxAllowedIncomingFrameSize(1024);
        pages_.push_back(ws);
        connect(ws, &QWebSocket::disconnected, this, [this, ws] { page_left(ws); });
        // What the page says is not listened to: changes come by POST.
        const std::int64_t t1 = QDateTime::currentMSecsSinceEpoch() + 1;
        ws->sendTextMessage(QString::fromStdString(history_json(readings(), t1 - 600000, t1, 600)));
        ws->sendTextMessage(QString::fromStdString(state_json(*a_.panel, trend_state(), a_.store_state ? a_.store_state() : std::string())));
    }
    if (a_.trend_open && !poll_timer_->isActive())
        poll_timer_->start();
}

void WebServer::page_left(QWebSocket* page)
{
    std::erase(pages_, page);
    page->deleteLater();
    if (pages_.empty())
        poll_timer_->stop();
}

void WebServer::panel_changed()
{
    if (!pages_.empty() && !flush_timer_->isActive())
        flush_timer_->start();
}

void WebServer::flush()
{
    if (pages_.empty() || !a_.panel)
        return;
    std::string state = state_json(*a_.panel, trend_state(), a_.store_state ? a_.store_state() : std::string());
    if (state == last_state_)
        return;
    last_state_ = std::move(state);
    send_to_pages(QString::fromStdString(last_state_));
}

void WebServer::send_to_pages(const QString& message)
{
    const std::vector<QWebSocket*> pages = pages_;
    for (QWebSocket* ws : pages) {
        if (ws->bytesToWrite() > page_backlog) {
            // Not taking its updates: closed rather than buffered without end.
            ws->abort();
            continue;
        }
        ws->sendTextMessage(message);
    }
}

TrendState WebServer::trend_state() const
{
    TrendState t;
    t.available = static_cast<bool>(a_.trend_open) && static_cast<bool>(a_.set_trend_open);
    t.open = t.available && a_.trend_open();
    return t;
}

} // namespace korvel::web
