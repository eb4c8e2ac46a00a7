#include "service/http/workqueue.h"

#include <QThread>

#include <algorithm>

WorkQueue::WorkQueue(int maxTotal, int maxPerAddress, Done done, QObject *parent)
    : QObject(parent)
    , m_maxTotal(std::max(maxTotal, 1))
    , m_maxPerAddress(std::max(maxPerAddress, 1))
    , m_done(std::move(done))
{
    // Few threads: password hashing must leave the event loop a core.
    m_pool.setMaxThreadCount(std::clamp(QThread::idealThreadCount() - 1, 1, 4));
}

WorkQueue::~WorkQueue()
{
    m_waiting.clear();
    m_pool.waitForDone();
}

std::optional<quint64> WorkQueue::submit(const QString &address, Work work)
{
    int &mine = m_perAddress[address];
    if (size() >= m_maxTotal || mine >= m_maxPerAddress) {
        if (mine == 0)
            m_perAddress.remove(address);
        return std::nullopt;
    }
    ++mine;
    const quint64 id = m_nextId++;
    m_waiting.push_back(Entry { id, address, std::move(work) });
    startMore();
    return id;
}

bool WorkQueue::withdraw(quint64 id)
{
    const auto it = std::find_if(m_waiting.begin(), m_waiting.end(), [id](const Entry &e) { return e.id == id; });
    if (it == m_waiting.end())
        return false;
    release(it->address);
    m_waiting.erase(it);
    return true;
}

void WorkQueue::startMore()
{
    while (!m_waiting.empty() && m_running < m_pool.maxThreadCount()) {
        Entry entry = std::move(m_waiting.front());
        m_waiting.pop_front();
        ++m_running;
        m_pool.start([this, entry = std::move(entry)] {
            const ServiceResponse response = entry.work();
            QMetaObject::invokeMethod(
                this, [this, id = entry.id, address = entry.address, response] { finished(id, address, response); },
                Qt::QueuedConnection);
        });
    }
}

void WorkQueue::finished(quint64 id, const QString &address, const ServiceResponse &response)
{
    --m_running;
    release(address);
    startMore();
    m_done(id, response);
}

void WorkQueue::release(const QString &address)
{
    const auto it = m_perAddress.find(address);
    if (it != m_perAddress.end() && --*it <= 0)
        m_perAddress.erase(it);
}
