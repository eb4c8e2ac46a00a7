#include "mcp/offlineverifier.h"

#include "core/resultrows.h"
#include "evidence/evidencecheck.h"
#include "mcp/mcpclient.h"
#include "storage/nivetpaths.h"

#include <QCoro/QCoroFuture>
#include <QFile>
#include <QtConcurrent/QtConcurrentRun>

#include <openssl/crypto.h>

#include <optional>

namespace {

QString timestampsText(const QList<CheckedTimestamp> &timestamps)
{
    QStringList parts;
    for (const CheckedTimestamp &t : timestamps)
        parts.append(QStringLiteral("%1 at %2").arg(t.authority, TreeHead::timeText(t.time)));
    return parts.join(QStringLiteral("; "));
}

// The row of evidence e that checked as c; its Merkle root is that of the head that dates it.
FileResult existed(
    const QString &path, const QString &sha256, const QString &receiptId, const Evidence &e, const EvidenceCheck &c)
{
    FileResult row { path, sha256, receiptId, {}, c.scope, {}, {}, ResultKind::valid };
    if (c.anchored) {
        QDateTime first = c.timestamps.constFirst().time;
        for (const CheckedTimestamp &t : c.timestamps)
            first = std::min(first, t.time);
        row.createdAt = TreeHead::timeText(first);
        row.merkle = QString::fromLatin1(e.anchor->treeHead.root.toHex());
        row.status = QStringLiteral("Existed by %1: log key %2, tree size %3, timestamp by %4")
                         .arg(row.createdAt, c.keyId)
                         .arg(c.anchorTreeSize)
                         .arg(timestampsText(c.timestamps));
    } else {
        // The log's own clock: honest, but no one independent vouched for it yet.
        row.createdAt = TreeHead::timeText(c.headTime);
        row.merkle = QString::fromLatin1(e.treeHead.root.toHex());
        row.status = QStringLiteral("Existed by %1 by the log's clock alone: log key %2, tree size %3; "
                                    "no authority has dated it yet (nivet-timestamp evidence update)")
                         .arg(row.createdAt, c.keyId)
                         .arg(c.treeSize);
        row.kind = ResultKind::found;
    }
    return row;
}

} // namespace

OfflineVerifier::OfflineVerifier(QList<QByteArray> trustedCaPems)
    : m_trustedCaPems(std::move(trustedCaPems))
{
}

OfflineVerifier::~OfflineVerifier() = default;

Expected<QList<QByteArray>> OfflineVerifier::configuredCas()
{
    QFile file(NivetPaths::applicationSupportNivet() + QStringLiteral("/tsa-ca.pem"));
    if (!file.exists())
        return QList<QByteArray>();
    if (!file.open(QIODevice::ReadOnly))
        return Error { QStringLiteral("Cannot read %1: %2").arg(file.fileName(), file.errorString()) };
    return QList { file.readAll() };
}

QCoro::Task<FileResult> OfflineVerifier::registerFile(QString path, QString sha256, QString scope)
{
    co_return ResultRows::error(path, sha256, scope, QStringLiteral("Registering needs the service"));
}

QCoro::Task<FileResult> OfflineVerifier::verify(QString path, QString sha256, QString scope)
{
    Q_UNUSED(scope)
    QFuture<FileResult> future = QtConcurrent::run([this, path, sha256] {
        auto checked = check(path, sha256, EvidenceStore::read(sha256));
        // The pool thread may end after exit() has cleaned OpenSSL up; its
        // per-thread error queue is freed here, not left to that thread's end.
        OPENSSL_thread_stop();
        return checked;
    });
    co_return co_await future;
}

Expected<Rfc3161::TokenCheck> OfflineVerifier::checkToken(const QByteArray &token, const QByteArray &message)
{
    const std::pair key { token, message };
    {
        const QMutexLocker locker(&m_mutex);
        if (const auto found = m_tokens.constFind(key); found != m_tokens.cend())
            return *found;
    }
    auto checked = Rfc3161::checkToken(token, message, m_trustedCaPems);
    const QMutexLocker locker(&m_mutex);
    m_tokens.insert(key, checked);
    return checked;
}

Expected<LogPublicKey> OfflineVerifier::key(const QByteArray &pem)
{
    const QMutexLocker locker(&m_mutex);
    auto found = m_keys.constFind(pem);
    if (found == m_keys.cend())
        found = m_keys.insert(pem, LogPublicKey::fromPem(pem));
    return *found;
}

bool OfflineVerifier::verifies(const LogPublicKey &key, const QByteArray &message, const QByteArray &signature)
{
    const std::pair<QByteArray, QByteArray> memoKey { key.keyId().toLatin1() + '\n' + message, signature };
    {
        const QMutexLocker locker(&m_mutex);
        if (const auto found = m_signatures.constFind(memoKey); found != m_signatures.cend())
            return *found;
    }
    const bool valid = key.verifies(message, signature);
    const QMutexLocker locker(&m_mutex);
    m_signatures.insert(memoKey, valid);
    return valid;
}

FileResult OfflineVerifier::check(
    const QString &path, const QString &sha256, const Expected<QList<EvidenceItem>> &items)
{
    if (!items)
        return ResultRows::error(path, sha256, {}, items.error().description);
    std::optional<FileResult> passed;
    std::optional<FileResult> failed;
    for (const EvidenceItem &item : *items) {
        FileResult row { path, sha256, item.receiptId, {}, {}, {}, {}, ResultKind::invalid };
        const auto evidence = Evidence::fromJson(item.evidence);
        if (!evidence) {
            row.status = MCPClient::kEvidenceMismatch + evidence.error().description;
        } else {
            const auto publicKey = key(item.publicKey);
            const auto checked = publicKey
                ? checkEvidence(
                    sha256, *evidence, *publicKey, m_trustedCaPems,
                    [this](const QByteArray &token, const QByteArray &message) { return checkToken(token, message); },
                    [this, &publicKey](const QByteArray &message, const QByteArray &signature) {
                        return verifies(*publicKey, message, signature);
                    })
                : Expected<EvidenceCheck>(publicKey.error());
            if (checked) {
                row = existed(path, sha256, item.receiptId, *evidence, *checked);
                if (checked->anchored)
                    return row;
                passed = passed.value_or(row);
                continue;
            }
            row.scope = evidence->treeHead.scope;
            row.status = MCPClient::kEvidenceMismatch + checked.error().description;
        }
        failed = failed.value_or(row);
    }
    if (passed)
        return *passed;
    if (failed)
        return *failed;
    return FileResult { path, sha256, {}, {}, {},
        QStringLiteral(
            "Not found: no evidence is kept for this file (register it, or nivet-timestamp evidence update)"),
        {}, ResultKind::notFound };
}
