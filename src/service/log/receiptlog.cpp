#include "service/log/receiptlog.h"

#include "evidence/logkey.h"
#include "evidence/merkleproof.h"
#include "service/common/clock.h"
#include "service/common/securerandom.h"
#include "service/db/servicedatabase.h"
#include "service/log/merkletree.h"

#include <QHash>
#include <QTimeZone>
#include <QUuid>
#include <QVariant>

#include <map>

namespace {

const QString kReceiptColumns = QStringLiteral("receipt_id, hash, scope, created_at, merkle, leaf_index, stamped_by");
const QString kHeadColumns = QStringLiteral("scope, tree_size, root, signed_ms, key_id, signature");

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

TreeHead headFrom(const QSqlQuery &query)
{
    return TreeHead { query.value(4).toString(), query.value(0).toString(), query.value(1).toLongLong(),
        query.value(2).toByteArray(), QDateTime::fromMSecsSinceEpoch(query.value(3).toLongLong(), QTimeZone::utc()),
        query.value(5).toByteArray() };
}

// Reads the stored nodes of one scope's tree, each at most once: the roots
// and paths of one commit share most of them, and a node never changes.
class NodeReader {
public:
    NodeReader(const ServiceDatabase &db, QString scope)
        : m_db(db)
        , m_scope(std::move(scope))
    {
    }
    NodeReader(const NodeReader &) = delete;
    NodeReader &operator=(const NodeReader &) = delete;

    MerkleProof::NodeSource source()
    {
        return [this](int level, qint64 index) { return read(level, index); };
    }
    void remember(const Merkle::Node &node) { m_known.insert({ node.level, node.index }, node.hash); }

private:
    Expected<QByteArray> read(int level, qint64 index)
    {
        if (const auto known = m_known.constFind({ level, index }); known != m_known.constEnd())
            return *known;
        auto query = m_db.query(QStringLiteral("reading the Merkle tree"),
            QStringLiteral("SELECT hash FROM nodes WHERE scope = ? AND level = ? AND idx = ?"),
            { m_scope, level, index });
        if (!query)
            return query.error();
        if (!query.value().next()) {
            return Error { QStringLiteral("The Merkle tree of scope \"%1\" lacks node %2/%3; the database is damaged")
                               .arg(m_scope)
                               .arg(level)
                               .arg(index) };
        }
        const QByteArray hash = query.value().value(0).toByteArray();
        m_known.insert({ level, index }, hash);
        return hash;
    }

