#pragma once

#include "core/expected.h"
#include "evidence/logkey.h"
#include "service/common/clock.h"
#include "service/http/httpmessage.h"
#include "service/servicemetrics.h"
#include "service/serviceoptions.h"

#include <QString>

#include <functional>
#include <memory>

class Anchorer;
class AuthEndpoint;
class LogWriter;
class McpEndpoint;
class ReceiptLog;
class ServiceDatabase;
class UserDirectory;
class SessionTable;
class McpTools;

/// The whole service as a function from request to response: the MCP
/// endpoint at /mcp, the Auth API at /auth/login and /auth/validate, the
/// log's public key at /log/key, and for operators /healthz and /metrics. It
/// owns the database, the log's writer and the sessions and knows nothing
/// about sockets, so it can be driven directly (tests, fuzzing) or through an
/// HTTP server.
class ServiceHandler {
public:
    /// The file in the data folder that holds the token signing key.
    static QString signingKeyFileName();
    /// The file in the data folder that holds the log's Ed25519 key.
    static QString logKeyFileName();
    /// The log key in dataDir, created (mode 0600) when there is none.
    static Expected<LogKey> loadOrCreateLogKey(const QString &dataDir);
    /// Opens the database and the keys in options.dataDir, creating them on
    /// first use, signs the heads a log from before signed heads lacks, and
    /// starts the log's writer.
    static Expected<std::unique_ptr<ServiceHandler>> open(const ServiceOptions &options, Clock clock = systemNowMs);

    ~ServiceHandler();

    /// The reply to a request; a login's password check comes back as work
    /// for another thread, a stamp as a reply deferred until its commit.
    ServiceReply reply(const ServiceRequest &request);
    /// The largest body a request with this head may have.
    qsizetype bodyLimit(const ServiceRequest &head) const;
    /// The response to a request, with any work done on the spot and any
    /// commit waited for.
    ServiceResponse handle(const ServiceRequest &request);

    /// Drops idle sessions now (the service also does so as requests arrive).
    void expireSessions();
    int sessionCount() const;

    /// Counts what the HTTP server did; connections reads its gauges for /metrics.
    ServiceMetrics &metrics() { return m_metrics; }
    void setConnectionGauges(std::function<ServiceMetrics::Gauges()> connections)
    {
        m_connectionGauges = std::move(connections);
    }

    /// Where the service reports what no request waits for (a failed timestamp).
    void setLog(std::function<void(const QString &line)> log) { m_logSink = std::move(log); }

    const ServiceOptions &options() const { return m_options; }
    ServiceDatabase &database() { return *m_database; }
    ReceiptLog &log() { return *m_log; }
    LogWriter &writer() { return *m_writer; }
    UserDirectory &users() { return *m_users; }

private:
    ServiceHandler(const ServiceOptions &options, Clock clock);

    ServiceReply handleMcp(const ServiceRequest &request, qint64 nowMs);
    ServiceResponse logKeyPage() const;
    ServiceResponse health(qint64 nowMs);
    ServiceResponse metricsPage();

    ServiceOptions m_options;
    Clock m_clock;
    std::unique_ptr<ServiceDatabase> m_database;
    std::unique_ptr<ReceiptLog> m_log;
    std::unique_ptr<UserDirectory> m_users;
    std::unique_ptr<SessionTable> m_sessions;
    std::unique_ptr<McpTools> m_tools;
    std::unique_ptr<McpEndpoint> m_mcp;
    std::unique_ptr<AuthEndpoint> m_auth;
    ServiceMetrics m_metrics;
    std::function<ServiceMetrics::Gauges()> m_connectionGauges;
    QByteArray m_logKeyPem;
    std::function<void(const QString &line)> m_logSink;
    std::unique_ptr<Anchorer> m_anchorer; // with --tsa only
    // Last: it goes first, so no commit's answer reaches what is gone.
    std::unique_ptr<LogWriter> m_writer;
};
