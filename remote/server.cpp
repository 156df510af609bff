#include "remote/server.h"

#include "remote/interpreter.h"
#include "remote/scpi.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <optional>

namespace korvel::remote {

// One connection. The socket and the READ? timer are its children; it is
// deleted later, never inside one of its own signals.
struct Server::Client : QObject {
    Client(QTcpSocket* s, Instrument& instrument) : socket(s), interpreter(instrument)
    {
        socket->setParent(this);
        wait.setParent(this);
        wait.setSingleShot(true);
    }

    QTcpSocket* socket;
    LineSplitter splitter;
    Interpreter interpreter;
    QTimer wait;
    // The measurement waited for has ended; the line goes on from the loop.
    bool measured = false;
    bool scheduled = false;
    bool dropped = false;
};

Server::Server(QObject* parent) : QObject(parent), server_(new QTcpServer(this))
{
    server_->setMaxPendingConnections(max_clients + 1);
    connect(server_, &QTcpServer::newConnection, this, [this] { accept(); });
}

Server::~Server()
{
    // Each client's measurements end with it, while the instrument lives.
    clients_.clear();
}

bool Server::listen(const QHostAddress& host, quint16 port, std::string* error)
{
    if (server_->listen(host, port))
        return true;
    if (error)
        *error = server_->errorString().toStdString();
    return false;
}

QHostAddress Server::address() const { return server_->serverAddress(); }
quint16 Server::port() const { return server_->serverPort(); }

void Server::attach(Instrument& instrument)
{
    instrument_ = &instrument;
}

void Server::accept()
{
    while (QTcpSocket* socket = server_->nextPendingConnection()) {
        if (!instrument_ || client_count() >= max_clients) {
            const QByteArray why = instrument_
                ? QByteArrayLiteral("korvel: refused: 16 clients are connected already; "
                                    "close one and connect again\n")
                : QByteArrayLiteral("korvel: refused: the panel is not ready\n");
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            socket->write(why);
            socket->disconnectFromHost();
            continue;
        }
        auto* c = new Client(socket, *instrument_);
        clients_.emplace_back(c);
        socket->setReadBufferSize(read_buffer);
        connect(socket, &QTcpSocket::readyRead, c, [this, c] { pump(c); });
        connect(socket, &QTcpSocket::bytesWritten, c, [this, c] { pump(c); });
        connect(socket, &QTcpSocket::disconnected, c, [this, c] { drop(c); });
        connect(&c->wait, &QTimer::timeout, c, [this, c] {
            c->interpreter.timed_out();
            send(c);
            pump(c);
        });
        c->interpreter.on_measured = [this, c] { on_measured(c); };
        // Bytes may have come with the connection.
        pump(c);
    }
}

void Server::pump(Client* c)
{
    if (c->dropped || c->interpreter.waiting())
        return;
    int lines = 0;
    while (lines < lines_per_turn) {
        // A client that does not read its replies waits until it has.
        if (c->socket->bytesToWrite() > write_limit)
            return;
        auto line = c->splitter.next();
        if (!line) {
            const QByteArray chunk = c->socket->read(read_buffer);
            if (chunk.isEmpty())
                return;
            c->splitter.feed(std::string_view(chunk.constData(), static_cast<std::size_t>(chunk.size())));
            continue;
        }
        ++lines;
        if (line->too_long) {
            c->interpreter.refuse_too_long();
            continue;
        }
        const auto state = c->interpreter.run_line(line->text);
        send(c);
        if (state == Interpreter::State::Waiting) {
            c->wait.start(c->interpreter.timeout_ms());
            return;
        }
    }
    // More may be waiting: the rest in a later turn, after other events.
    if (!c->scheduled) {
        c->scheduled = true;
        QTimer::singleShot(0, c, [this, c] {
            c->scheduled = false;
            pump(c);
        });
    }
}

void Server::send(Client* c)
{
    const std::string response = c->interpreter.take_response();
    if (!response.empty() && c->socket->state() == QAbstractSocket::ConnectedState)
        c->socket->write(response.data(), static_cast<qint64>(response.size()));
}

void Server::drop(Client* c)
{
    if (c->dropped)
        return;
    c->dropped = true;
    c->wait.stop();
    // Whatever it was waiting for is cancelled: nothing of it runs again.
    c->interpreter.abandon();
    const auto it = std::find_if(clients_.begin(), clients_.end(),
                                 [c](const auto& p) { return p.get() == c; });
    if (it != clients_.end()) {
        it->release();
        clients_.erase(it);
    }
    c->deleteLater();
}

void Server::on_measured(Client* c)
{
    // Runs inside the panel's tick: the waiting line goes on later, from
    // the event loop, so no command runs in the middle of a panel operation.
    if (c->dropped || c->measured)
        return;
    c->wait.stop();
    c->measured = true;
    QTimer::singleShot(0, c, [this, c] {
        c->measured = false;
        if (c->dropped)
            return;
        const auto state = c->interpreter.resume();
        send(c);
        if (state == Interpreter::State::Waiting)
            c->wait.start(c->interpreter.timeout_ms());
        else
            pump(c);
    });
}

} // namespace korvel::remote
