#include "service/http/httpserver.h"

#include "service/http/requestrules.h"
#include "service/http/workqueue.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>

#include <microhttpd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

// Outside bytes in a log line: visible ASCII stays, everything else becomes
// \xNN, so no request can end or forge a line or drive the terminal.
QString printable(const QByteArray &bytes, bool spaces = false)
{
    if (bytes.isEmpty())
        return QStringLiteral("-");
    QString out;
    for (const char c : bytes) {
        if ((c > 0x20 || (spaces && c == 0x20)) && c < 0x7f && c != '\\')
            out += QLatin1Char(c);
        else
            out += QStringLiteral("\\x%1").arg(static_cast<uchar>(c), 2, 16, QLatin1Char('0'));
    }
    return out;
}

socklen_t toSockaddr(const QHostAddress &address, sockaddr_storage &storage)
{
    storage = {};
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
        in6->sin6_family = AF_INET6;
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, bytes.c, sizeof bytes.c);
        return sizeof(sockaddr_in6);
    }
    auto *in = reinterpret_cast<sockaddr_in *>(&storage);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(address.toIPv4Address());
    return sizeof(sockaddr_in);
}

HeaderList fields(MHD_Connection *connection, MHD_ValueKind kind)
{
    HeaderList list;
    MHD_get_connection_values_n(
        connection, kind,
        [](void *cls, MHD_ValueKind, const char *key, size_t keySize, const char *value, size_t valueSize) {
            static_cast<HeaderList *>(cls)->append({ QByteArray(key, static_cast<qsizetype>(keySize)),
                QByteArray(value ? value : "", value ? static_cast<qsizetype>(valueSize) : 0) });
            return MHD_YES;
        },
        &list);
    return list;
}

} // namespace

struct HttpServer::Connection {
    int fd = -1;
    QString address;
    enum class State { idle, receiving, answering } state = State::idle;
    qint64 readySinceMs = 0; // a whole request is due within the idle time from here
    quint64 idleOrder = 0; // smaller: idle for longer
    bool closing = false; // shut down by us; the library closes it on its next run
    bool answered = false; // a request ended on this run: has the client finished sending?

    void becomeIdle(qint64 nowMs, quint64 order)
    {
        state = State::idle;
        readySinceMs = nowMs;
        idleOrder = order;
    }
};

struct HttpServer::Request {
    MHD_Connection *handle = nullptr;
    Connection *connection = nullptr;
    ServiceRequest request;
    qsizetype bodyLimit = 0;
    QElapsedTimer started;
    int status = 0; // of the response queued; 0 while there is none
    enum class Work { none, waiting, done, abandoned } work = Work::none;
    quint64 workId = 0; // or, for a deferred reply, its own id
    ServiceResponse workResponse;
    QSocketNotifier *watch = nullptr; // sees the client leave while its work waits

    void dropWatch()
    {
        if (!watch)
            return;
        watch->setEnabled(false);
        watch->deleteLater(); // it may be the one whose signal runs now
        watch = nullptr;
    }
};

// Hands each accepted socket to the server; Qt deals with the listening
// socket, its addresses and running out of descriptors.
class HttpServer::Listener : public QTcpServer {
public:
    explicit Listener(HttpServer &server)
        : m_server(server)
    {
    }

protected:
    void incomingConnection(qintptr fd) override
    {
        sockaddr_storage peer {};
        socklen_t length = sizeof peer;
        QHostAddress address;
        if (::getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr *>(&peer), &length) == 0)
            address.setAddress(reinterpret_cast<sockaddr *>(&peer));
        m_server.adopt(static_cast<int>(fd), address);
    }

private:
    HttpServer &m_server;
};

