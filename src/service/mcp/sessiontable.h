#pragma once

#include "service/mcp/sessionstore.h"

#include <QHash>
#include <QString>

#include <list>

/// The live MCP sessions, bounded in time, per owner and in all. A session
/// idle for longer than the time to live is gone. An owner (a user, or the
/// anonymous clients of one address) who opens more than their share loses
/// one of their own sessions, never anyone else's: first one never used,
/// then the one idle the longest. Clients that open a session per file and
/// never close it therefore cannot grow memory without bound, nor push other
/// owners out, and a flood of opens drops only the flood's own sessions.
class SessionTable : public SessionStore {
public:
    SessionTable(qint64 ttlMs, int capacity, int perOwner);

    Expected<std::optional<McpSession>> open(qint64 nowMs, const QString &username, const QString &owner) override;
    Expected<std::optional<McpSession>> use(const QString &id, qint64 nowMs) override;
    void mark(const QString &id, SessionMarks marks) override;
    bool close(const QString &id) override;
    int expire(qint64 nowMs) override;
    int size() const override { return static_cast<int>(m_index.size()); }

private:
    using Sessions = std::list<McpSession>; // least recently used first

    bool expired(const McpSession &session, qint64 nowMs) const;
    void remove(Sessions::iterator session);

    qint64 m_ttlMs;
    int m_capacity;
    int m_perOwner;
    QHash<QString, Sessions> m_byOwner;
    QHash<QString, Sessions::iterator> m_index;
};
