#include "service/mcp/databasesessions.h"

#include "service/common/securerandom.h"
#include "service/db/servicedatabase.h"

#include <QCryptographicHash>
#include <QVariant>

#include <algorithm>

namespace {

QString idHash(const QString &id)
{
    return QString::fromLatin1(QCryptographicHash::hash(id.toLatin1(), QCryptographicHash::Sha256).toHex());
}

} // namespace

DatabaseSessions::DatabaseSessions(ServiceDatabase &database, qint64 ttlMs, int capacity, int perOwner)
    : m_database(database)
    , m_ttlMs(std::max<qint64>(ttlMs, 1))
    , m_capacity(std::max(capacity, 1))
    , m_perOwner(std::max(perOwner, 1))
{
}

Expected<std::optional<McpSession>> DatabaseSessions::open(qint64 nowMs, const QString &username, const QString &owner)
{
    const QString what = QStringLiteral("opening a session");
    auto counts = m_database.query(what,
        QStringLiteral("SELECT COUNT(*), COUNT(*) FILTER (WHERE owner = ?) FROM mcp_sessions WHERE last_used_ms > ?"),
        { owner, nowMs - m_ttlMs });
    if (!counts)
        return counts.error();
    if (!counts.value().next())
        return std::optional<McpSession>();
    const qint64 total = counts.value().value(0).toLongLong();
    const qint64 owned = counts.value().value(1).toLongLong();
    // Room is made among the owner's own sessions only: never used first, then the idlest.
    const qint64 drop = std::min(owned, std::max({ qint64(0), owned - m_perOwner + 1, total - m_capacity + 1 }));
    if (drop > 0) {
        auto dropped = m_database.query(what,
            QStringLiteral("DELETE FROM mcp_sessions WHERE id_hash IN (SELECT id_hash FROM mcp_sessions "
                           "WHERE owner = ? ORDER BY used, last_used_ms LIMIT ?)"),
            { owner, drop });
        if (!dropped)
            return dropped.error();
    }
    if (total - drop >= m_capacity)
        return std::optional<McpSession>();
    McpSession session { QString::fromLatin1(SecureRandom::token(32)), username, owner, nowMs, nowMs, false, false };
    auto inserted = m_database.query(what,
        QStringLiteral("INSERT INTO mcp_sessions (id_hash, username, owner, created_ms, last_used_ms) "
                       "VALUES (?, ?, ?, ?, ?)"),
        { idHash(session.id), username, owner, nowMs, nowMs });
    if (!inserted)
        return inserted.error();
    return std::optional<McpSession>(session);
}

Expected<std::optional<McpSession>> DatabaseSessions::use(const QString &id, qint64 nowMs)
{
    auto found = m_database.query(QStringLiteral("finding a session"),
        QStringLiteral("UPDATE mcp_sessions SET last_used_ms = GREATEST(last_used_ms, ?) "
                       "WHERE id_hash = ? AND last_used_ms > ? "
                       "RETURNING username, owner, created_ms, last_used_ms, initialized, used"),
        { nowMs, idHash(id), nowMs - m_ttlMs });
    if (!found)
        return found.error();
    if (!found.value().next())
        return std::optional<McpSession>();
    const QSqlQuery &row = *found;
    return std::optional<McpSession>(McpSession { id, row.value(0).toString(), row.value(1).toString(),
        row.value(2).toLongLong(), row.value(3).toLongLong(), row.value(4).toBool(), row.value(5).toBool() });
}

void DatabaseSessions::mark(const QString &id, SessionMarks marks)
{
    m_database.query(QStringLiteral("marking a session"),
        QStringLiteral("UPDATE mcp_sessions SET initialized = initialized OR ?, used = used OR ? WHERE id_hash = ?"),
        { marks.initialized, marks.used, idHash(id) });
}

bool DatabaseSessions::close(const QString &id)
{
    auto closed = m_database.query(QStringLiteral("ending a session"),
        QStringLiteral("DELETE FROM mcp_sessions WHERE id_hash = ?"), { idHash(id) });
    return closed && closed.value().numRowsAffected() > 0;
}

int DatabaseSessions::expire(qint64 nowMs)
{
    if (m_sweptMs && nowMs >= *m_sweptMs && nowMs - *m_sweptMs < 1000)
        return 0;
    m_sweptMs = nowMs;
    auto swept = m_database.query(QStringLiteral("dropping idle sessions"),
        QStringLiteral("DELETE FROM mcp_sessions WHERE last_used_ms <= ?"), { nowMs - m_ttlMs });
    return swept ? swept.value().numRowsAffected() : 0;
}

int DatabaseSessions::size() const
{
    auto counted
        = m_database.query(QStringLiteral("counting sessions"), QStringLiteral("SELECT COUNT(*) FROM mcp_sessions"));
    return counted && counted.value().next() ? counted.value().value(0).toInt() : 0;
}
