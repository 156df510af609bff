// The remote interface on a TCP port, in the window's event loop: up to
// max_clients connections, each with its own Interpreter (error queue,
// time-out). Nothing here blocks: lines are taken as they arrive, replies
// are queued for writing, and a READ? waits for its fresh reading without
// holding up anyone else.
//
// A client that sends faster than it reads its replies is paused once
// write_limit bytes wait for it, and resumed when it has read them; the
// socket's read buffer is bounded too, so a flood costs bounded memory.
#pragma once

#include "remote/instrument.h"

#include <QHostAddress>
#include <QObject>

#include <memory>
#include <string>
#include <vector>

class QTcpServer;
class QTcpSocket;

namespace korvel::remote {

class Server : public QObject {
public:
    static constexpr int max_clients = 16;
    static constexpr qint64 write_limit = 1 << 20;
    static constexpr qint64 read_buffer = 64 * 1024;
    // Lines run per turn of the event loop for one client before the others
    // and the panel get their turn.
    static constexpr int lines_per_turn = 32;

    explicit Server(QObject* parent = nullptr);
    ~Server() override;
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Starts listening. On failure gives false and a one-line cause in *error.
    bool listen(const QHostAddress& host, quint16 port, std::string* error);
    QHostAddress address() const;
    quint16 port() const;

    // The instrument the commands drive; clients are served from now on.
    void attach(Instrument& instrument);

    int client_count() const { return static_cast<int>(clients_.size()); }

private:
    struct Client;

    void accept();
    void pump(Client* c);
    void send(Client* c);
    void drop(Client* c);
    void on_measured(Client* c);

    QTcpServer* server_;
    Instrument* instrument_ = nullptr;
    std::vector<std::unique_ptr<Client>> clients_;
};

} // namespace korvel::remote
