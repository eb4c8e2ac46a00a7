#include "core/hashjob.h"

#include "core/filehasher.h"

#include <QCoro/QCoroFuture>
#include <QMutex>
#include <QObject>
#include <QtConcurrent/QtConcurrentRun>

#include <openssl/crypto.h>

#include <atomic>

// Shared by the worker and the job. The worker posts progress only while
// holding the mutex and only while a receiver is set; cancel() clears the
// receiver under the same mutex. So no post can reach a receiver that its
// thread is deleting, which a check of a QPointer from the worker could not
// promise.
struct HashJob::Shared {
    QMutex mutex;
    QObject *receiver = nullptr;
    OnProgress onProgress;
    std::atomic_bool cancelled { false };
};

HashJob::HashJob(const QString &path, QThreadPool *pool, QObject *receiver, OnProgress onProgress)
    : m_shared(std::make_shared<Shared>())
{
    m_shared->receiver = onProgress ? receiver : nullptr;
    m_shared->onProgress = std::move(onProgress);
    const std::shared_ptr<Shared> shared = m_shared;
    const auto report = [shared](qint64 done, qint64) {
        const QMutexLocker locker(&shared->mutex);
        if (!shared->receiver)
            return;
        QMetaObject::invokeMethod(
            shared->receiver,
            [shared, done] {
                if (!shared->cancelled)
                    shared->onProgress(done);
            },
            Qt::QueuedConnection);
    };
    m_future = QtConcurrent::run(pool, [path, shared, report] {
        auto digest = FileHasher::sha256Hex(path, report, &shared->cancelled);
        // The worker frees what OpenSSL keeps for it (its error queue) now:
        // Qt's threads end detached, and one that ends while exit() cleans up
        // OpenSSL would leave it behind.
        OPENSSL_thread_stop();
        return digest;
    });
}

HashJob::~HashJob()
{
    cancel();
}

void HashJob::cancel()
{
    {
        const QMutexLocker locker(&m_shared->mutex);
        m_shared->receiver = nullptr;
    }
    m_shared->cancelled = true;
}

QCoro::Task<Expected<QString>> HashJob::result()
{
    // The future goes into a local first: g++ 12 mishandles non-trivial
    // temporaries inside a co_await expression.
    QFuture<Expected<QString>> future = m_future;
    co_return co_await future;
}
