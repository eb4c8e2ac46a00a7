#pragma once

#include "service/common/clock.h"
#include "service/http/httpmessage.h"

#include <QHash>
#include <QThreadPool>

#include <functional>
#include <memory>

class QTcpServer;
class QTcpSocket;

/// Receives one log line (no line feed).
using LogSink = std::function<void(const QString &line)>;

/// The HTTP/1.1 front of a ServiceHandler. It reads each request within the
/// size limits, hands it to the handler, runs slow work (password hashing)
/// on a small thread pool so that the event loop goes on serving everyone
/// else, writes the response with exactly its status and headers, and logs
/// one line per request. A connection on which no whole request arrives
/// within the idle time is closed; past the connection cap, the connection
/// idle the longest is closed first.
class HttpFrontend : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<ServiceReply(const ServiceRequest &)>;

    struct Limits {
        qint64 idleTimeoutMs = 30'000;
        int maxConnections = 512;
    };

    /// Serves the connections that tcp, which is listening already, accepts.
    HttpFrontend(std::unique_ptr<QTcpServer> tcp, Handler handler, LogSink log, Clock clock, Limits limits,
        QObject *parent = nullptr);
    ~HttpFrontend() override;

    /// Where slow work runs.
    QThreadPool &workers() { return m_workers; }

private:
    class Connection;

    void acceptAll();
    void admit(QTcpSocket *socket);
    Connection *oldestIdle() const;
    void runLater(quint64 connection, std::function<ServiceResponse()> work);
    void logRequest(const QByteArray &method, const QByteArray &path, int status, qint64 elapsedNs) const;

    std::unique_ptr<QTcpServer> m_tcp;
    Handler m_handler;
    LogSink m_log;
    Clock m_clock;
    Limits m_limits;
    QThreadPool m_workers;
    QHash<quint64, Connection *> m_connections;
    quint64 m_nextId = 1;
    quint64 m_idleCount = 0; // orders connections by when they last became idle
};
