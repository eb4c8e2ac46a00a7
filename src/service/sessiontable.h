#pragma once

#include <QHash>
#include <QString>

#include <list>

/// One MCP session: it exists only on the server.
struct McpSession {
    QString id;
    QString username;   // who opened it with a valid token; empty when anonymous
    qint64 createdMs = 0;
    qint64 lastUsedMs = 0;
    bool initialized = false; // the client sent notifications/initialized
};

/// The live MCP sessions, bounded in time and in number. A session idle for
/// longer than the time to live is gone; when the table is full, opening a
/// session drops the one idle the longest. Clients that open a session per
/// file and never close it therefore cannot grow memory without bound.
class SessionTable {
public:
    SessionTable(qint64 ttlMs, int capacity);

    /// A new session with a fresh unguessable id.
    const McpSession &open(qint64 nowMs, const QString &username);

    /// The live session with that id, marked as used at nowMs; nullptr when
    /// there is none or it has expired (an expired one is removed).
    McpSession *use(const QString &id, qint64 nowMs);

    /// Ends a session; false when there was none.
    bool close(const QString &id);

    /// Drops every session idle for longer than the time to live; returns how many.
    int expire(qint64 nowMs);

    int size() const { return static_cast<int>(m_index.size()); }
    int capacity() const { return m_capacity; }
    qint64 ttlMs() const { return m_ttlMs; }

private:
    bool expired(const McpSession &session, qint64 nowMs) const;

    qint64 m_ttlMs;
    int m_capacity;
    std::list<McpSession> m_byUse; // least recently used first
    QHash<QString, std::list<McpSession>::iterator> m_index;
};
