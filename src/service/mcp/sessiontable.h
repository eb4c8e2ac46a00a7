#pragma once

#include <QHash>
#include <QString>

#include <list>

/// One MCP session: it exists only on the server.
struct McpSession {
    QString id;
    QString username; // who opened it with a valid token; empty when anonymous
    QString owner; // whose share it counts against: a user, or the anonymous clients of one address
    qint64 createdMs = 0;
    qint64 lastUsedMs = 0;
    bool initialized = false; // the client sent notifications/initialized
    bool used = false; // a request has been answered in it
};

/// The live MCP sessions, bounded in time, per owner and in all. A session
/// idle for longer than the time to live is gone. An owner (a user, or the
/// anonymous clients of one address) who opens more than their share loses
/// one of their own sessions, never anyone else's: first one never used,
/// then the one idle the longest. Clients that open a session per file and
/// never close it therefore cannot grow memory without bound, nor push other
/// owners out, and a flood of opens drops only the flood's own sessions.
class SessionTable {
public:
    SessionTable(qint64 ttlMs, int capacity, int perOwner);

    /// The owner key of a user's sessions, or of the anonymous clients of an address.
    static QString owner(const QString &username, const QString &address);

    /// A new session with a fresh unguessable id; nullptr when the table is
    /// full and the owner has no session of their own to give up.
    const McpSession *open(qint64 nowMs, const QString &username, const QString &owner);

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
    int m_perOwner;
    QHash<QString, Sessions> m_byOwner;
    QHash<QString, Sessions::iterator> m_index;
};
