#pragma once

#include "core/expected.h"
#include "service/common/clock.h"
#include "service/http/httpmessage.h"
#include "service/servicemetrics.h"
#include "service/serviceoptions.h"

#include <QString>

#include <functional>
#include <memory>

class AuthEndpoint;
class McpEndpoint;
class ReceiptLog;
class ServiceDatabase;
class UserDirectory;
class SessionStore;
class McpTools;

/// The whole service as a function from request to response: the MCP
/// endpoint at /mcp, the Auth API at /auth/login and /auth/validate, and for
/// operators /healthz and /metrics. It owns the database and the sessions and
/// knows nothing about sockets, so it can be driven directly (tests,
/// fuzzing) or through an HTTP server.
class ServiceHandler {
public:
    /// The file in the data folder that holds the token signing key.
    static QString signingKeyFileName();
    /// Opens the database and the signing key in options.dataDir, creating them on first use.
    static Expected<std::unique_ptr<ServiceHandler>> open(const ServiceOptions &options, Clock clock = systemNowMs);

    ~ServiceHandler();

    /// The reply to a request; a login's password check comes back as work
    /// for another thread.
    ServiceReply reply(const ServiceRequest &request);
    /// The largest body a request with this head may have.
    qsizetype bodyLimit(const ServiceRequest &head) const;
    /// The response to a request, with any work done on the spot.
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

    const ServiceOptions &options() const { return m_options; }
    ServiceDatabase &database() { return *m_database; }
    ReceiptLog &log() { return *m_log; }
    UserDirectory &users() { return *m_users; }

private:
    ServiceHandler(const ServiceOptions &options, Clock clock);

    ServiceResponse handleMcp(const ServiceRequest &request, qint64 nowMs);
    ServiceResponse health(qint64 nowMs);
    ServiceResponse metricsPage();

    ServiceOptions m_options;
    Clock m_clock;
    std::unique_ptr<ServiceDatabase> m_database;
    std::unique_ptr<ReceiptLog> m_log;
    std::unique_ptr<UserDirectory> m_users;
    std::unique_ptr<SessionStore> m_sessions;
    std::unique_ptr<McpTools> m_tools;
    std::unique_ptr<McpEndpoint> m_mcp;
    std::unique_ptr<AuthEndpoint> m_auth;
    ServiceMetrics m_metrics;
    std::function<ServiceMetrics::Gauges()> m_connectionGauges;
};
