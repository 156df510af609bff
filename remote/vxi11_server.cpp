#include "remote/vxi11_server.h"

#include "remote/vxi11_link.h"

// The XDR routines and program numbers rpcgen makes from vxi11_rpc.x.
#include "vxi11_rpc.h"

#include <QSocketNotifier>
#include <QTimer>

#include <netconfig.h>
#include <rpc/rpc.h>
#include <rpc/rpc_com.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <vector>

namespace korvel::remote {

namespace {

// Error codes of the protocol.
constexpr long no_error = 0;
constexpr long device_not_accessible = 3;
constexpr long invalid_link = 4;
constexpr long parameter_error = 5;
constexpr long channel_not_established = 6;
constexpr long not_supported = 8;
constexpr long out_of_resources = 9;
constexpr long device_locked = 11;
constexpr long no_lock_held = 12;
constexpr long io_timeout = 15;
constexpr long aborted = 23;
// Flags of a call.
constexpr long flag_wait_lock = 1;
constexpr long flag_end = 8;
constexpr long flag_term_char = 128;

void dispatch(svc_req* request, SVCXPRT* xprt);

// A write to a client that has gone fails with EPIPE and raises SIGPIPE,
// whose default would end the program: held here while the RPC library
// reads and writes, and taken off again if it came.
class SigpipeHeld {
public:
    SigpipeHeld()
    {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
        sigset_t pending;
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~SigpipeHeld()
    {
        sigset_t pending;
        sigpending(&pending);
        if (!was_pending_ && sigismember(&pending, SIGPIPE) == 1) {
            const timespec now{};
            sigtimedwait(&pipe_, nullptr, &now);
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeHeld(const SigpipeHeld&) = delete;
    SigpipeHeld& operator=(const SigpipeHeld&) = delete;

private:
    sigset_t pipe_;
    sigset_t old_;
    bool was_pending_ = false;
};

// An XDR routine as the RPC library takes it.
template <typename F>
xdrproc_t as_xdr(F f)
{
    return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(f));
}

int clamp_ms(unsigned long ms) { return static_cast<int>(std::min<unsigned long>(ms, INT_MAX)); }

quint16 port_of(const sockaddr* a)
{
    if (a->sa_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(a)->sin_port);
    if (a->sa_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(a)->sin6_port);
    return 0;
}

// A listening TCP socket on host:port, or -1 and the cause.
int open_listener(const QHostAddress& host, quint16 port, std::string* error)
{
    sockaddr_storage ss{};
    socklen_t length = 0;
    int family = AF_INET;
    if (host.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
        a->sin6_family = family = AF_INET6;
        a->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = host.toIPv6Address();
        std::memcpy(&a->sin6_addr, bytes.c, 16);
        length = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        a->sin_addr.s_addr = htonl(host.toIPv4Address());
        length = sizeof *a;
    }
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::strerror(errno);
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), length) != 0 || ::listen(fd, 32) != 0) {
        *error = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether something accepts TCP connections at a registered address.
bool answers(const netbuf& address)
{
    const auto* a = static_cast<const sockaddr*>(address.buf);
    const int fd = ::socket(a->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool ok = ::connect(fd, a, address.len) == 0;
    ::close(fd);
    return ok;
}

} // namespace

struct Vxi11Server::Impl {
    // What a held call waits for.
    enum class Outcome { done, wait_lock, wait_io };

    struct Pending {
        SVCXPRT* xprt = nullptr;
        long lid = 0;
        // Tries the call again: replies and gives done, or says what it
        // waits for.
        std::function<Outcome()> attempt;
        // Replies with this error.
        std::function<void(long)> fail;
        bool wait_lock_allowed = false;
        int lock_timeout_ms = 0;
        int io_timeout_ms = 0;
        Outcome waiting = Outcome::done;
        QTimer timer;
    };

    struct Connection {
        std::unique_ptr<QSocketNotifier> notifier;
        SVCXPRT* xprt = nullptr;  // once a call came on it
        std::unique_ptr<Pending> pending;
        bool closing = false;
    };

    struct Link : QObject {
        explicit Link(Instrument& instrument) : conversation(instrument)
        {
            wait.setParent(this);
            wait.setSingleShot(true);
        }
        Vxi11Link conversation;
        int fd = -1;
        QTimer wait;
        bool measured = false;
        bool scheduled = false;
        bool dropped = false;
    };

    explicit Impl(Vxi11Server* server) : owner(server) {}

    Vxi11Server* owner;
    Instrument* instrument = nullptr;
    QHostAddress host;
    SVCXPRT* core = nullptr;
    SVCXPRT* abort_channel = nullptr;
    quint16 core_port = 0;
    quint16 abort_port = 0;
    std::string netid = "tcp";
    bool registered = false;
    std::map<int, Connection> connections;
    std::map<long, Link*> links;
    long next_lid = 1;
    long lock_owner = 0;  // the link holding the lock, 0 for none

    void watch();
    void ready(int fd);
    void forget(int fd);
    void close_connection(int fd);
    void serve(svc_req* request, SVCXPRT* xprt);
    void serve_core(svc_req* request, SVCXPRT* xprt);
    void serve_abort(svc_req* request, SVCXPRT* xprt);
    // Runs the call now, or holds its reply until it can or its time runs out.
    void hold(SVCXPRT* xprt, long lid, long flags, unsigned long lock_timeout,
              unsigned long io_timeout, std::function<Outcome()> attempt,
              std::function<void(long)> fail);
    void arm(int fd, Pending& p, Outcome waiting);
    void finish(int fd);
    void retry_held();
    Link* find(long lid)
    {
        const auto it = links.find(lid);
        return it == links.end() ? nullptr : it->second;
    }
    bool lock_free_for(long lid) const { return lock_owner == 0 || lock_owner == lid; }
    long make_link(int fd);
    void remove_link(long lid);
    void pump(Link* l);
    void schedule_pump(Link* l);
    void on_measured(Link* l);
    bool decode_failed(SVCXPRT* xprt);

    template <typename T>
    static void reply(SVCXPRT* xprt, xdrproc_t proc, T& result)
    {
        svc_sendreply(xprt, proc, reinterpret_cast<caddr_t>(&result));
    }
    static void reply_error(SVCXPRT* xprt, long code)
    {
        Device_Error e{code};
        reply(xprt, as_xdr(xdr_Device_Error), e);
    }
};

namespace {
Vxi11Server::Impl* serving = nullptr;

void dispatch(svc_req* request, SVCXPRT* xprt)
{
    if (serving)
        serving->serve(request, xprt);
    else
        svcerr_systemerr(xprt);
}
} // namespace

void Vxi11Server::Impl::watch()
{
    std::vector<int> open;
    for (int i = 0; i < svc_max_pollfd; ++i)
        if (svc_pollfd[i].fd >= 0)
            open.push_back(svc_pollfd[i].fd);
    std::vector<int> gone;
    for (const auto& [fd, c] : connections)
        if (std::find(open.begin(), open.end(), fd) == open.end())
            gone.push_back(fd);
    for (int fd : gone)
        forget(fd);
    for (int fd : open) {
        if (connections.count(fd))
            continue;
        // Connections beyond the limit are closed at once: a flood of them
        // costs bounded descriptors, and the listener is never left
        // readable with an accept that fails.
        const bool over = static_cast<int>(connections.size()) >= max_connections + 2;
        Connection& c = connections[fd];
        c.notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(c.notifier.get(), &QSocketNotifier::activated, owner,
                         [this, fd] { ready(fd); });
        if (over)
            close_connection(fd);
    }
}

void Vxi11Server::Impl::ready(int fd)
{
    const auto it = connections.find(fd);
    if (it == connections.end())
        return;
    // A client sends nothing while its call waits for the reply: bytes (or
    // its end) now mean it broke the protocol or went away.
    if (it->second.pending)
        close_connection(fd);
    // The RPC library takes a read of nothing for the client's end: it
    // reads only what is there.
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0)
        return;
    {
        const SigpipeHeld held;
        svc_getreq_common(fd);
    }
    watch();
}

void Vxi11Server::Impl::forget(int fd)
{
    const auto it = connections.find(fd);
    if (it == connections.end())
        return;
    if (it->second.notifier) {
        it->second.notifier->setEnabled(false);
        it->second.notifier.release()->deleteLater();
    }
    connections.erase(it);
    std::vector<long> gone;
    for (const auto& [lid, l] : links)
        if (l->fd == fd)
            gone.push_back(lid);
    for (long lid : gone)
        remove_link(lid);
}

void Vxi11Server::Impl::close_connection(int fd)
{
    Connection& c = connections[fd];
    c.closing = true;
    c.pending.reset();
    // The library sees the end on its next read and lets the connection go.
    ::shutdown(fd, SHUT_RDWR);
}

bool Vxi11Server::Impl::decode_failed(SVCXPRT* xprt)
{
    svcerr_decode(xprt);
    close_connection(xprt->xp_fd);
    return true;
}

void Vxi11Server::Impl::serve(svc_req* request, SVCXPRT* xprt)
{
    Connection& c = connections[xprt->xp_fd];
    c.xprt = xprt;
    if (c.closing)
        return;
    // One call at a time on a connection: a client that does not wait for
    // its reply has broken the protocol.
    if (c.pending) {
        close_connection(xprt->xp_fd);
        return;
    }
    if (request->rq_proc == NULLPROC) {
        svc_sendreply(xprt, as_xdr(xdr_void), nullptr);
        return;
    }
    if (request->rq_prog == DEVICE_ASYNC)
        serve_abort(request, xprt);
    else
        serve_core(request, xprt);
}

void Vxi11Server::Impl::hold(SVCXPRT* xprt, long lid, long flags, unsigned long lock_timeout,
                             unsigned long io_timeout_ms, std::function<Outcome()> attempt,
                             std::function<void(long)> fail)
{
    const int fd = xprt->xp_fd;
    const Outcome first = attempt();
    if (first == Outcome::done)
        return;
    auto p = std::make_unique<Pending>();
    p->xprt = xprt;
    p->lid = lid;
    p->attempt = std::move(attempt);
    p->fail = std::move(fail);
    p->wait_lock_allowed = (flags & flag_wait_lock) != 0;
    p->lock_timeout_ms = clamp_ms(lock_timeout);
    p->io_timeout_ms = clamp_ms(io_timeout_ms);
    p->timer.setSingleShot(true);
    Pending& held = *p;
    connections[fd].pending = std::move(p);
    QObject::connect(&held.timer, &QTimer::timeout, owner, [this, fd] {
        const auto it = connections.find(fd);
        if (it == connections.end() || !it->second.pending)
            return;
        Pending& q = *it->second.pending;
        const SigpipeHeld sigpipe;
        q.fail(q.waiting == Outcome::wait_lock ? device_locked : io_timeout);
        finish(fd);
    });
    arm(fd, held, first);
}

void Vxi11Server::Impl::arm(int fd, Pending& p, Outcome waiting)
{
    if (waiting == p.waiting)
        return;
    p.waiting = waiting;
    const int ms = waiting == Outcome::wait_lock ? (p.wait_lock_allowed ? p.lock_timeout_ms : 0)
                                                 : p.io_timeout_ms;
    if (ms <= 0) {
        p.fail(waiting == Outcome::wait_lock ? device_locked : io_timeout);
        finish(fd);
        return;
    }
    p.timer.start(ms);
}

void Vxi11Server::Impl::finish(int fd)
{
    const auto it = connections.find(fd);
    if (it == connections.end())
        return;
    if (it->second.pending) {
        it->second.pending->timer.stop();
        // Deleted later: this may run inside its timer's signal.
        QTimer::singleShot(0, owner, [p = it->second.pending.release()] { delete p; });
    }
}

void Vxi11Server::Impl::retry_held()
{
    std::vector<int> held;
    for (const auto& [fd, c] : connections)
        if (c.pending)
            held.push_back(fd);
    for (int fd : held) {
        const auto it = connections.find(fd);
        if (it == connections.end() || !it->second.pending)
            continue;
        Pending& p = *it->second.pending;
        const SigpipeHeld sigpipe;
        const Outcome o = p.attempt();
        if (o == Outcome::done)
            finish(fd);
        else
            arm(fd, p, o);
    }
}

long Vxi11Server::Impl::make_link(int fd)
{
    const long lid = next_lid++;
    auto* l = new Link(*instrument);
    l->fd = fd;
    links[lid] = l;
    QObject::connect(&l->wait, &QTimer::timeout, l, [this, l] {
        l->conversation.interpreter().timed_out();
        l->conversation.keep_response();
        pump(l);
    });
    l->conversation.interpreter().on_measured = [this, l] { on_measured(l); };
    return lid;
}

void Vxi11Server::Impl::remove_link(long lid)
{
    Link* l = find(lid);
    if (!l)
        return;
    links.erase(lid);
    l->dropped = true;
    l->wait.stop();
    // Whatever it waited for is cancelled: nothing of it runs again.
    l->conversation.interpreter().abandon();
    l->deleteLater();
    if (lock_owner == lid)
        lock_owner = 0;
    retry_held();
}

void Vxi11Server::Impl::schedule_pump(Link* l)
{
    if (l->scheduled)
        return;
    l->scheduled = true;
    QTimer::singleShot(0, l, [this, l] {
        l->scheduled = false;
        pump(l);
    });
}

void Vxi11Server::Impl::pump(Link* l)
{
    if (l->dropped)
        return;
    Interpreter& in = l->conversation.interpreter();
    if (in.waiting())
        return;
    for (int n = 0; n < 32; ++n) {
        auto line = l->conversation.next_line();
        if (!line)
            break;
        if (line->too_long) {
            in.refuse_too_long();
            continue;
        }
        const auto state = in.run_line(line->text);
        l->conversation.keep_response();
        if (state == Interpreter::State::Waiting) {
            l->wait.start(in.timeout_ms());
            retry_held();
            return;
        }
    }
    retry_held();
    // More may be waiting: the rest in a later turn, after other events.
    if (l->conversation.has_lines())
        schedule_pump(l);
}

void Vxi11Server::Impl::on_measured(Link* l)
{
    // Runs inside the panel's tick: the waiting line goes on from the loop.
    if (l->dropped || l->measured)
        return;
    l->wait.stop();
    l->measured = true;
    QTimer::singleShot(0, l, [this, l] {
        l->measured = false;
        if (l->dropped)
            return;
        Interpreter& in = l->conversation.interpreter();
        const auto state = in.resume();
        l->conversation.keep_response();
        if (state == Interpreter::State::Waiting)
            l->wait.start(in.timeout_ms());
        else
            pump(l);
    });
}

void Vxi11Server::Impl::serve_abort(svc_req* request, SVCXPRT* xprt)
{
    if (request->rq_proc != device_abort) {
        svcerr_noproc(xprt);
        return;
    }
    Device_Link lid = 0;
    if (!svc_getargs(xprt, as_xdr(xdr_Device_Link), reinterpret_cast<caddr_t>(&lid))) {
        decode_failed(xprt);
        return;
    }
    if (!find(lid)) {
        reply_error(xprt, invalid_link);
        return;
    }
    for (auto& [fd, c] : connections) {
        if (c.pending && c.pending->lid == lid) {
            c.pending->fail(aborted);
            finish(fd);
        }
    }
    reply_error(xprt, no_error);
}

void Vxi11Server::Impl::serve_core(svc_req* request, SVCXPRT* xprt)
{
    const int fd = xprt->xp_fd;
    const auto get = [xprt](xdrproc_t proc, auto& args) {
        std::memset(&args, 0, sizeof args);
        return svc_getargs(xprt, proc, reinterpret_cast<caddr_t>(&args)) != 0;
    };
    const auto free_args = [xprt](xdrproc_t proc, auto& args) {
        svc_freeargs(xprt, proc, reinterpret_cast<caddr_t>(&args));
    };
    const auto xdr = [](auto f) { return as_xdr(f); };

    switch (request->rq_proc) {
    case create_link: {
        Create_LinkParms a;
        if (!get(xdr(xdr_Create_LinkParms), a)) {
            decode_failed(xprt);
            return;
        }
        std::string device = a.device ? a.device : "";
        const bool lock = a.lockDevice;
        const unsigned long lock_timeout = a.lock_timeout;
        free_args(xdr(xdr_Create_LinkParms), a);
        std::transform(device.begin(), device.end(), device.begin(),
                       [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
        Create_LinkResp r{};
        if (!instrument || device != "inst0")
            r.error = device_not_accessible;
        else if (static_cast<int>(links.size()) >= max_links)
            r.error = out_of_resources;
        if (r.error != no_error) {
            reply(xprt, xdr(xdr_Create_LinkResp), r);
            return;
        }
        const long lid = make_link(fd);
        const quint16 abort = abort_port;
        const auto answer = [this, xprt, lid, abort](long error) {
            Create_LinkResp resp{};
            resp.error = error;
            resp.lid = error == no_error ? lid : 0;
            resp.abortPort = abort;
            resp.maxRecvSize = max_receive;
            reply(xprt, as_xdr(xdr_Create_LinkResp), resp);
        };
        if (!lock) {
            answer(no_error);
            return;
        }
        hold(xprt, lid, flag_wait_lock, lock_timeout, 0,
             [this, lid, answer] {
                 if (!find(lid)) {
                     answer(invalid_link);
                     return Outcome::done;
                 }
                 if (!lock_free_for(lid))
                     return Outcome::wait_lock;
                 lock_owner = lid;
                 answer(no_error);
                 return Outcome::done;
             },
             [this, lid, answer](long error) {
                 remove_link(lid);
                 answer(error);
             });
        return;
    }
    case device_write: {
        Device_WriteParms a;
        if (!get(xdr(xdr_Device_WriteParms), a)) {
            decode_failed(xprt);
            return;
        }
        const long lid = a.lid;
        const long flags = a.flags;
        const unsigned long lock_timeout = a.lock_timeout, io = a.io_timeout;
        std::string data(a.data.data_val ? a.data.data_val : "", a.data.data_len);
        free_args(xdr(xdr_Device_WriteParms), a);
        const auto answer = [xprt](long error, unsigned long size) {
            Device_WriteResp resp{error, size};
            reply(xprt, as_xdr(xdr_Device_WriteResp), resp);
        };
        if (!find(lid))
            return answer(invalid_link, 0);
        if (data.size() > max_receive)
            return answer(parameter_error, 0);
        hold(xprt, lid, flags, lock_timeout, io,
             [this, lid, flags, data = std::move(data), answer] {
                 Link* l = find(lid);
                 if (!l) {
                     answer(invalid_link, 0);
                     return Outcome::done;
                 }
                 if (!lock_free_for(lid))
                     return Outcome::wait_lock;
                 // Replies left unread hold further writes back.
                 if (l->conversation.unread() > Vxi11Link::output_limit)
                     return Outcome::wait_io;
                 l->conversation.write(data, (flags & flag_end) != 0);
                 answer(no_error, data.size());
                 schedule_pump(l);
                 return Outcome::done;
             },
             [answer](long error) { answer(error, 0); });
        return;
    }
    case device_read: {
        Device_ReadParms a;
        if (!get(xdr(xdr_Device_ReadParms), a)) {
            decode_failed(xprt);
            return;
        }
        const long lid = a.lid;
        const long flags = a.flags;
        const std::size_t size = std::min<unsigned long>(a.requestSize, Vxi11Link::output_limit);
        const std::optional<char> term =
            (flags & flag_term_char) ? std::optional<char>(a.termChar) : std::nullopt;
        const unsigned long lock_timeout = a.lock_timeout, io = a.io_timeout;
        free_args(xdr(xdr_Device_ReadParms), a);
        const auto answer = [xprt](long error, long reason, std::string data) {
            Device_ReadResp resp{};
            resp.error = error;
            resp.reason = reason;
            resp.data.data_len = static_cast<u_int>(data.size());
            resp.data.data_val = data.data();
            reply(xprt, as_xdr(xdr_Device_ReadResp), resp);
        };
        if (!find(lid))
            return answer(invalid_link, 0, {});
        hold(xprt, lid, flags, lock_timeout, io,
             [this, lid, size, term, answer] {
                 Link* l = find(lid);
                 if (!l) {
                     answer(invalid_link, 0, {});
                     return Outcome::done;
                 }
                 if (!lock_free_for(lid))
                     return Outcome::wait_lock;
                 auto piece = l->conversation.read(size, term);
                 if (!piece)
                     return Outcome::wait_io;
                 answer(no_error, piece->reason, std::move(piece->data));
                 // Room for writes held back.
                 QTimer::singleShot(0, owner, [this] { retry_held(); });
                 return Outcome::done;
             },
             [answer](long error) { answer(error, 0, {}); });
        return;
    }
    case device_readstb:
    case device_trigger:
    case device_clear:
    case device_remote:
    case device_local: {
        Device_GenericParms a;
        if (!get(xdr(xdr_Device_GenericParms), a)) {
            decode_failed(xprt);
            return;
        }
        const long lid = a.lid;
        const long flags = a.flags;
        const unsigned long lock_timeout = a.lock_timeout;
        free_args(xdr(xdr_Device_GenericParms), a);
        const auto proc = request->rq_proc;
        const auto answer = [xprt, proc](long error, unsigned char stb) {
            if (proc == device_readstb) {
                Device_ReadStbResp resp{error, stb};
                reply(xprt, as_xdr(xdr_Device_ReadStbResp), resp);
            } else {
                reply_error(xprt, error);
            }
        };
        if (!find(lid))
            return answer(invalid_link, 0);
        hold(xprt, lid, flags, lock_timeout, 0,
             [this, lid, proc, answer] {
                 Link* l = find(lid);
                 if (!l) {
                     answer(invalid_link, 0);
                     return Outcome::done;
                 }
                 if (!lock_free_for(lid))
                     return Outcome::wait_lock;
                 unsigned char stb = 0;
                 if (proc == device_readstb) {
                     stb = l->conversation.status_byte();
                 } else if (proc == device_trigger) {
                     l->conversation.trigger();
                     schedule_pump(l);
                 } else if (proc == device_clear) {
                     l->wait.stop();
                     l->conversation.clear();
                 }
                 // Remote and local: the panel has no local lockout to
                 // switch; the window stays usable beside remote clients.
                 answer(no_error, stb);
                 return Outcome::done;
             },
             [answer](long error) { answer(error, 0); });
        return;
    }
    case device_lock: {
        Device_LockParms a;
        if (!get(xdr(xdr_Device_LockParms), a)) {
            decode_failed(xprt);
            return;
        }
        const long lid = a.lid;
        const long flags = a.flags;
        const unsigned long lock_timeout = a.lock_timeout;
        free_args(xdr(xdr_Device_LockParms), a);
        if (!find(lid))
            return reply_error(xprt, invalid_link);
        hold(xprt, lid, flags, lock_timeout, 0,
             [this, lid, xprt] {
                 if (!find(lid)) {
                     reply_error(xprt, invalid_link);
                     return Outcome::done;
                 }
                 if (!lock_free_for(lid))
                     return Outcome::wait_lock;
                 lock_owner = lid;
                 reply_error(xprt, no_error);
                 return Outcome::done;
             },
             [xprt](long error) { reply_error(xprt, error); });
        return;
    }
    case device_unlock:
    case destroy_link: {
        Device_Link lid = 0;
        if (!get(xdr(xdr_Device_Link), lid)) {
            decode_failed(xprt);
            return;
        }
        if (!find(lid))
            return reply_error(xprt, invalid_link);
        if (request->rq_proc == destroy_link) {
            reply_error(xprt, no_error);
            remove_link(lid);
            return;
        }
        if (lock_owner != lid)
            return reply_error(xprt, no_lock_held);
        lock_owner = 0;
        reply_error(xprt, no_error);
        retry_held();
        return;
    }
    case device_enable_srq: {
        Device_EnableSrqParms a;
        if (!get(xdr(xdr_Device_EnableSrqParms), a)) {
            decode_failed(xprt);
            return;
        }
        const long lid = a.lid;
        free_args(xdr(xdr_Device_EnableSrqParms), a);
        return reply_error(xprt, find(lid) ? not_supported : invalid_link);
    }
    case device_docmd: {
        Device_DocmdParms a;
        if (!get(xdr(xdr_Device_DocmdParms), a)) {
            decode_failed(xprt);
            return;
        }
        const long lid = a.lid;
        free_args(xdr(xdr_Device_DocmdParms), a);
        Device_DocmdResp r{};
        r.error = find(lid) ? not_supported : invalid_link;
        return reply(xprt, xdr(xdr_Device_DocmdResp), r);
    }
    case create_intr_chan: {
        Device_RemoteFunc a;
        if (!get(xdr(xdr_Device_RemoteFunc), a)) {
            decode_failed(xprt);
            return;
        }
        return reply_error(xprt, not_supported);
    }
    case destroy_intr_chan:
        return reply_error(xprt, channel_not_established);
    default:
        svcerr_noproc(xprt);
        return;
    }
}

Vxi11Server::Vxi11Server(QObject* parent) : QObject(parent), impl_(std::make_unique<Impl>(this)) {}

Vxi11Server::~Vxi11Server()
{
    if (impl_->registered) {
        if (netconfig* nc = getnetconfigent(impl_->netid.c_str())) {
            rpcb_unset(DEVICE_CORE, DEVICE_CORE_VERSION, nc);
            rpcb_unset(DEVICE_ASYNC, DEVICE_ASYNC_VERSION, nc);
            freenetconfigent(nc);
        }
    }
    std::vector<long> lids;
    for (const auto& [lid, l] : impl_->links)
        lids.push_back(lid);
    for (long lid : lids)
        impl_->remove_link(lid);
    // Every connection ends: the library reads each one's end and lets it go.
    std::vector<int> fds;
    for (auto& [fd, c] : impl_->connections)
        if (fd != (impl_->core ? impl_->core->xp_fd : -1) &&
            fd != (impl_->abort_channel ? impl_->abort_channel->xp_fd : -1))
            fds.push_back(fd);
    for (int fd : fds) {
        impl_->close_connection(fd);
        const SigpipeHeld held;
        for (int tries = 0; tries < 64; ++tries) {
            bool open = false;
            for (int i = 0; i < svc_max_pollfd; ++i)
                open = open || svc_pollfd[i].fd == fd;
            if (!open)
                break;
            svc_getreq_common(fd);
        }
    }
    if (impl_->core)
        svc_destroy(impl_->core);
    if (impl_->abort_channel)
        svc_destroy(impl_->abort_channel);
    impl_->connections.clear();
    if (serving == impl_.get())
        serving = nullptr;
}

bool Vxi11Server::listen(const QHostAddress& host, quint16 port, std::string* error)
{
    if (serving && serving != impl_.get()) {
        *error = "one VXI-11 server per process";
        return false;
    }
    // Connections read records without blocking, each up to max_record bytes.
    int record = static_cast<int>(max_record);
    rpc_control(RPC_SVC_CONNMAXREC_SET, &record);
    std::string cause;
    const int core_fd = open_listener(host, port, &cause);
    if (core_fd < 0) {
        *error = cause;
        return false;
    }
    const int abort_fd = open_listener(host, 0, &cause);
    if (abort_fd < 0) {
        ::close(core_fd);
        *error = cause;
        return false;
    }
    impl_->core = svc_vc_create(core_fd, 0, 0);
    impl_->abort_channel = svc_vc_create(abort_fd, 0, 0);
    if (!impl_->core || !impl_->abort_channel ||
        !svc_reg(impl_->core, DEVICE_CORE, DEVICE_CORE_VERSION, dispatch, nullptr) ||
        !svc_reg(impl_->abort_channel, DEVICE_ASYNC, DEVICE_ASYNC_VERSION, dispatch, nullptr)) {
        *error = "the RPC library could not serve the socket";
        return false;
    }
    impl_->host = host;
    impl_->netid = host.protocol() == QAbstractSocket::IPv6Protocol ? "tcp6" : "tcp";
    impl_->core_port = port_of(static_cast<const sockaddr*>(impl_->core->xp_ltaddr.buf));
    impl_->abort_port = port_of(static_cast<const sockaddr*>(impl_->abort_channel->xp_ltaddr.buf));
    serving = impl_.get();
    impl_->watch();
    return true;
}

QHostAddress Vxi11Server::address() const { return impl_->host; }
quint16 Vxi11Server::port() const { return impl_->core_port; }
quint16 Vxi11Server::abort_port() const { return impl_->abort_port; }
bool Vxi11Server::registered() const { return impl_->registered; }
int Vxi11Server::link_count() const { return static_cast<int>(impl_->links.size()); }
void Vxi11Server::attach(Instrument& instrument) { impl_->instrument = &instrument; }

bool Vxi11Server::register_with_rpcbind(std::string* cause)
{
    if (impl_->registered)
        return true;
    if (!impl_->core) {
        *cause = "the server does not listen";
        return false;
    }
    netconfig* nc = getnetconfigent(impl_->netid.c_str());
    if (!nc) {
        *cause = "no '" + impl_->netid + "' entry in /etc/netconfig";
        return false;
    }
    // A live registration of another server stays: its clients keep it.
    // (rpcbind's map is read whole: its one-address lookup leaks the empty
    // answer in the RPC library.)
    sockaddr_storage found{};
    netbuf address{sizeof found, 0, &found};
    rpcblist* maps = rpcb_getmaps(nc, "localhost");
    for (const rpcblist* m = maps; m; m = m->rpcb_next) {
        const rpcb& r = m->rpcb_map;
        if (r.r_prog != DEVICE_CORE || r.r_vers != DEVICE_CORE_VERSION || !r.r_netid || !r.r_addr ||
            impl_->netid != r.r_netid)
            continue;
        if (netbuf* nb = uaddr2taddr(nc, r.r_addr)) {
            address.len = std::min<unsigned>(nb->len, sizeof found);
            std::memcpy(&found, nb->buf, address.len);
            std::free(nb->buf);
            std::free(nb);
        }
    }
    xdr_free(as_xdr(xdr_rpcblist_ptr), reinterpret_cast<char*>(&maps));
    if (address.len > 0) {
        const quint16 theirs = port_of(reinterpret_cast<const sockaddr*>(&found));
        if (theirs != impl_->core_port && answers(address)) {
            *cause = "another VXI-11 server (port " + std::to_string(theirs) +
                     ") is registered; stop it to reach this one through rpcbind";
            freenetconfigent(nc);
            return false;
        }
    }
    rpcb_unset(DEVICE_CORE, DEVICE_CORE_VERSION, nc);
    rpcb_unset(DEVICE_ASYNC, DEVICE_ASYNC_VERSION, nc);
    const bool ok = rpcb_set(DEVICE_CORE, DEVICE_CORE_VERSION, nc, &impl_->core->xp_ltaddr) &&
                    rpcb_set(DEVICE_ASYNC, DEVICE_ASYNC_VERSION, nc, &impl_->abort_channel->xp_ltaddr);
    if (!ok) {
        rpcb_unset(DEVICE_CORE, DEVICE_CORE_VERSION, nc);
        *cause = "rpcbind does not answer (start it: 'systemctl start rpcbind')";
    }
    freenetconfigent(nc);
    impl_->registered = ok;
    return ok;
}

} // namespace korvel::remote
