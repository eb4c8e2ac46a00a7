#include "core/batchrun.h"

#include "core/filehasher.h"
#include "core/hashjob.h"
#include "core/resultrows.h"

#include <QFileInfo>
#include <QPointer>

#include <algorithm>

BatchRun::BatchRun(ServiceFactory factory, QObject *parent)
    : QObject(parent)
    , m_factory(std::move(factory))
{
    m_hashPool.setMaxThreadCount(1);
}

BatchRun::~BatchRun()
{
    // A window closed mid-hash ends the hash now; the pool then waits for
    // at most one chunk.
    if (m_hashing)
        m_hashing->cancel();
}

void BatchRun::setBusy(bool busy)
{
    if (m_busy == busy)
        return;
    m_busy = busy;
    Q_EMIT busyChanged(busy);
}

void BatchRun::setStatus(const QString &status)
{
    if (m_status == status)
        return;
    m_status = status;
    Q_EMIT statusChanged(status);
}

void BatchRun::setResults(const QList<FileResult> &results)
{
    m_results = results;
    Q_EMIT resultsChanged();
}

void BatchRun::stop()
{
    if (!m_busy)
        return;
    m_stopRequested = true;
    if (m_hashing)
        m_hashing->cancel();
}

std::shared_ptr<HashJob> BatchRun::startHash(const QStringList &files, int index, qint64 bytesBefore, qint64 bytesTotal)
{
    const int count = static_cast<int>(files.size());
    m_hashing = std::make_shared<HashJob>(files.at(index), &m_hashPool, this, [=, this](qint64 done) {
        m_bytesHashed = bytesBefore + done;
        Q_EMIT progress(m_inHand + 1, count, files.at(m_inHand), m_bytesHashed, bytesTotal);
    });
    return m_hashing;
}

QString BatchRun::summary(Action action, const QList<FileResult> &rows, bool stopped)
{
    qsizetype passed = 0;
    qsizetype notFound = 0;
    for (const FileResult &row : rows) {
        if (row.passes())
            ++passed;
        if (row.kind == ResultKind::notFound)
            ++notFound;
    }
    // Not-found rows count as failed too.
    const qsizetype failed = rows.size() - passed;
    const QString head = stopped ? QStringLiteral("Stopped — ") : QStringLiteral("Done — ");
    if (action == Action::registerFiles) {
        return head
            + QStringLiteral("%1 registered/ok, %2 failed (%3 total).").arg(passed).arg(failed).arg(rows.size());
    }
    return head
        + QStringLiteral("%1 found/valid, %2 not found, %3 failed (%4 total).")
              .arg(passed)
              .arg(notFound)
              .arg(failed)
              .arg(rows.size());
}

QCoro::Task<void> BatchRun::run(
    Action action, QStringList files, QString url, ScopeSource scope, ServiceFactory factory)
{
    if (m_busy)
        co_return;
    QPointer<BatchRun> self(this);

    m_stopRequested = false;
    m_stopped = false;
    m_halted.reset();
    setBusy(true);
    setResults({});
    setStatus(action == Action::registerFiles ? QStringLiteral("Registering…") : QStringLiteral("Verifying…"));

    // One service for the whole run: the endpoint stays fixed even if the
    // defaults change meanwhile.
    const ServiceFactory &make = factory ? factory : m_factory;
    std::unique_ptr<StampingClient> service = make ? make(url) : nullptr;
    const auto currentScope = [&scope] { return scope ? scope() : QString(); };

    // Progress counts bytes, so one large file weighs what it costs.
    QList<qint64> bytesBefore; // of each file, the sizes of the files before it
    bytesBefore.reserve(files.size());
    qint64 totalBytes = 0;
    for (const QString &path : files) {
        bytesBefore.append(totalBytes);
        totalBytes += std::max<qint64>(QFileInfo(path).size(), 0);
    }

    QList<FileResult> rows;
    rows.reserve(files.size());
    const int count = static_cast<int>(files.size());
    m_bytesHashed = 0;
    m_inHand = 0;
    std::shared_ptr<HashJob> next = count > 0 ? startHash(files, 0, 0, totalBytes) : nullptr;
    for (int i = 0; i < count; ++i) {
        if (m_stopRequested) {
            m_stopped = true;
            break;
        }
        const QString path = files.at(i);
        const std::shared_ptr<HashJob> hash = std::move(next);
        m_inHand = i;
        Q_EMIT progress(i + 1, count, path, m_bytesHashed, totalBytes);
        if (!self)
            co_return;

        auto hashing = hash->result();
        const Expected<QString> digest = co_await hashing;
        if (!self)
            co_return;
        if (m_stopRequested) { // the hash was abandoned, or Stop came as it ended: no row
            m_stopped = true;
            break;
        }
        // The next file is hashed while the service answers for this one.
        if (i + 1 < count)
            next = startHash(files, i + 1, bytesBefore.at(i + 1), totalBytes);

        if (!digest) {
            rows.append(ResultRows::error(path, QString(), currentScope(), digest.error().description));
            continue;
        }
        const QString sha256 = digest.value();
        const QString fileScope = currentScope();
        if (!service) {
            rows.append(ResultRows::error(path, sha256, fileScope, QStringLiteral("No stamping service")));
            continue;
        }
        auto operation = action == Action::registerFiles ? service->registerFile(path, sha256, fileScope)
                                                         : service->verify(path, sha256, fileScope);
        FileResult row = co_await operation;
        if (!self)
            co_return;
        rows.append(std::move(row));
        if ((m_halted = service->halted())) {
            m_stopped = true;
            break;
        }
    }
    if (next)
        next->cancel();
    m_hashing.reset();

    setResults(rows);
    setStatus(summary(action, rows, m_stopped) + (m_halted ? QLatin1Char(' ') + *m_halted : QString()));
    setBusy(false);
    Q_EMIT finished();
}
