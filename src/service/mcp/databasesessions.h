#pragma once

#include "service/mcp/sessionstore.h"

#include <optional>

class ServiceDatabase;

/// MCP sessions in the database, for instances that share one: a session
/// opened on one is served by any, and ended (or expired) for all at once.
/// The rules are SessionTable's; the caps hold per database, give or take
/// the sessions instances open at the same moment. Expired sessions are
/// never served; the sweep only keeps the table small. Only the SHA-256 of an
/// id is stored, so reading the table gives no one a live session.
class DatabaseSessions : public SessionStore {
public:
    DatabaseSessions(ServiceDatabase &database, qint64 ttlMs, int capacity, int perOwner);

    Expected<std::optional<McpSession>> open(qint64 nowMs, const QString &username, const QString &owner) override;
    Expected<std::optional<McpSession>> use(const QString &id, qint64 nowMs) override;
    void mark(const QString &id, SessionMarks marks) override;
    bool close(const QString &id) override;
    /// Runs at most once a second: every request asks for it.
    int expire(qint64 nowMs) override;
    int size() const override;

private:
    ServiceDatabase &m_database;
    qint64 m_ttlMs;
    int m_capacity;
    int m_perOwner;
    std::optional<qint64> m_sweptMs;
};
