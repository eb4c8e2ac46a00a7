#include "service/mcp/sessiontable.h"

#include "service/common/securerandom.h"

#include <algorithm>

SessionTable::SessionTable(qint64 ttlMs, int capacity, int perUser)
    : m_ttlMs(std::max<qint64>(ttlMs, 1))
    , m_capacity(std::max(capacity, 1))
    , m_perUser(std::max(perUser, 1))
{
}

bool SessionTable::expired(const McpSession &session, qint64 nowMs) const
{
    return nowMs - session.lastUsedMs >= m_ttlMs;
}

void SessionTable::remove(Sessions::iterator session)
{
    const QString username = session->username;
    m_index.remove(session->id);
    Sessions &sessions = m_byUser[username];
    sessions.erase(session);
    if (sessions.empty())
        m_byUser.remove(username);
}

const McpSession *SessionTable::open(qint64 nowMs, const QString &username)
{
    expire(nowMs);
    const auto own = m_byUser.constFind(username);
    qsizetype owned = own == m_byUser.constEnd() ? 0 : qsizetype(own->size());
    // Room is made among the user's own sessions only.
    while (owned > 0 && (owned >= m_perUser || size() >= m_capacity)) {
        remove(m_byUser[username].begin());
        --owned;
    }
    if (size() >= m_capacity)
        return nullptr;
    QString id;
    do {
        id = QString::fromLatin1(SecureRandom::token(32));
    } while (m_index.contains(id));
    Sessions &sessions = m_byUser[username];
    sessions.push_back(McpSession { id, username, nowMs, nowMs, false });
    m_index.insert(id, std::prev(sessions.end()));
    return &sessions.back();
}

McpSession *SessionTable::use(const QString &id, qint64 nowMs)
{
    const auto found = m_index.constFind(id);
    if (found == m_index.constEnd())
        return nullptr;
    const auto it = *found;
    if (expired(*it, nowMs)) {
        remove(it);
        return nullptr;
    }
    it->lastUsedMs = std::max(it->lastUsedMs, nowMs);
    Sessions &sessions = m_byUser[it->username];
    sessions.splice(sessions.end(), sessions, it);
    return &*it;
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
    // Each user's sessions are ordered by last use, so the expired ones are at the front.
    for (auto user = m_byUser.begin(); user != m_byUser.end();) {
        Sessions &sessions = user.value();
        while (!sessions.empty() && expired(sessions.front(), nowMs)) {
            m_index.remove(sessions.front().id);
            sessions.pop_front();
            ++removed;
        }
        user = sessions.empty() ? m_byUser.erase(user) : std::next(user);
    }
    return removed;
}