struct HttpServer::Callbacks {
    static Connection *connectionOf(MHD_Connection *handle)
    {
        const MHD_ConnectionInfo *info = MHD_get_connection_info(handle, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        return info ? static_cast<Connection *>(info->socket_context) : nullptr;
    }

    static void connection(void *cls, MHD_Connection *handle, void **socketContext, MHD_ConnectionNotificationCode code)
    {
        auto *server = static_cast<HttpServer *>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto *connection = new Connection;
            connection->fd = MHD_get_connection_info(handle, MHD_CONNECTION_INFO_CONNECTION_FD)->connect_fd;
            const MHD_ConnectionInfo *peer = MHD_get_connection_info(handle, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
            connection->address = peer ? QHostAddress(peer->client_addr).toString() : QString();
            connection->becomeIdle(server->m_clock(), ++server->m_idleCount);
            server->m_connections.insert(connection);
            *socketContext = connection;
            return;
        }
        auto *connection = static_cast<Connection *>(*socketContext);
        server->m_connections.remove(connection);
        delete connection;
        *socketContext = nullptr;
        server->m_admitDue = true;
    }

    static void *requestLine(void *, const char *, MHD_Connection *handle)
    {
        // From here on the connection is in the middle of a request: never closed to make room.
        if (Connection *connection = connectionOf(handle))
            connection->state = Connection::State::receiving;
        return nullptr;
    }

    static MHD_Result request(void *cls, MHD_Connection *handle, const char *url, const char *method, const char *,
        const char *upload, size_t *uploadSize, void **requestContext)
    {
        auto *server = static_cast<HttpServer *>(cls);
        auto *request = static_cast<Request *>(*requestContext);
        if (!request) { // the head is in
            request = new Request;
            *requestContext = request;
            request->handle = handle;
            request->connection = connectionOf(handle);
            request->started.start();
            request->request.method = method;
            request->request.path = url;
            request->request.headers = fields(handle, MHD_HEADER_KIND);
            request->request.clientAddress = request->connection ? request->connection->address : QString();
            if (auto problem = RequestRules::headProblem(request->request.headers))
                return respond(*request, *problem);
            request->bodyLimit = server->m_handlers.bodyLimit(request->request);
            const QByteArray length = request->request.header("Content-Length");
            if (!length.isNull() && length.toLongLong() > request->bodyLimit) {
                return respond(*request,
                    ServiceResponse::text(
                        413, QStringLiteral("The request body is larger than %1 bytes").arg(request->bodyLimit)));
            }
            return MHD_YES;
        }
        if (*uploadSize > 0) {
            // A chunked body past the limit: no answer can be queued while a body
            // is arriving, so the connection is closed.
            if (request->request.body.size() + static_cast<qsizetype>(*uploadSize) > request->bodyLimit)
                return MHD_NO;
            request->request.body.append(upload, static_cast<qsizetype>(*uploadSize));
            *uploadSize = 0;
            return MHD_YES;
        }
        switch (request->work) {
        case Request::Work::done:
            return respond(*request, request->workResponse);
        case Request::Work::abandoned:
            return MHD_NO; // its client has gone
        case Request::Work::waiting:
            return MHD_YES;
        case Request::Work::none:
            break;
        }
        if (request->status != 0)
            return MHD_YES;
        // The whole request is in: what follows (a wait for a worker too) is no late arrival.
        if (request->connection)
            request->connection->state = Connection::State::answering;
        if (auto problem = RequestRules::trailerProblem(fields(handle, MHD_FOOTER_KIND)))
            return respond(*request, *problem);
        ServiceReply reply = server->m_handlers.reply(request->request);
        if (reply.pending) {
            server->defer(*request, std::move(reply.pending));
            return MHD_YES;
        }
        if (!reply.work)
            return respond(*request, reply.response);
        const auto id = server->m_work->submit(request->request.clientAddress, std::move(reply.work));
        if (!id) {
            return respond(*request,
                ServiceResponse::text(
                    503, QStringLiteral("Too many requests are waiting for a worker; try again shortly"))
                    .withHeader("Retry-After", "1"));
        }
        server->suspend(*request, *id);
        return MHD_YES;
    }

    static MHD_Result respond(Request &request, const ServiceResponse &response)
    {
        MHD_Response *reply = MHD_create_response_from_buffer(static_cast<size_t>(response.body.size()),
            const_cast<char *>(response.body.constData()), MHD_RESPMEM_MUST_COPY);
        if (!reply)
            return MHD_NO;
        for (const auto &[name, value] : response.headers)
            MHD_add_response_header(reply, name.constData(), value.constData());
        const MHD_Result queued = MHD_queue_response(request.handle, static_cast<unsigned int>(response.status), reply);
        MHD_destroy_response(reply);
        if (queued == MHD_YES) {
            request.status = response.status;
            if (request.connection)
                request.connection->state = Connection::State::answering;
        }
        return queued;
    }

    static void requestOver(void *cls, MHD_Connection *handle, void **requestContext, MHD_RequestTerminationCode)
    {
        auto *request = static_cast<Request *>(*requestContext);
        *requestContext = nullptr;
        if (!request)
            return;
        if (request->status == 0) { // the library answered it (a malformed body)
            const MHD_ConnectionInfo *info = MHD_get_connection_info(handle, MHD_CONNECTION_INFO_HTTP_STATUS);
            request->status = info ? static_cast<int>(info->http_status) : 0;
        }
        static_cast<HttpServer *>(cls)->finish(request);
    }

    // The library's own messages (refused requests, limits reached), made inert.
    static void log(void *cls, const char *format, va_list arguments)
    {
        char text[512];
        std::vsnprintf(text, sizeof text, format, arguments);
        auto *server = static_cast<HttpServer *>(cls);
        if (server->m_log)
            server->m_log(
                QStringLiteral("%1 HTTP: %2")
                    .arg(isoTimestamp(server->m_clock()), printable(QByteArray(text).trimmed().left(300), true)));
    }
};

HttpServer::HttpServer(Handlers handlers, Limits limits, LogSink log, Clock clock)
    : m_handlers(std::move(handlers))
    , m_limits(limits)
    , m_log(std::move(log))
    , m_clock(std::move(clock))
{
}

Expected<std::unique_ptr<HttpServer>> HttpServer::create(Handlers handlers, Limits limits, LogSink log, Clock clock)
{
    std::unique_ptr<HttpServer> server(new HttpServer(std::move(handlers), limits, std::move(log), std::move(clock)));
    HttpServer *self = server.get();
    const auto timeoutSeconds
        = static_cast<unsigned int>(std::clamp<qint64>((limits.idleTimeoutMs + 999) / 1000, 1, INT_MAX));
    self->m_daemon = MHD_start_daemon(
        MHD_USE_EPOLL | MHD_USE_NO_LISTEN_SOCKET | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG, 0, nullptr, nullptr,
        &Callbacks::request, self, MHD_OPTION_EXTERNAL_LOGGER, &Callbacks::log, self, MHD_OPTION_STRICT_FOR_CLIENT, 1,
        MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned int>(std::max(limits.maxConnections, 1)),
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<unsigned int>(std::max(limits.maxConnectionsPerAddress, 0)),
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(limits.connectionMemory), MHD_OPTION_CONNECTION_TIMEOUT,
        timeoutSeconds, MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::requestOver, self, MHD_OPTION_NOTIFY_CONNECTION,
        &Callbacks::connection, self, MHD_OPTION_URI_LOG_CALLBACK, &Callbacks::requestLine, self, MHD_OPTION_END);
    if (!self->m_daemon) {
        return Error { QStringLiteral("The HTTP library did not start with these limits: %1")
                           .arg(QString::fromLocal8Bit(std::strerror(errno))) };
    }
    const MHD_DaemonInfo *events = MHD_get_daemon_info(self->m_daemon, MHD_DAEMON_INFO_EPOLL_FD);
    self->m_events = std::make_unique<QSocketNotifier>(events->epoll_fd, QSocketNotifier::Read);
    connect(self->m_events.get(), &QSocketNotifier::activated, self, &HttpServer::run);
    self->m_libraryTimer.setSingleShot(true);
    connect(&self->m_libraryTimer, &QTimer::timeout, self, &HttpServer::run);
    self->m_deadlines.setInterval(static_cast<int>(std::clamp<qint64>(limits.idleTimeoutMs / 4, 10, 1000)));
    connect(&self->m_deadlines, &QTimer::timeout, self, &HttpServer::closeLateRequests);
    self->m_deadlines.start();
    self->m_work = std::make_unique<WorkQueue>(limits.maxQueuedWork, limits.maxQueuedWorkPerAddress,
        [self](quint64 id, const ServiceResponse &response) { self->workDone(id, response); });
    return server;
}

HttpServer::~HttpServer()
{
    m_listener.reset();
    m_deadlines.stop();
    m_libraryTimer.stop();
    for (const auto &[fd, peer] : m_waiting)
        ::close(fd);
    // Work under way ends first; then every suspended connection is resumed,
    // as the library must not stop with any suspended, and closed.
    m_work.reset();
    for (Request *request : std::as_const(m_suspended)) {
        request->dropWatch();
        request->work = Request::Work::abandoned;
        MHD_resume_connection(request->handle);
    }
    m_suspended.clear();
    for (Request *request : std::as_const(m_deferred)) {
        request->work = Request::Work::abandoned;
        MHD_resume_connection(request->handle);
    }
    m_deferred.clear();
    runLibrary();
    m_events.reset();
    MHD_stop_daemon(m_daemon);
}

Expected<quint16> HttpServer::listen(const QHostAddress &address, quint16 port)
{
    auto listener = std::make_unique<Listener>(*this);
    // A burst of connections waits in the kernel rather than being refused.
    listener->setListenBacklogSize(std::clamp(m_limits.maxConnections, 128, 4096));
    if (!listener->listen(address, port)) {
        return Error { QStringLiteral("Cannot listen on %1 port %2: %3")
                           .arg(address.toString())
                           .arg(port)
                           .arg(listener->errorString()) };
    }
    // Out of file descriptors, Qt stops accepting: try again shortly.
    connect(listener.get(), &QTcpServer::acceptError, this,
        [this] { QTimer::singleShot(100, this, [this] { m_listener->resumeAccepting(); }); });
    m_listener = std::move(listener);
    return m_listener->serverPort();
}

void HttpServer::adopt(int fd, const QHostAddress &peer)
{
    m_waiting.emplace_back(fd, peer);
    if (m_running) {
        m_admitDue = true;
        return;
    }
    admitWaiting();
    run();
}

int HttpServer::queuedWork() const
{
    return m_work->size();
}

void HttpServer::runLibrary()
{
    if (m_running)
        return;
    m_running = true;
    MHD_run(m_daemon);
    m_running = false;
}

void HttpServer::run()
{
    runLibrary();
    closeFinishedClients();
    if (m_admitDue) {
        m_admitDue = false;
        admitWaiting();
    }
    MHD_UNSIGNED_LONG_LONG wait = 0;
    if (MHD_get_timeout(m_daemon, &wait) == MHD_YES)
        m_libraryTimer.start(static_cast<int>(std::min<MHD_UNSIGNED_LONG_LONG>(wait, INT_MAX)));
    else
        m_libraryTimer.stop();
}

void HttpServer::admitWaiting()
{
    while (!m_waiting.empty()) {
        if (connectionCount() >= m_limits.maxConnections) {
            Connection *idle = oldestIdle();
            if (!idle)
                break; // newcomers wait until a connection finishes its request or closes
            const int before = connectionCount();
            idle->closing = true;
            ::shutdown(idle->fd, SHUT_RDWR);
            runLibrary();
            if (connectionCount() >= before)
                break; // closed on a later run; its notification admits the next
            continue;
        }
        const auto [fd, peer] = m_waiting.front();
        m_waiting.pop_front();
        sockaddr_storage address {};
        const socklen_t length = toSockaddr(peer, address);
        // Refused (too many from that address), the library closes the socket.
        MHD_add_connection(m_daemon, fd, reinterpret_cast<const sockaddr *>(&address), length);
    }
    if (m_listener) {
        if (m_waiting.empty())
            m_listener->resumeAccepting();
        else
            m_listener->pauseAccepting();
    }
}

HttpServer::Connection *HttpServer::oldestIdle() const
{
    Connection *oldest = nullptr;
    for (Connection *connection : m_connections) {
        if (connection->state == Connection::State::idle && !connection->closing
            && (!oldest || connection->idleOrder < oldest->idleOrder))
            oldest = connection;
    }
    return oldest;
}

// A client that shut its sending side once its requests were out is done
// when they are answered. In epoll mode the library would notice only at the
// idle timeout, and the client waiting for the end of the connection with it.
void HttpServer::closeFinishedClients()
{
    bool closed = false;
    for (Connection *connection : std::as_const(m_connections)) {
        if (!std::exchange(connection->answered, false) || connection->state != Connection::State::idle)
            continue;
        char byte = 0;
        if (::recv(connection->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0) {
            connection->closing = true;
            ::shutdown(connection->fd, SHUT_RDWR);
            closed = true;
        }
    }
    if (closed)
        runLibrary();
}

void HttpServer::closeLateRequests()
{
    const qint64 now = m_clock();
    bool closed = false;
    for (Connection *connection : std::as_const(m_connections)) {
        if (connection->state != Connection::State::answering && !connection->closing
            && now - connection->readySinceMs >= m_limits.idleTimeoutMs) {
            connection->closing = true;
            ::shutdown(connection->fd, SHUT_RDWR);
            closed = true;
        }
    }
    if (closed)
        run();
}

void HttpServer::suspend(Request &request, quint64 workId)
{
    request.work = Request::Work::waiting;
    request.workId = workId;
    m_suspended.insert(workId, &request);
    if (request.connection) {
        request.watch = new QSocketNotifier(request.connection->fd, QSocketNotifier::Read, this);
        Request *waiting = &request;
        connect(request.watch, &QSocketNotifier::activated, this, [this, waiting] { checkAbandoned(*waiting); });
    }
    MHD_suspend_connection(request.handle);
}

void HttpServer::defer(Request &request, std::function<void(ServiceReply::Deliver)> start)
{
    const quint64 id = ++m_deferredCount;
    request.work = Request::Work::waiting;
    request.workId = id;
    m_deferred.insert(id, &request);
    MHD_suspend_connection(request.handle);
    // The answer goes out on a later turn of the loop, never from inside the
    // library's callback, and not at all once the server is gone.
    QPointer<HttpServer> self(this);
    start([self, id](const ServiceResponse &response) {
        if (self)
            QMetaObject::invokeMethod(
                self, [self, id, response] { self->deferredDone(id, response); }, Qt::QueuedConnection);
    });
}

// A client that leaves meanwhile is not watched for: the commit goes on
// anyway, and its answer then has nowhere to go.
void HttpServer::deferredDone(quint64 id, const ServiceResponse &response)
{
    Request *request = m_deferred.take(id);
    if (!request)
        return;
    request->workResponse = response;
    request->work = Request::Work::done;
    MHD_resume_connection(request->handle);
    // Many answers of one commit arrive together: the library runs once for them all.
    if (!std::exchange(m_runDue, true)) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_runDue = false;
                run();
            },
            Qt::QueuedConnection);
    }
}

