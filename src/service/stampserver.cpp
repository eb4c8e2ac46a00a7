#include "service/stampserver.h"

#include <QElapsedTimer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>

namespace {

QByteArray methodName(QHttpServerRequest::Method method)
{
    switch (method) {
    case QHttpServerRequest::Method::Get: return "GET";
    case QHttpServerRequest::Method::Put: return "PUT";
    case QHttpServerRequest::Method::Delete: return "DELETE";
    case QHttpServerRequest::Method::Post: return "POST";
    case QHttpServerRequest::Method::Head: return "HEAD";
    case QHttpServerRequest::Method::Options: return "OPTIONS";
    case QHttpServerRequest::Method::Patch: return "PATCH";
    case QHttpServerRequest::Method::Connect: return "CONNECT";
    case QHttpServerRequest::Method::Trace: return "TRACE";
    default: return "UNKNOWN";
    }
}

ServiceRequest toServiceRequest(const QHttpServerRequest &request)
{
    ServiceRequest out;
    out.method = methodName(request.method());
    out.path = request.url().path(QUrl::FullyEncoded).toLatin1();
    out.headers = request.headers();
    out.body = request.body();
    return out;
}

void write(QHttpServerResponder &responder, const ServiceResponse &response, bool withBody)
{
    responder.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(response.status));
    for (const auto &[name, value] : response.headers)
        responder.writeHeader(name, value);
    responder.writeHeader("Content-Length", QByteArray::number(response.body.size()));
    // writeBody also ends the header block, so it is called even for no body.
    responder.writeBody(withBody ? response.body : QByteArray());
}

} // namespace

HttpFrontend::HttpFrontend(Handler handler, LogSink log, Clock clock, QObject *parent)
    : QAbstractHttpServer(parent), m_handler(std::move(handler)), m_log(std::move(log)), m_clock(std::move(clock))
{
}

bool HttpFrontend::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    QElapsedTimer timer;
    timer.start();
    const ServiceRequest serviceRequest = toServiceRequest(request);
    const ServiceResponse response = m_handler(serviceRequest);
    QHttpServerResponder responder = makeResponder(request, socket);
    write(responder, response, serviceRequest.method != "HEAD");
    if (m_log) {
        // Method, path, status and time only: never headers, bodies or queries,
        // which is where tokens, passwords and session ids travel.
        m_log(QStringLiteral("%1 %2 %3 %4 %5 ms")
                  .arg(isoTimestamp(m_clock()), QString::fromLatin1(serviceRequest.method),
                       QString::fromLatin1(serviceRequest.path.left(200)))
                  .arg(response.status)
                  .arg(static_cast<double>(timer.nsecsElapsed()) / 1e6, 0, 'f', 1));
    }
    return true;
}

void HttpFrontend::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    // Not reached: handleRequest answers everything.
    QHttpServerResponder responder = makeResponder(request, socket);
    write(responder, ServiceResponse::text(404, QStringLiteral("Not found")), true);
}

Expected<std::unique_ptr<StampServer>> StampServer::start(const ServiceOptions &options, const QHostAddress &address,
                                                          quint16 port, LogSink log, Clock clock)
{
    std::unique_ptr<StampServer> server(new StampServer());
    auto service = StampService::open(options, clock);
    if (!service)
        return service.error();
    server->m_service = std::move(service).value();

    auto tcp = std::make_unique<QTcpServer>();
    if (!tcp->listen(address, port)) {
        return Error{QStringLiteral("Cannot listen on %1 port %2: %3")
                         .arg(address.toString())
                         .arg(port)
                         .arg(tcp->errorString())};
    }
    const quint16 actualPort = tcp->serverPort();
    StampService *handler = server->m_service.get();
    server->m_http = std::make_unique<HttpFrontend>(
        [handler](const ServiceRequest &request) { return handler->handle(request); }, std::move(log), clock);
    server->m_http->bind(tcp.release()); // the HTTP server owns the listening socket from here

    QUrl base;
    base.setScheme(QStringLiteral("http"));
    base.setHost(address.toString());
    base.setPort(actualPort);
    server->m_baseUrl = base;

    const qint64 interval = std::clamp<qint64>(options.sessionTtlMs / 2, 1000, 60'000);
    server->m_sweep.setInterval(static_cast<int>(interval));
    QObject::connect(&server->m_sweep, &QTimer::timeout, server.get(),
                     [handler] { handler->expireSessions(); });
    server->m_sweep.start();
    return server;
}

StampServer::~StampServer()
{
    m_sweep.stop();
    m_http.reset(); // no request may reach the service once it is gone
}

QUrl StampServer::mcpUrl() const
{
    QUrl url = m_baseUrl;
    url.setPath(QStringLiteral("/mcp"));
    return url;
}
