#pragma once

#include "core/expected.h"
#include "service/http/httpserver.h"
#include "service/servicehandler.h"

#include <QHostAddress>
#include <QTimer>
#include <QUrl>

#include <memory>

/// A running service: the ServiceHandler behind the HTTP server, and the
/// timer that drops idle sessions even when no requests come.
class RunningService : public QObject {
    Q_OBJECT
public:
    /// Opens the service and listens on address:port (port 0 picks a free one).
    static Expected<std::unique_ptr<RunningService>> start(const ServiceOptions &options, const QHostAddress &address,
        quint16 port, LogSink log, Clock clock = systemNowMs);

    ~RunningService() override;

    /// "http://HOST:PORT", the base of /mcp and /auth/...
    QUrl baseUrl() const { return m_baseUrl; }
    QUrl mcpUrl() const;

    ServiceHandler &service() { return *m_service; }
    HttpServer &http() { return *m_http; }

private:
    RunningService() = default;

    std::unique_ptr<ServiceHandler> m_service;
    std::unique_ptr<HttpServer> m_http;
    QTimer m_sweep;
    QUrl m_baseUrl;
};
