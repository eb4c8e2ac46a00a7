#pragma once

#include "core/expected.h"
#include "service/common/clock.h"
#include "service/http/httpmessage.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>

struct MHD_Connection;
struct MHD_Daemon;
class QSocketNotifier;
class QTcpServer;
class WorkQueue;

/// Receives one log line (no line feed).
using LogSink = std::function<void(const QString &line)>;

/// What became of one request the handler saw: for the request log and the metrics.
struct FinishedRequest {
    QByteArray method;
    QByteArray path;
    int status = 0; // 0 when no response was sent (the client left first)
    qint64 elapsedNs = 0;
};

/// HTTP/1.1 through libmicrohttpd, driven from the Qt event loop with no
/// threads of its own: the library's epoll descriptor under a socket
/// notifier, its timeout under a timer. It parses requests (strictly), holds
/// each connection within its memory limit, answers HEAD, keep-alive,
/// pipelining and "100 Continue", and stops reading from a client that does
/// not read its replies. Around it, this class admits connections (past the
/// cap the one idle the longest is closed, never one in the middle of a
/// request, else newcomers wait), closes a connection on which no whole
/// request arrives within the idle time, suspends a request whose answer is
/// slow work until a worker has done it (or a deferred answer until it is
/// delivered), and logs one line per request.
class HttpServer : public QObject {
    Q_OBJECT
public:
    struct Limits {
        int maxConnections = 512;
        int maxConnectionsPerAddress = 0; // 0: only the cap in all
        qsizetype connectionMemory = 32 * 1024; // the request head must fit in about half
        qint64 idleTimeoutMs = 30'000;
        int maxQueuedWork = 32;
        int maxQueuedWorkPerAddress = 8;
    };
    struct Handlers {
        /// The largest body the request with these method, path and headers may have.
        std::function<qsizetype(const ServiceRequest &head)> bodyLimit;
        std::function<ServiceReply(const ServiceRequest &request)> reply;
        /// Told about each request once it is over (optional).
        std::function<void(const FinishedRequest &request)> finished;
    };

    /// A server with no listening socket yet; nothing when the library refuses the limits.
    static Expected<std::unique_ptr<HttpServer>> create(Handlers handlers, Limits limits, LogSink log, Clock clock);
    ~HttpServer() override;

    /// Accepts connections on address:port; the port it got (port 0 picks a free one).
    Expected<quint16> listen(const QHostAddress &address, quint16 port);
    /// Serves a connected socket, which the server then owns (and closes).
    void adopt(int fd, const QHostAddress &peer);

    int connectionCount() const { return static_cast<int>(m_connections.size()); }
    /// Accepted connections waiting for a place under the cap.
    int waitingConnections() const { return static_cast<int>(m_waiting.size()); }
    /// Requests waiting for a worker or being worked on.
    int queuedWork() const;
    WorkQueue &work() { return *m_work; }

private:
    struct Connection;
    struct Request;
    class Listener;

    HttpServer(Handlers handlers, Limits limits, LogSink log, Clock clock);

    void run();
    void runLibrary();
    void admitWaiting();
    Connection *oldestIdle() const;
    void closeLateRequests();
    void closeFinishedClients();
    void suspend(Request &request, quint64 workId);
    void defer(Request &request, std::function<void(ServiceReply::Deliver)> start);
    void deferredDone(quint64 id, const ServiceResponse &response);
    void workDone(quint64 id, const ServiceResponse &response);
    void checkAbandoned(Request &request);
    void resume(Request &request);
    void finish(Request *request);

    struct Callbacks; // the library calls these

    Handlers m_handlers;
    Limits m_limits;
    LogSink m_log;
    Clock m_clock;
    MHD_Daemon *m_daemon = nullptr;
    std::unique_ptr<QSocketNotifier> m_events;
    QTimer m_libraryTimer; // when the library next wants to run
    QTimer m_deadlines; // closes connections whose request is late
    std::unique_ptr<WorkQueue> m_work;
    std::unique_ptr<Listener> m_listener;
    QSet<Connection *> m_connections;
    QHash<quint64, Request *> m_suspended; // by work id
    QHash<quint64, Request *> m_deferred; // waiting for a deferred reply, by their own id
    quint64 m_deferredCount = 0;
    bool m_runDue = false;
    std::deque<std::pair<int, QHostAddress>> m_waiting; // accepted, not yet admitted
    quint64 m_idleCount = 0; // orders connections by when they became idle
    bool m_running = false; // inside the library's run: no re-entry
    bool m_admitDue = false;
};
