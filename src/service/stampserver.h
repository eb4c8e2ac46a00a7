#pragma once

#include "core/expected.h"
#include "service/stampservice.h"

#include <QHash>
#include <QHostAddress>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>

class QTcpServer;
class QTcpSocket;

/// Receives one log line (no line feed).
using LogSink = std::function<void(const QString &line)>;

/// The HTTP/1.1 front of a StampService. It reads each request within the
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

/// A running service: the StampService, its HTTP front and the timer that
/// drops idle sessions even when no requests come.
class StampServer : public QObject {
    Q_OBJECT
public:
    /// Opens the service and listens on address:port (port 0 picks a free one).
    static Expected<std::unique_ptr<StampServer>> start(const ServiceOptions &options, const QHostAddress &address,
        quint16 port, LogSink log, Clock clock = systemNowMs);

    ~StampServer() override;

    /// "http://HOST:PORT", the base of /mcp and /auth/...
    QUrl baseUrl() const { return m_baseUrl; }
    QUrl mcpUrl() const;

    StampService &service() { return *m_service; }
    HttpFrontend &http() { return *m_http; }

private:
    StampServer() = default;

    std::unique_ptr<StampService> m_service;
    std::unique_ptr<HttpFrontend> m_http;
    QTimer m_sweep;
    QUrl m_baseUrl;
};
