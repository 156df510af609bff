// The instrument's web page, in the panel's event loop: the identification
// page and document, the live state and reading trend over a WebSocket,
// and control behind a password.
//
// Built on QTcpServer (QSslServer for HTTPS) and QWebSocketServer rather
// than Qt's HTTP server module: that module is a technology preview in
// Qt 6.4, meant by its own documentation for local or trusted networks,
// and it leaves the limits below to the application anyway. Here every
// request goes through RequestParser, which bounds the request line, head,
// header count and body; a connection has `request_ms` to send its request
// and be answered, then it is closed; at most `max_connections` requests
// and `max_pages` live pages are served at once. Only a request for /ws
// whose Origin is the page's own is handed to QWebSocketServer.
//
// Changes go through the panel's own operations, as a click does, and only
// for a logged-in session that sends its anti-forgery token.
#pragma once

#include "history/reading_history.h"
#include "history/reading_source.h"
#include "panel/panel.h"
#include "sweep/sweep.h"
#include "web/access.h"
#include "web/documents.h"
#include "web/http_request.h"
#include "web/metrics.h"

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QThreadPool>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QTcpServer;
class QTcpSocket;
class QTimer;
class QWebSocket;
class QWebSocketServer;

namespace korvel::web {

class WebServer : public QObject {
public:
    static constexpr int max_connections = 64;
    static constexpr int max_pages = 32;
    static constexpr int request_ms = 10000;
    // A page that does not take its updates is dropped beyond this.
    static constexpr qint64 page_backlog = 1 << 20;
    // How long after a change of the panel the pages hear of it, at most.
    static constexpr int coalesce_ms = 10;

    explicit WebServer(QObject* parent = nullptr);
    ~WebServer() override;
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // HTTPS with this certificate and key, before listen().
    void use_tls(const QSslConfiguration& tls);
    // The password's hash; without one the page is read-only.
    void set_password_hash(std::string hash) { password_hash_ = std::move(hash); }
    // Where Chart.js is read from (Debian's libjs-chart.js).
    void set_chart_library(std::string path) { chart_path_ = std::move(path); }

    // Starts listening; on failure false and the cause in *error.
    bool listen(const QHostAddress& host, quint16 port, std::string* error);
    QHostAddress address() const;
    quint16 port() const;
    bool tls() const { return tls_.has_value(); }

    // What the page shows and drives; served from now on. trend_open and
    // set_trend_open may be empty (no trend window).
    // history: the live readings; readings: the readings over time that
    // the trend and the CSV download read (the reading store, say), the
    // history when nullptr.
    struct Attachment {
        Panel* panel = nullptr;
        history::ReadingHistory* history = nullptr;
        std::function<bool()> trend_open;
        std::function<void(bool)> set_trend_open;
        Identity identity;
        // The session's sweep; without one the page has no sweep panel.
        sweep::Sweep* sweep = nullptr;
        MetricsSources metrics;
        const history::ReadingSource* readings = nullptr;
        // Why the reading store keeps no more readings ("" while it
        // writes); empty where there is no store.
        std::function<std::string()> store_state;
    };
    void attach(Attachment a);

    int connection_count() const { return static_cast<int>(connections_.size()); }
    int page_count() const { return static_cast<int>(pages_.size()); }

private:
    struct Connection;

    void accept();
    void receive(Connection* c);
    void finish(Connection* c, const Response& r);
    void drop(Connection* c);
    void to_websocket(Connection* c);
    Response csv_download(Connection* c, const Request& request);
    void pump_csv(Connection* c);
    const history::ReadingSource& readings() const;
    Response answer(Connection* c, const Request& request);
    Response page(Connection* c, const Request& request, std::string message, int status);
    Response login(Connection* c, const Request& request);
    Response control(const Request& request);
    Response logout(const Request& request);
    // The sweep panel: GET /api/sweep (?since=N), /api/sweep.csv; the
    // control action "sweep" (start with the form's settings, stop).
    Response sweep_answer(const Request& request);
    Response sweep_control(const std::map<std::string, std::string>& form);
    const Session* session_of(const Request& request);
    bool same_origin(const Request& request) const;
    std::string origin_of(const Request& request) const;

    void page_joined();
    void page_left(QWebSocket* page);
    void panel_changed();
    void flush();
    void send_to_pages(const QString& message);
    TrendState trend_state() const;

    QTcpServer* server_ = nullptr;
    QWebSocketServer* websockets_ = nullptr;
    std::optional<QSslConfiguration> tls_;
    std::string password_hash_;
    std::string chart_path_ = "/usr/share/javascript/chart.js/chart.min.js";
    std::string chart_;
    Attachment a_;
    int observer_key_ = -1;
    int history_key_ = -1;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::vector<QWebSocket*> pages_;
    Sessions sessions_;
    LoginThrottle throttle_;
    QThreadPool verifier_;
    bool verifying_ = false;
    QTimer* flush_timer_ = nullptr;
    QTimer* poll_timer_ = nullptr;
    std::string last_state_;
};

} // namespace korvel::web
