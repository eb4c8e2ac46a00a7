#include "service/log/receiptlog.h"

#include "service/common/clock.h"
#include "service/common/securerandom.h"
#include "service/db/servicedatabase.h"
#include "service/log/merkletree.h"

#include <QElapsedTimer>
#include <QUuid>
#include <QVariant>

namespace {

const QString kReceiptColumns = QStringLiteral("receipt_id, hash, scope, created_at, merkle, leaf_index, stamped_by");

StoredReceipt receiptFrom(const QSqlQuery &query)
{
    StoredReceipt r;
    r.receiptId = query.value(0).toString();
    r.hash = query.value(1).toString();
    r.scope = query.value(2).toString();
    r.createdAt = query.value(3).toString();
    r.merkle = query.value(4).toString();
    r.leafIndex = query.value(5).toLongLong();
    r.stampedBy = query.value(6).toString();
    return r;
}

Merkle::NodeSource nodeSource(const ServiceDatabase &db, const QString &scope)
{
    return [&db, scope](int level, qint64 index) -> Expected<QByteArray> {
        auto query = db.query(QStringLiteral("reading the Merkle tree"),
            QStringLiteral("SELECT hash FROM nodes WHERE scope = ? AND level = ? AND idx = ?"),
            { scope, level, index });
        if (!query)
            return query.error();
        if (!query.value().next()) {
            return Error { QStringLiteral("The Merkle tree of scope \"%1\" lacks node %2/%3; the database is damaged")
                               .arg(scope)
                               .arg(level)
                               .arg(index) };
        }
        return query.value().value(0).toByteArray();
    };
}

// A random (version 4) UUID from the system's secure generator: receipt ids
// must not be guessable, since an id is all it takes to look a receipt up.
QString newReceiptId()
{
    QByteArray bytes = SecureRandom::bytes(16);
    bytes[6] = static_cast<char>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<char>((bytes[8] & 0x3f) | 0x80);
    return QUuid::fromRfc4122(bytes).toString(QUuid::WithoutBraces);
}

} // namespace

QJsonObject StoredReceipt::toJson() const
{
    return QJsonObject {
        { QStringLiteral("receipt_id"), receiptId },
        { QStringLiteral("hash"), hash },
        { QStringLiteral("scope"), scope },
        { QStringLiteral("created_at"), createdAt },
        { QStringLiteral("merkle"), merkle },
    };
}

Expected<StampOutcome> ReceiptLog::stamp(
    const QString &hash, const QString &scope, const QString &stampedBy, qint64 nowMs)
{
    const QString what = QStringLiteral("stamping");
    QElapsedTimer took;
    took.start();
    ServiceDatabase::Transaction transaction(m_database);
    if (auto begun = transaction.begin(); !begun)
        return begun.error();
    if (auto locked = transaction.lockScope(scope); !locked)
        return locked.error();

    auto existing = m_database.query(what,
        QStringLiteral("SELECT %1 FROM receipts WHERE scope = ? AND hash = ?").arg(kReceiptColumns), { scope, hash });
    if (!existing)
        return existing.error();
    if (existing.value().next())
        return StampOutcome { receiptFrom(*existing), false };

    auto size = m_database.query(what, QStringLiteral("SELECT size FROM scopes WHERE scope = ?"), { scope });
    if (!size)
        return size.error();
    const qint64 leafIndex = size.value().next() ? size.value().value(0).toLongLong() : 0;

    const QByteArray digest = QByteArray::fromHex(hash.toLatin1());
    const Merkle::NodeSource nodes = nodeSource(m_database, scope);
    auto completed = Merkle::nodesCompletedBy(nodes, leafIndex, Merkle::leafHash(digest));
    if (!completed)
        return completed.error();
    for (const Merkle::Node &node : *completed) {
        auto inserted
            = m_database.query(what, QStringLiteral("INSERT INTO nodes (scope, level, idx, hash) VALUES (?, ?, ?, ?)"),
                { scope, node.level, node.index, node.hash });
        if (!inserted)
            return inserted.error();
    }
    auto root = Merkle::rootHash(nodes, leafIndex + 1);
    if (!root)
        return root.error();

    StoredReceipt receipt;
    receipt.receiptId = newReceiptId();
    receipt.hash = hash;
    receipt.scope = scope;
    receipt.createdAt = isoTimestamp(nowMs);
    receipt.merkle = QString::fromLatin1(root->toHex());
    receipt.leafIndex = leafIndex;
    receipt.stampedBy = stampedBy;
    auto inserted = m_database.query(what,
        QStringLiteral("INSERT INTO receipts (%1) VALUES (?, ?, ?, ?, ?, ?, ?)").arg(kReceiptColumns),
        { receipt.receiptId, receipt.hash, receipt.scope, receipt.createdAt, receipt.merkle, receipt.leafIndex,
            stampedBy.isEmpty() ? QVariant() : QVariant(stampedBy) });
    if (!inserted)
        return inserted.error();
    auto grown = m_database.query(what,
        QStringLiteral("INSERT INTO scopes (scope, size) VALUES (?, ?) "
                       "ON CONFLICT (scope) DO UPDATE SET size = excluded.size"),
        { scope, leafIndex + 1 });
    if (!grown)
        return grown.error();
    if (auto committed = transaction.commit(); !committed)
        return committed.error();
    if (m_commitObserver)
        m_commitObserver(static_cast<double>(took.nsecsElapsed()) / 1e9);
    return StampOutcome { receipt, true };
}

