#pragma once

#include "core/expected.h"

#include <QCoro/QCoroTask>
#include <QFuture>
#include <QString>

#include <functional>
#include <memory>

class QObject;
class QThreadPool;

/// One file hashed on a worker thread, started at once and awaited later.
/// Progress reaches the receiver's thread as queued calls; cancel() (or
/// destroying the job) ends the hash between two chunks and stops every
/// report still in flight, so the receiver may be deleted right after.
class HashJob {
public:
    using OnProgress = std::function<void(qint64 done)>;

    HashJob(const QString &path, QThreadPool *pool, QObject *receiver, OnProgress onProgress);
    ~HashJob();
    HashJob(const HashJob &) = delete;
    HashJob &operator=(const HashJob &) = delete;

    void cancel();

    /// The digest, or why there is none (FileHasher::cancelledText() when cancelled).
    QCoro::Task<Expected<QString>> result();

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
    QFuture<Expected<QString>> m_future;
};