void HttpServer::workDone(quint64 id, const ServiceResponse &response)
{
    Request *request = m_suspended.value(id);
    if (!request)
        return;
    request->workResponse = response;
    request->work = Request::Work::done;
    resume(*request);
}

// The client of a request whose work still waits may have gone: then the
// work is dropped. A client that sends more (pipelined requests) is there.
void HttpServer::checkAbandoned(Request &request)
{
    char byte = 0;
    const ssize_t peeked = ::recv(request.connection->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (peeked < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (peeked > 0 || !m_work->withdraw(request.workId)) {
        request.dropWatch(); // its answer goes out as usual
        return;
    }
    request.work = Request::Work::abandoned;
    resume(request);
}

void HttpServer::resume(Request &request)
{
    request.dropWatch();
    m_suspended.remove(request.workId);
    MHD_resume_connection(request.handle);
    run();
}

void HttpServer::finish(Request *request)
{
    request->dropWatch(); // a suspended request never ends here: it is resumed first
    const FinishedRequest finished { request->request.method, request->request.path, request->status,
        request->started.nsecsElapsed() };
    if (m_log) {
        // Method, path, status and time only: never headers, bodies or queries,
        // which is where tokens, passwords and session ids travel.
        // One arg() call: a later one would also replace a "%1" inside the path.
        m_log(QStringLiteral("%1 %2 %3 %4 %5 ms")
                  .arg(isoTimestamp(m_clock()), printable(finished.method), printable(finished.path.left(200)),
                      finished.status ? QString::number(finished.status) : QStringLiteral("-"),
                      QString::number(static_cast<double>(finished.elapsedNs) / 1e6, 'f', 1)));
    }
    if (m_handlers.finished)
        m_handlers.finished(finished);
    if (request->connection && m_connections.contains(request->connection)) {
        request->connection->becomeIdle(m_clock(), ++m_idleCount);
        request->connection->answered = true;
    }
    if (!m_waiting.empty())
        m_admitDue = true;
    delete request;
}
