#pragma once

#include <QHash>
#include <QString>

#include <list>

/// One MCP session: it exists only on the server.
struct McpSession {
    QString id;
    QString username; // who opened it with a valid token; empty when anonymous
    qint64 createdMs = 0;
    qint64 lastUsedMs = 0;
    bool initialized = false; // the client sent notifications/initialized
};

/// The live MCP sessions, bounded in time, per user and in all. A session
/// idle for longer than the time to live is gone. A user who opens more than
/// their share loses their own session idle the longest, never anyone
/// else's; the anonymous clients count as one user. Clients that open a
/// session per file and never close it therefore cannot grow memory without
/// bound, nor push other users out.
class SessionTable {
public:
    SessionTable(qint64 ttlMs, int capacity, int perUser);

    /// A new session with a fresh unguessable id; nullptr when the table is
    /// full and the user has no session of their own to give up.
    const McpSession *open(qint64 nowMs, const QString &username);

    /// The live session with that id, marked as used at nowMs; nullptr when
    /// there is none or it has expired (an expired one is removed).
    McpSession *use(const QString &id, qint64 nowMs);

    /// Ends a session; false when there was none.
    bool close(const QString &id);

    /// Drops every session idle for longer than the time to live; returns how many.
    int expire(qint64 nowMs);

    int size() const { return static_cast<int>(m_index.size()); }

private:
    using Sessions = std::list<McpSession>; // least recently used first

    bool expired(const McpSession &session, qint64 nowMs) const;
    void remove(Sessions::iterator session);

    qint64 m_ttlMs;
    int m_capacity;
    int m_perUser;
    QHash<QString, Sessions> m_byUser;
    QHash<QString, Sessions::iterator> m_index;
};