Expected<std::optional<StoredReceipt>> ReceiptLog::receipt(const QString &receiptId)
{
    auto query = m_database.query(QStringLiteral("looking up a receipt"),
        QStringLiteral("SELECT %1 FROM receipts WHERE receipt_id = ?").arg(kReceiptColumns), { receiptId });
    if (!query)
        return query.error();
    if (!query.value().next())
        return std::optional<StoredReceipt>();
    return std::optional<StoredReceipt>(receiptFrom(*query));
}

Expected<QList<StoredReceipt>> ReceiptLog::receiptsForHash(const QString &hash, const QString &scope, qint64 limit)
{
    const QString what = QStringLiteral("looking up a digest");
    // seq grows with every stamp, so it orders by age even when the clock steps back.
    auto query = scope.isEmpty()
        ? m_database.query(what,
            QStringLiteral("SELECT %1 FROM receipts WHERE hash = ? ORDER BY seq DESC LIMIT ?").arg(kReceiptColumns),
            { hash, limit })
        : m_database.query(what,
            QStringLiteral("SELECT %1 FROM receipts WHERE hash = ? AND scope = ? ORDER BY seq DESC LIMIT ?")
                .arg(kReceiptColumns),
            { hash, scope, limit });
    if (!query)
        return query.error();
    QList<StoredReceipt> receipts;
    while (query.value().next())
        receipts.append(receiptFrom(*query));
    return receipts;
}

Expected<qint64> ReceiptLog::treeSize(const QString &scope)
{
    auto query = m_database.query(
        QStringLiteral("reading a tree size"), QStringLiteral("SELECT size FROM scopes WHERE scope = ?"), { scope });
    if (!query)
        return query.error();
    return query.value().next() ? query.value().value(0).toLongLong() : qint64(0);
}

Expected<ReceiptLog::Totals> ReceiptLog::totals()
{
    auto query = m_database.query(
        QStringLiteral("counting the trees"), QStringLiteral("SELECT COUNT(*), COALESCE(SUM(size), 0) FROM scopes"));
    if (!query)
        return query.error();
    if (!query.value().next())
        return Totals {};
    return Totals { query.value().value(0).toLongLong(), query.value().value(1).toLongLong() };
}

Expected<InclusionProof> ReceiptLog::proof(const StoredReceipt &receipt, qint64 treeSize)
{
    const Merkle::NodeSource nodes = nodeSource(m_database, receipt.scope);
    InclusionProof proof;
    proof.receipt = receipt;
    proof.treeSize = treeSize;
    auto leaf = nodes(0, receipt.leafIndex);
    if (!leaf)
        return leaf.error();
    proof.leafHash = *leaf;
    auto path = Merkle::auditPath(nodes, receipt.leafIndex, treeSize);
    if (!path)
        return path.error();
    proof.path = *path;
    auto root = Merkle::rootHash(nodes, treeSize);
    if (!root)
        return root.error();
    proof.root = *root;
    return proof;
}

Expected<bool> ReceiptLog::matchesTree(const StoredReceipt &receipt)
{
    const Merkle::NodeSource nodes = nodeSource(m_database, receipt.scope);
    auto leaf = nodes(0, receipt.leafIndex);
    if (!leaf)
        return leaf.error();
    if (*leaf != Merkle::leafHash(QByteArray::fromHex(receipt.hash.toLatin1())))
        return false;
    auto root = Merkle::rootHash(nodes, receipt.leafIndex + 1);
    if (!root)
        return root.error();
    return QString::fromLatin1(root->toHex()) == receipt.merkle;
}
