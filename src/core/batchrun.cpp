#include "core/batchrun.h"

#include "core/filehasher.h"
#include "core/resultrows.h"

#include <QFileInfo>
#include <QPointer>

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

QString BatchRun::summary(Action action, const QList<FileResult> &rows)
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
    if (action == Action::registerFiles) {
        return QStringLiteral("Done — %1 registered/ok, %2 failed (%3 total).")
            .arg(passed)
            .arg(failed)
            .arg(rows.size());
    }
    return QStringLiteral("Done — %1 found/valid, %2 not found, %3 failed (%4 total).")
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

    setBusy(true);
    setResults({});
    setStatus(action == Action::registerFiles ? QStringLiteral("Registering…") : QStringLiteral("Verifying…"));

    // One service for the whole run: the endpoint stays fixed even if the
    // defaults change meanwhile.
    std::unique_ptr<StampingService> service = m_factory ? m_factory(url) : nullptr;
    const auto currentScope = [&scope] { return scope ? scope() : QString(); };

    QList<FileResult> rows;
    rows.reserve(files.size());
    const int count = static_cast<int>(files.size());
    for (int i = 0; i < count; ++i) {
        const QString path = files.at(i);
        const int number = i + 1;
        Q_EMIT progress(number, count, path, 0, QFileInfo(path).size());
        if (!self)
            co_return;

        const FileHasher::Progress onChunk = [this, number, count, path](qint64 done, qint64 total) {
            Q_EMIT progress(number, count, path, done, total);
        };
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
    setStatus(summary(action, rows));
    setBusy(false);
    Q_EMIT finished();
}
