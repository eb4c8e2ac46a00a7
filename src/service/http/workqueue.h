#pragma once

#include "service/http/httpmessage.h"

#include <QHash>
#include <QObject>
#include <QThreadPool>

#include <deque>
#include <functional>
#include <optional>

/// Slow work (password hashing) in front of a small thread pool, bounded in
/// all and per client address, so a burst from one client slows only its
/// own requests and never piles up unbounded. Work that has not started can
/// be withdrawn (its client went away). Results come back on the thread
/// that owns the queue.
class WorkQueue : public QObject {
    Q_OBJECT
public:
    using Work = std::function<ServiceResponse()>;
    /// Called with the id submit() gave and the work's response.
    using Done = std::function<void(quint64 id, const ServiceResponse &response)>;

    /// maxTotal and maxPerAddress count work waiting and work running.
    WorkQueue(int maxTotal, int maxPerAddress, Done done, QObject *parent = nullptr);
    /// Drops the work not begun and waits for the work under way.
    ~WorkQueue() override;

    /// Queues work for address; nothing when the queue is full in all or
    /// for that address.
    std::optional<quint64> submit(const QString &address, Work work);
    /// Withdraws work that has not started; false when it has (or is unknown).
    bool withdraw(quint64 id);

    /// Work waiting and running.
    int size() const { return static_cast<int>(m_waiting.size()) + m_running; }
    QThreadPool &pool() { return m_pool; }

private:
    struct Entry {
        quint64 id;
        QString address;
        Work work;
    };

    void startMore();
    void finished(quint64 id, const QString &address, const ServiceResponse &response);
    void release(const QString &address);

    int m_maxTotal;
    int m_maxPerAddress;
    Done m_done;
    QThreadPool m_pool;
    std::deque<Entry> m_waiting;
    QHash<QString, int> m_perAddress;
    int m_running = 0;
    quint64 m_nextId = 1;
};
