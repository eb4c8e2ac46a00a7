#include "service/servicehandler.h"

#include "evidence/logkey.h"
#include "service/accounts/authendpoint.h"
#include "service/accounts/userdirectory.h"
#include "service/common/textcheck.h"
#include "service/db/servicedatabase.h"
#include "service/log/anchorer.h"
#include "service/log/logwriter.h"
#include "service/log/receiptlog.h"
#include "service/mcp/mcpendpoint.h"
#include "service/mcp/mcptools.h"
#include "service/mcp/sessiontable.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace {

ServiceResponse methodNotAllowed(const QByteArray &allow)
{
    return ServiceResponse::text(405, QStringLiteral("Method not allowed; use %1").arg(QString::fromLatin1(allow)))
        .withHeader("Allow", allow);
}

// Browsers send Origin; a page on another site must not reach a service on
// this machine through the user's browser (DNS rebinding, cross-site posts).
bool originAllowed(const ServiceRequest &request)
{
    const QByteArray origin = request.header("Origin");
    if (origin.isNull())
        return true;
    const QString host = QUrl(QString::fromLatin1(origin)).host();
    return host == QLatin1String("localhost") || host == QLatin1String("127.0.0.1") || host == QLatin1String("::1");
}

bool isJson(const ServiceRequest &request)
{
    return request.header("Content-Type").split(';').first().trimmed().toLower() == "application/json";
}

} // namespace

QString ServiceHandler::signingKeyFileName()
{
    return QStringLiteral("token-signing.key");
}

QString ServiceHandler::logKeyFileName()
{
    return QStringLiteral("log-key.pem");
}

Expected<LogKey> ServiceHandler::loadOrCreateLogKey(const QString &dataDir)
{
    const QString path = QDir(dataDir).filePath(logKeyFileName());
    if (QFileInfo::exists(path))
        return LogKey::load(path);
    auto key = LogKey::generate();
    if (!key)
        return key.error();
    if (auto saved = key->save(path); !saved)
        return saved.error();
    return key;
}

ServiceHandler::ServiceHandler(const ServiceOptions &options, Clock clock)
    : m_options(options)
    , m_clock(std::move(clock))
{
}

ServiceHandler::~ServiceHandler() = default;

Expected<std::unique_ptr<ServiceHandler>> ServiceHandler::open(const ServiceOptions &options, Clock clock)
{
    std::unique_ptr<ServiceHandler> service(new ServiceHandler(options, std::move(clock)));
    auto database = ServiceDatabase::open(options.dataDir);
    if (!database)
        return database.error();
    service->m_database = std::move(database).value();
    service->m_log = std::make_unique<ReceiptLog>(*service->m_database);
    auto logKey = loadOrCreateLogKey(options.dataDir);
    if (!logKey)
        return logKey.error();
    service->m_logKeyPem = logKey->publicKey().pem();
    // A log kept before heads were signed gets them now, before any answer
    // needs them.
    if (auto signedHeads = service->m_log->signMissingHeads(*logKey, service->m_clock()); !signedHeads)
        return signedHeads.error();
    auto writer = LogWriter::start(options.dataDir, *logKey, service->m_clock, options.maxCommitStamps);
    if (!writer)
        return writer.error();
    service->m_writer = std::move(writer).value();
    ServiceMetrics *metrics = &service->m_metrics;
    Anchorer *anchorer = nullptr;
    if (!options.tsaUrls.isEmpty()) {
        service->m_anchorer
            = std::make_unique<Anchorer>(options.tsaUrls, options.tsaIntervalMs, *service->m_log, *service->m_writer);
        anchorer = service->m_anchorer.get();
        ServiceHandler *self = service.get();
        anchorer->setObserver([self](const QUrl &url, const std::optional<Error> &problem) {
            self->m_metrics.anchorDone(!problem);
            if (problem && self->m_logSink) {
                QString text = QStringLiteral("Timestamp from %1 failed: %2").arg(url.toString(), problem->description);
                // The authority's words, shown inert.
                for (QChar &c : text) {
                    if (hasUnsafeCharacters(QString(c)))
                        c = QChar::ReplacementCharacter;
                }
                self->m_logSink(text);
            }
        });
        // Heads left undated by an earlier run are dated now.
        anchorer->committed();
    }
    service->m_writer->setObserver([metrics, anchorer](const LogWriter::Report &report) {
        metrics->commitWritten(report.stamps, report.created, report.error.has_value(), report.seconds);
        if (anchorer && report.heads > 0)
            anchorer->committed();
    });
    service->m_users = std::make_unique<UserDirectory>(*service->m_database);
    auto signer = TokenSigner::loadOrCreate(QDir(options.dataDir).filePath(signingKeyFileName()));
    if (!signer)
        return signer.error();
    service->m_sessions
        = std::make_unique<SessionTable>(options.sessionTtlMs, options.maxSessions, options.maxSessionsPerUser);
    service->m_tools = std::make_unique<McpTools>(
        *service->m_log, *service->m_writer, logKey->publicKey(), options.maxReportReceipts);
    service->m_mcp = std::make_unique<McpEndpoint>(*service->m_tools, *service->m_sessions,
        McpEndpoint::Options {
            options.eventStream, options.requireAuth, options.maxBatchMessages, options.maxReplyBytes });
    service->m_auth = std::make_unique<AuthEndpoint>(*service->m_users, *signer,
        AuthEndpoint::Limits { options.tokenTtlMs, options.maxPasswordBytes, options.unknownUserIterations });
    return service;
}

