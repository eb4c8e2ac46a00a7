#include "service/sessiontable.h"

#include "service/securerandom.h"

#include <algorithm>

SessionTable::SessionTable(qint64 ttlMs, int capacity) : m_ttlMs(std::max<qint64>(ttlMs, 1)), m_capacity(std::max(capacity, 1))
{
}

bool SessionTable::expired(const McpSession &session, qint64 nowMs) const
{
    return nowMs - session.lastUsedMs >= m_ttlMs;
}

const McpSession &SessionTable::open(qint64 nowMs, const QString &username)
{
    expire(nowMs);
    while (size() >= m_capacity) {
        m_index.remove(m_byUse.front().id);
        m_byUse.pop_front();
    }
    QString id;
    do {
        id = QString::fromLatin1(SecureRandom::token(32));
    } while (m_index.contains(id));
    m_byUse.push_back(McpSession{id, username, nowMs, nowMs, false});
    m_index.insert(id, std::prev(m_byUse.end()));
    return m_byUse.back();
}

McpSession *SessionTable::use(const QString &id, qint64 nowMs)
{
    const auto found = m_index.constFind(id);
    if (found == m_index.constEnd())
        return nullptr;
    const auto it = *found;
    if (expired(*it, nowMs)) {
        m_index.erase(found);
        m_byUse.erase(it);
        return nullptr;
    }
    it->lastUsedMs = std::max(it->lastUsedMs, nowMs);
    m_byUse.splice(m_byUse.end(), m_byUse, it);
    return &*it;
}

bool SessionTable::close(const QString &id)
{
    const auto found = m_index.constFind(id);
    if (found == m_index.constEnd())
        return false;
    m_byUse.erase(*found);
    m_index.erase(found);
    return true;
}

int SessionTable::expire(qint64 nowMs)
{
    int removed = 0;
    // Ordered by last use, so the expired ones are all at the front.
    while (!m_byUse.empty() && expired(m_byUse.front(), nowMs)) {
        m_index.remove(m_byUse.front().id);
        m_byUse.pop_front();
        ++removed;
    }
    return removed;
}
