#include "service/mcp/sessiontable.h"

#include "service/common/securerandom.h"

#include <algorithm>

SessionTable::SessionTable(qint64 ttlMs, int capacity, int perOwner)
    : m_ttlMs(std::max<qint64>(ttlMs, 1))
    , m_capacity(std::max(capacity, 1))
    , m_perOwner(std::max(perOwner, 1))
{
}

bool SessionTable::expired(const McpSession &session, qint64 nowMs) const
{
    return nowMs - session.lastUsedMs >= m_ttlMs;
}

void SessionTable::remove(Sessions::iterator session)
{
    const QString owner = session->owner;
    m_index.remove(session->id);
    Sessions &sessions = m_byOwner[owner];
    sessions.erase(session);
    if (sessions.empty())
        m_byOwner.remove(owner);
}

Expected<std::optional<McpSession>> SessionTable::open(qint64 nowMs, const QString &username, const QString &owner)
{
    expire(nowMs);
    const auto own = m_byOwner.constFind(owner);
    qsizetype owned = own == m_byOwner.constEnd() ? 0 : qsizetype(own->size());
    // Room is made among the owner's own sessions only.
    while (owned > 0 && (owned >= m_perOwner || size() >= m_capacity)) {
        Sessions &sessions = m_byOwner[owner];
        const auto unused = std::find_if(sessions.begin(), sessions.end(), [](const McpSession &s) { return !s.used; });
        remove(unused != sessions.end() ? unused : sessions.begin());
        --owned;
    }
    if (size() >= m_capacity)
        return std::optional<McpSession>();
    QString id;
    do {
        id = QString::fromLatin1(SecureRandom::token(32));
    } while (m_index.contains(id));
    Sessions &sessions = m_byOwner[owner];
    sessions.push_back(McpSession { id, username, owner, nowMs, nowMs, false, false });
    m_index.insert(id, std::prev(sessions.end()));
    return std::optional<McpSession>(sessions.back());
}

Expected<std::optional<McpSession>> SessionTable::use(const QString &id, qint64 nowMs)
{
    const auto found = m_index.constFind(id);
    if (found == m_index.constEnd())
        return std::optional<McpSession>();
    const auto it = *found;
    if (expired(*it, nowMs)) {
        remove(it);
        return std::optional<McpSession>();
    }
    it->lastUsedMs = std::max(it->lastUsedMs, nowMs);
    Sessions &sessions = m_byOwner[it->owner];
    sessions.splice(sessions.end(), sessions, it);
    return std::optional<McpSession>(*it);
}

void SessionTable::mark(const QString &id, SessionMarks marks)
{
    const auto found = m_index.constFind(id);
    if (found == m_index.constEnd())
        return;
    (*found)->initialized = (*found)->initialized || marks.initialized;
    (*found)->used = (*found)->used || marks.used;
}

bool SessionTable::close(const QString &id)
{
    const auto found = m_index.constFind(id);
    if (found == m_index.constEnd())
        return false;
    remove(*found);
    return true;
}

int SessionTable::expire(qint64 nowMs)
{
    int removed = 0;
    // Each owner's sessions are ordered by last use, so the expired ones are at the front.
    for (auto owner = m_byOwner.begin(); owner != m_byOwner.end();) {
        Sessions &sessions = owner.value();
        while (!sessions.empty() && expired(sessions.front(), nowMs)) {
            m_index.remove(sessions.front().id);
            sessions.pop_front();
            ++removed;
        }
        owner = sessions.empty() ? m_byOwner.erase(owner) : std::next(owner);
    }
    return removed;
}
