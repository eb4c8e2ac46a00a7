#include "service/runningservice.h"

#include <QTcpServer>

#include <algorithm>

Expected<std::unique_ptr<RunningService>> RunningService::start(
    const ServiceOptions &options, const QHostAddress &address, quint16 port, LogSink log, Clock clock)
{
    std::unique_ptr<RunningService> server(new RunningService());
    auto service = ServiceHandler::open(options, clock);
    if (!service)
        return service.error();
    server->m_service = std::move(service).value();

    auto tcp = std::make_unique<QTcpServer>();
    if (!tcp->listen(address, port)) {
        return Error {
            QStringLiteral("Cannot listen on %1 port %2: %3").arg(address.toString()).arg(port).arg(tcp->errorString())
        };
    }
    const quint16 actualPort = tcp->serverPort();
    ServiceHandler *handler = server->m_service.get();
    server->m_http = std::make_unique<HttpFrontend>(
        std::move(tcp), [handler](const ServiceRequest &request) { return handler->reply(request); }, std::move(log),
        clock, HttpFrontend::Limits { options.idleTimeoutMs, options.maxConnections });

    QUrl base;
    base.setScheme(QStringLiteral("http"));
    base.setHost(address.toString());
    base.setPort(actualPort);
    server->m_baseUrl = base;

    const qint64 interval = std::clamp<qint64>(options.sessionTtlMs / 2, 1000, 60'000);
    server->m_sweep.setInterval(static_cast<int>(interval));
    QObject::connect(&server->m_sweep, &QTimer::timeout, server.get(), [handler] { handler->expireSessions(); });
    server->m_sweep.start();
    return server;
}

RunningService::~RunningService()
{
    m_sweep.stop();
    m_http.reset(); // no request may reach the service once it is gone
}

QUrl RunningService::mcpUrl() const
{
    QUrl url = m_baseUrl;
    url.setPath(QStringLiteral("/mcp"));
    return url;
}