void ServiceHandler::expireSessions()
{
    m_sessions->expire(m_clock());
}

int ServiceHandler::sessionCount() const
{
    return m_sessions->size();
}

ServiceResponse ServiceHandler::handle(const ServiceRequest &request)
{
    const ServiceReply answer = reply(request);
    if (answer.pending) {
        std::optional<ServiceResponse> response;
        answer.pending([&response](const ServiceResponse &ready) { response = ready; });
        m_writer->settle();
        if (!response)
            return ServiceResponse::text(500, QStringLiteral("No answer came"));
        return *response;
    }
    return answer.work ? answer.work() : answer.response;
}

qsizetype ServiceHandler::bodyLimit(const ServiceRequest &head) const
{
    if (head.path == "/auth/login")
        return 8 * 1024 + 8 * m_options.maxPasswordBytes;
    return m_options.maxBodyBytes;
}

ServiceReply ServiceHandler::reply(const ServiceRequest &request)
{
    const qint64 now = m_clock();
    m_sessions->expire(now);
    if (!originAllowed(request))
        return ServiceResponse::text(403, QStringLiteral("Requests from web pages of other sites are not allowed"));

    if (request.path == "/mcp")
        return handleMcp(request, now);
    if (request.path == "/auth/login") {
        if (request.method != "POST")
            return methodNotAllowed("POST");
        return m_auth->login(request, now);
    }
    // HEAD is GET without the body, which the HTTP server leaves out.
    const bool get = request.method == "GET" || request.method == "HEAD";
    if (request.path == "/auth/validate")
        return get ? m_auth->validate(request, now) : methodNotAllowed("GET, HEAD");
    if (request.path == "/healthz")
        return get ? health(now) : methodNotAllowed("GET, HEAD");
    if (request.path == "/metrics")
        return get ? metricsPage() : methodNotAllowed("GET, HEAD");
    if (request.path == "/log/key")
        return get ? logKeyPage() : methodNotAllowed("GET, HEAD");
    return ServiceResponse::text(404, QStringLiteral("Not found"));
}

ServiceReply ServiceHandler::handleMcp(const ServiceRequest &request, qint64 nowMs)
{
    if (request.method != "POST" && request.method != "DELETE") {
        // No server-initiated messages, hence no stream to open with GET.
        return methodNotAllowed("POST, DELETE");
    }
    const QByteArray token = request.bearerToken();
    const auto claims = m_auth->authenticate(token, nowMs);
    if (m_options.requireAuth && !claims) {
        return unauthorized(
            token.isEmpty() ? QStringLiteral("Missing bearer token") : QStringLiteral("Invalid or expired token"),
            !token.isEmpty());
    }
    const QString user = claims ? claims->username : QString();
    if (request.method == "DELETE")
        return m_mcp->remove(request, user, nowMs);
    if (!isJson(request))
        return ServiceResponse::text(415, QStringLiteral("Content-Type must be application/json"));
    return m_mcp->post(request, user, nowMs);
}

// Ready when a stamp could be committed now.
ServiceResponse ServiceHandler::health(qint64 nowMs)
{
    const auto writable = m_database->checkWritable(nowMs);
    if (!writable)
        return ServiceResponse::text(503, writable.error().description);
    return ServiceResponse::text(200, QStringLiteral("ok"));
}

ServiceResponse ServiceHandler::metricsPage()
{
    ServiceMetrics::Gauges gauges = m_connectionGauges ? m_connectionGauges() : ServiceMetrics::Gauges {};
    gauges.sessions = m_sessions->size();
    if (const auto totals = m_log->totals()) {
        gauges.scopes = totals->scopes;
        gauges.leaves = totals->leaves;
    }
    ServiceResponse response;
    response.headers = { { "Content-Type", "text/plain; version=0.0.4; charset=utf-8" } };
    response.body = m_metrics.render(gauges);
    return response;
}

ServiceResponse ServiceHandler::logKeyPage() const
{
    ServiceResponse response;
    response.headers = { { "Content-Type", "application/x-pem-file" } };
    response.body = m_logKeyPem;
    return response;
}
