#include "service/runningservice.h"

#include <algorithm>

Expected<std::unique_ptr<RunningService>> RunningService::start(
    const ServiceOptions &options, const QHostAddress &address, quint16 port, LogSink log, Clock clock)
{
    std::unique_ptr<RunningService> server(new RunningService());
    auto service = ServiceHandler::open(options, clock);
    if (!service)
        return service.error();
    server->m_service = std::move(service).value();
    ServiceHandler *handler = server->m_service.get();
    handler->setLog(log);

    HttpServer::Handlers handlers {
        [handler](const ServiceRequest &head) { return handler->bodyLimit(head); },
        [handler](const ServiceRequest &request) { return handler->reply(request); },
        [handler](const FinishedRequest &request) { handler->metrics().requestFinished(request.path, request.status); },
    };
    const HttpServer::Limits limits { options.maxConnections, options.maxConnectionsPerAddress,
        options.connectionMemory, options.idleTimeoutMs, options.maxQueuedLogins, options.maxQueuedLoginsPerAddress };
    auto created = HttpServer::create(std::move(handlers), limits, std::move(log), clock);
    if (!created)
        return created.error();
    server->m_http = std::move(created).value();
    HttpServer *http = server->m_http.get();
    handler->setConnectionGauges([http] {
        ServiceMetrics::Gauges gauges;
        gauges.connections = http->connectionCount();
        gauges.waitingConnections = http->waitingConnections();
        gauges.queuedLogins = http->queuedWork();
        return gauges;
    });
    const auto actualPort = server->m_http->listen(address, port);
    if (!actualPort)
        return actualPort.error();

    QUrl base;
    base.setScheme(QStringLiteral("http"));
    base.setHost(address.toString());
    base.setPort(*actualPort);
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
