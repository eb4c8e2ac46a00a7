#pragma once

#include "core/expected.h"

#include <QString>

#include <optional>

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

/// What a POST did in a session, beyond keeping it alive.
struct SessionMarks {
    bool initialized = false;
    bool used = false;
};

/// Where the live MCP sessions are kept: in the memory of one process
/// (SessionTable), or in the database that several instances share
/// (DatabaseSessions), so that any instance serves any session and a
/// session ended on one is ended on all.
class SessionStore {
public:
    virtual ~SessionStore() = default;

    /// The owner key of a user's sessions, or of the anonymous clients of an address.
    static QString owner(const QString &username, const QString &address)
    {
        return username.isEmpty() ? QStringLiteral("anonymous@") + address : QStringLiteral("user:") + username;
    }

    /// A new session with a fresh unguessable id; nothing when the store is
    /// full and the owner has no session of their own to give up; an error
    /// when the store cannot be reached.
    virtual Expected<std::optional<McpSession>> open(qint64 nowMs, const QString &username, const QString &owner) = 0;

    /// The live session with that id, marked as used at nowMs; nothing when
    /// there is none or it has expired (an expired one is removed).
    virtual Expected<std::optional<McpSession>> use(const QString &id, qint64 nowMs) = 0;

    /// Records what a request did in the session.
    virtual void mark(const QString &id, SessionMarks marks) = 0;

    /// Ends a session; false when there was none.
    virtual bool close(const QString &id) = 0;

    /// Drops every session idle for longer than the time to live; returns how many.
    virtual int expire(qint64 nowMs) = 0;

    virtual int size() const = 0;
};