    const ServiceDatabase &m_db;
    QString m_scope;
    QHash<QPair<int, qint64>, QByteArray> m_known;
};

// A random (version 4) UUID from the system's secure generator: receipt ids
// must not be guessable, since an id is all it takes to look a receipt up.
QString newReceiptId()
{
    QByteArray bytes = SecureRandom::bytes(16);
    bytes[6] = static_cast<char>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<char>((bytes[8] & 0x3f) | 0x80);
    return QUuid::fromRfc4122(bytes).toString(QUuid::WithoutBraces);
}

Expected<void> insertHead(const ServiceDatabase &db, const TreeHead &head)
{
    auto inserted = db.query(QStringLiteral("keeping a signed tree head"),
        QStringLiteral("INSERT INTO tree_heads (%1) VALUES (?, ?, ?, ?, ?, ?)").arg(kHeadColumns),
        { head.scope, head.treeSize, head.root, head.time.toMSecsSinceEpoch(), head.keyId, head.signature });
    return inserted ? Expected<void>() : Expected<void>(inserted.error());
}

// Signs and keeps the head of scope's tree of size leaves.
Expected<TreeHead> signHead(
    const ServiceDatabase &db, NodeReader &nodes, const LogKey &key, const QString &scope, qint64 size, qint64 nowMs)
{
    auto root = MerkleProof::rootHash(nodes.source(), size);
    if (!root)
        return root.error();
    auto head = key.signHead(scope, size, *root, QDateTime::fromMSecsSinceEpoch(nowMs, QTimeZone::utc()));
    if (!head)
        return head.error();
    if (auto kept = insertHead(db, *head); !kept)
        return kept.error();
    return head;
}

// The one head of a query that selects at most one; nothing when it finds none.
Expected<std::optional<TreeHead>> oneHead(const ServiceDatabase &db, const QString &sql, const QVariantList &values)
{
    auto query = db.query(QStringLiteral("reading the signed tree heads"), sql, values);
    if (!query)
        return query.error();
    if (!query.value().next())
        return std::optional<TreeHead>();
    return std::optional<TreeHead>(headFrom(*query));
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

Expected<Commit> ReceiptLog::commit(
    const QList<PendingStamp> &stamps, const QList<PendingAnchor> &anchors, const LogKey &key, qint64 nowMs)
{
    const QString what = QStringLiteral("stamping");
    ServiceDatabase::Transaction transaction(m_database);
    if (auto begun = transaction.begin(); !begun)
        return begun.error();

    // The trees this commit appends to, by scope, as the transaction leaves them.
    struct Tree {
        explicit Tree(const ServiceDatabase &db, const QString &scope)
            : nodes(db, scope)
        {
        }
        NodeReader nodes;
        qint64 size = -1;
    };
    std::map<QString, Tree> trees;
    QStringList grown;
    Commit out;
    for (const PendingStamp &stamp : stamps) {
        auto existing = m_database.query(what,
            QStringLiteral("SELECT %1 FROM receipts WHERE scope = ? AND hash = ?").arg(kReceiptColumns),
            { stamp.scope, stamp.hash });
        if (!existing)
            return existing.error();
        if (existing.value().next()) {
            out.stamps.append({ receiptFrom(*existing), false });
            continue;
        }
        Tree &tree = trees.try_emplace(stamp.scope, m_database, stamp.scope).first->second;
        if (tree.size < 0) {
            // The tree's size is read once in the transaction and advanced in
            // it: this is where a scope's leaves are put in sequence.
            auto size = treeSize(stamp.scope);
            if (!size)
                return size.error();
            tree.size = *size;
            grown.append(stamp.scope);
        }
        const qint64 leafIndex = tree.size;
        const QByteArray digest = QByteArray::fromHex(stamp.hash.toLatin1());
        auto completed = Merkle::nodesCompletedBy(tree.nodes.source(), leafIndex, MerkleProof::leafHash(digest));
        if (!completed)
            return completed.error();
        for (const Merkle::Node &node : *completed) {
            auto inserted = m_database.query(what,
                QStringLiteral("INSERT INTO nodes (scope, level, idx, hash) VALUES (?, ?, ?, ?)"),
                { stamp.scope, node.level, node.index, node.hash });
            if (!inserted)
                return inserted.error();
            tree.nodes.remember(node);
        }
        auto root = MerkleProof::rootHash(tree.nodes.source(), leafIndex + 1);
        if (!root)
            return root.error();
        const StoredReceipt receipt { newReceiptId(), stamp.hash, stamp.scope, isoTimestamp(stamp.nowMs),
            QString::fromLatin1(root->toHex()), leafIndex, stamp.stampedBy };
        auto inserted = m_database.query(what,
            QStringLiteral("INSERT INTO receipts (%1) VALUES (?, ?, ?, ?, ?, ?, ?)").arg(kReceiptColumns),
            { receipt.receiptId, receipt.hash, receipt.scope, receipt.createdAt, receipt.merkle, receipt.leafIndex,
                stamp.stampedBy.isEmpty() ? QVariant() : QVariant(stamp.stampedBy) });
        if (!inserted)
            return inserted.error();
        tree.size = leafIndex + 1;
        out.stamps.append({ receipt, true });
    }
    for (const QString &scope : std::as_const(grown)) {
        Tree &tree = trees.at(scope);
        auto kept = m_database.query(what,
            QStringLiteral("INSERT INTO scopes (scope, size) VALUES (?, ?) "
                           "ON CONFLICT (scope) DO UPDATE SET size = excluded.size"),
            { scope, tree.size });
        if (!kept)
            return kept.error();
        auto head = signHead(m_database, tree.nodes, key, scope, tree.size, nowMs);
        if (!head)
            return head.error();
        out.heads.append(*head);
    }
    for (const PendingAnchor &anchor : anchors) {
        auto kept = m_database.query(QStringLiteral("keeping a timestamp"),
            QStringLiteral("INSERT INTO anchors (scope, tree_size, authority, token) VALUES (?, ?, ?, ?) "
                           "ON CONFLICT DO NOTHING"),
            { anchor.scope, anchor.treeSize, anchor.authority, anchor.token });
        if (!kept)
            return kept.error();
    }
    if (auto committed = transaction.commit(); !committed)
        return committed.error();
    return out;
}

Expected<QList<TreeHead>> ReceiptLog::signMissingHeads(const LogKey &key, qint64 nowMs)
{
    const QString what = QStringLiteral("signing the trees' heads");
    ServiceDatabase::Transaction transaction(m_database);
    if (auto begun = transaction.begin(); !begun)
        return begun.error();
    auto unsigned_ = m_database.query(what,
        QStringLiteral("SELECT s.scope, s.size FROM scopes s WHERE s.size > 0 AND s.size <> "
                       "COALESCE((SELECT MAX(h.tree_size) FROM tree_heads h WHERE h.scope = s.scope), 0) "
                       "ORDER BY s.scope"));
    if (!unsigned_)
        return unsigned_.error();
    QList<QPair<QString, qint64>> trees;
    while (unsigned_.value().next())
        trees.append({ unsigned_.value().value(0).toString(), unsigned_.value().value(1).toLongLong() });
    QList<TreeHead> heads;
    for (const auto &[scope, size] : std::as_const(trees)) {
        NodeReader nodes(m_database, scope);
        auto head = signHead(m_database, nodes, key, scope, size, nowMs);
        if (!head)
            return head.error();
        heads.append(*head);
    }
    if (auto committed = transaction.commit(); !committed)
        return committed.error();
    return heads;
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
    NodeReader nodes(m_database, receipt.scope);
    InclusionProof proof;
    proof.receipt = receipt;
    proof.treeSize = treeSize;
    auto leaf = nodes.source()(0, receipt.leafIndex);
    if (!leaf)
        return leaf.error();
    proof.leafHash = *leaf;
    auto path = MerkleProof::auditPath(nodes.source(), receipt.leafIndex, treeSize);
    if (!path)
        return path.error();
    proof.path = *path;
    auto root = MerkleProof::rootHash(nodes.source(), treeSize);
    if (!root)
        return root.error();
    proof.root = *root;
    return proof;
}

Expected<bool> ReceiptLog::matchesTree(const StoredReceipt &receipt)
{
    NodeReader nodes(m_database, receipt.scope);
    auto leaf = nodes.source()(0, receipt.leafIndex);
    if (!leaf)
        return leaf.error();
    if (*leaf != MerkleProof::leafHash(QByteArray::fromHex(receipt.hash.toLatin1())))
        return false;
    auto root = MerkleProof::rootHash(nodes.source(), receipt.leafIndex + 1);
    if (!root)
        return root.error();
    return QString::fromLatin1(root->toHex()) == receipt.merkle;
}

Expected<QList<Evidence>> ReceiptLog::evidence(const QList<StoredReceipt> &receipts)
{
    std::map<QString, NodeReader> trees;
    QList<Evidence> out;
    for (const StoredReceipt &receipt : receipts) {
        NodeReader &nodes = trees.try_emplace(receipt.scope, m_database, receipt.scope).first->second;
        const QVariantList leaf { receipt.scope, receipt.leafIndex };
        auto head = oneHead(m_database,
            QStringLiteral("SELECT %1 FROM tree_heads WHERE scope = ? AND tree_size > ? ORDER BY tree_size LIMIT 1")
                .arg(kHeadColumns),
            leaf);
        if (!head)
            return head.error();
        if (!head->has_value()) {
            return Error { QStringLiteral("No signed tree head holds leaf %1 of scope \"%2\"")
                               .arg(receipt.leafIndex)
                               .arg(receipt.scope) };
        }
        Evidence evidence;
        evidence.leafIndex = receipt.leafIndex;
        evidence.treeHead = **head;
        auto path = MerkleProof::auditPath(nodes.source(), receipt.leafIndex, evidence.treeHead.treeSize);
        if (!path)
            return path.error();
        evidence.auditPath = *path;

        auto anchored = oneHead(m_database,
            QStringLiteral("SELECT %1 FROM tree_heads WHERE scope = ? AND tree_size = "
                           "(SELECT MIN(tree_size) FROM anchors WHERE scope = ? AND tree_size > ?)")
                .arg(kHeadColumns),
            { receipt.scope, receipt.scope, receipt.leafIndex });
        if (!anchored)
            return anchored.error();
        if (anchored->has_value()) {
            Anchor anchor { **anchored, {}, {} };
            auto anchorPath = MerkleProof::auditPath(nodes.source(), receipt.leafIndex, anchor.treeHead.treeSize);
            if (!anchorPath)
                return anchorPath.error();
            anchor.auditPath = *anchorPath;
            auto tokens = m_database.query(QStringLiteral("reading timestamps"),
                QStringLiteral("SELECT authority, token FROM anchors WHERE scope = ? AND tree_size = ? "
                               "ORDER BY authority"),
                { receipt.scope, anchor.treeHead.treeSize });
            if (!tokens)
                return tokens.error();
            while (tokens.value().next())
                anchor.timestamps.append({ tokens.value().value(0).toString(), tokens.value().value(1).toByteArray() });
            evidence.anchor = anchor;
        }
        out.append(evidence);
    }
    return out;
}

Expected<std::optional<TreeHead>> ReceiptLog::latestHead(const QString &scope)
{
    return oneHead(m_database,
        QStringLiteral("SELECT %1 FROM tree_heads WHERE scope = ? ORDER BY tree_size DESC LIMIT 1").arg(kHeadColumns),
        { scope });
}

Expected<QList<QByteArray>> ReceiptLog::consistency(const QString &scope, qint64 first, qint64 second)
{
    NodeReader nodes(m_database, scope);
    return MerkleProof::consistencyProof(nodes.source(), first, second);
}

Expected<QList<TreeHead>> ReceiptLog::headsToAnchor(const QString &authority)
{
    // A tree's latest head is of its current size.
    auto query = m_database.query(QStringLiteral("finding heads to timestamp"),
        QStringLiteral("SELECT %1 FROM scopes s JOIN tree_heads h ON h.scope = s.scope AND h.tree_size = s.size "
                       "WHERE s.size > COALESCE((SELECT MAX(a.tree_size) FROM anchors a "
                       "WHERE a.authority = ? AND a.scope = s.scope), 0) ORDER BY s.scope")
            .arg(QStringLiteral("h.scope, h.tree_size, h.root, h.signed_ms, h.key_id, h.signature")),
        { authority });
    if (!query)
        return query.error();
    QList<TreeHead> heads;
    while (query.value().next())
        heads.append(headFrom(*query));
    return heads;
}
