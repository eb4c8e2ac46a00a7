#pragma once

#include "core/expected.h"
#include "service/stampservice.h"

#include <QAbstractHttpServer>
#include <QHostAddress>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>

/// Receives one log line (no line feed).
using LogSink = std::function<void(const QString &line)>;

/// Qt HTTP Server in front of a StampService: turns each parsed request into
/// a ServiceRequest, writes the ServiceResponse back with exactly its status
/// and headers, and logs one line per request.
class HttpFrontend : public QAbstractHttpServer {
    Q_OBJECT
public:
    using Handler = std::function<ServiceResponse(const ServiceRequest &)>;

    HttpFrontend(Handler handler, LogSink log, Clock clock, QObject *parent = nullptr);

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    Handler m_handler;
    LogSink m_log;
    Clock m_clock;
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

private:
    StampServer() = default;

    std::unique_ptr<StampService> m_service;
    std::unique_ptr<HttpFrontend> m_http;
    QTimer m_sweep;
    QUrl m_baseUrl;
};
