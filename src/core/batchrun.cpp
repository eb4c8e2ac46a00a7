#include "core/batchrun.h"

#include "core/filehasher.h"
#include "core/resultrows.h"

#include <QFileInfo>
#include <QPointer>

#include <algorithm>

BatchRun::BatchRun(ServiceFactory factory, QObject *parent)
    : QObject(parent)
    , m_factory(std::move(factory))
{
}

BatchRun::~BatchRun() = default;

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
    if (m_busy)
        m_stopRequested = true;
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

QCoro::Task<void> BatchRun::run(Action action, QStringList files, QString url, ScopeSource scope)
{
    if (m_busy)
        co_return;
    QPointer<BatchRun> self(this);

    m_stopRequested = false;
    m_stopped = false;
    setBusy(true);
    setResults({});
    setStatus(action == Action::registerFiles ? QStringLiteral("Registering…") : QStringLiteral("Verifying…"));

    // One service for the whole run: the endpoint stays fixed even if the
    // defaults change meanwhile.
    std::unique_ptr<StampingClient> service = m_factory ? m_factory(url) : nullptr;
    const auto currentScope = [&scope] { return scope ? scope() : QString(); };

    // Progress counts bytes, so one large file weighs what it costs.
    QList<qint64> sizes;
    sizes.reserve(files.size());
    qint64 totalBytes = 0;
    for (const QString &path : files) {
        sizes.append(std::max<qint64>(QFileInfo(path).size(), 0));
        totalBytes += sizes.constLast();
    }

    QList<FileResult> rows;
    rows.reserve(files.size());
    const int count = static_cast<int>(files.size());
    qint64 bytesBefore = 0;
    for (int i = 0; i < count; ++i) {
        if (m_stopRequested) {
            m_stopped = true;
            break;
        }
        const QString path = files.at(i);
        const int number = i + 1;
        Q_EMIT progress(number, count, path, bytesBefore, totalBytes);
        if (!self)
            co_return;

        const FileHasher::Progress onChunk = [this, number, count, path, bytesBefore, totalBytes](qint64 done, qint64) {
            Q_EMIT progress(number, count, path, bytesBefore + done, totalBytes);
        };
        bytesBefore += sizes.at(i);
        auto hashing = FileHasher::sha256HexAsync(path, this, onChunk);
        const Expected<QString> digest = co_await hashing;
        if (!self)
            co_return;

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
    }

    setResults(rows);
    setStatus(summary(action, rows, m_stopped));
    setBusy(false);
    Q_EMIT finished();
}
