#pragma once

#include "core/expected.h"
#include "evidence/evidence.h"
#include "evidence/treehead.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

class LogKey;
class ServiceDatabase;

/// A receipt as the service keeps it.
struct StoredReceipt {
    QString receiptId;
    QString hash; // 64 lower-case hexadecimal characters
    QString scope;
    QString createdAt; // ISO 8601 UTC with milliseconds
    QString merkle; // root of the scope's tree right after this leaf, hexadecimal
    qint64 leafIndex = 0;
    QString stampedBy; // user name of a valid token at stamping time; empty when anonymous

    /// receipt_id, hash, scope, created_at, merkle: the members clients store.
    QJsonObject toJson() const;
};

/// A digest to stamp in the next commit.
struct PendingStamp {
    QString hash; // lower-case hex
    QString scope;
    QString stampedBy;
    qint64 nowMs = 0; // when it arrived: the receipt's created_at
};

/// An authority's token over a signed tree head, to keep.
struct PendingAnchor {
    QString scope;
    qint64 treeSize = 0;
    QString authority; // the URL asked
    QByteArray token; // DER TimeStampToken
};

/// What a stamp did.
struct StampOutcome {
    StoredReceipt receipt;
    bool created = false; // false: the digest was already stamped in that scope
};

/// What one commit wrote.
struct Commit {
    QList<StampOutcome> stamps; // in the order asked
    QList<TreeHead> heads; // one per scope that grew
};

/// The audit path that ties a receipt's leaf to the root of a tree size.
struct InclusionProof {
    StoredReceipt receipt;
    qint64 treeSize = 0;
    QByteArray leafHash;
    QList<QByteArray> path; // sibling hashes from the leaf upwards
    QByteArray root;
};

/// The receipts, the append-only Merkle tree of each scope, its signed tree
/// heads and the authorities' timestamps over them, in the service's
/// database. Writes are commits: many stamps in one transaction, with one
/// signed head per scope that grew.
class ReceiptLog {
public:
    explicit ReceiptLog(ServiceDatabase &database)
        : m_database(database)
    {
    }

    /// One transaction: each stamp's digest becomes the next leaf of its
    /// scope's tree with a new receipt, unless that scope holds it already
    /// (then its receipt is the answer, also for the same digest twice in
    /// stamps); the anchors are kept; and key signs, at nowMs, the head of
    /// each tree that grew. Leaf indexes are read and advanced inside the
    /// transaction, so writers on one database never interleave a tree.
    Expected<Commit> commit(
        const QList<PendingStamp> &stamps, const QList<PendingAnchor> &anchors, const LogKey &key, qint64 nowMs);

    /// Signs a head for each tree whose latest signed head is not of its
    /// current size: a log kept before heads were signed. The heads signed.
    Expected<QList<TreeHead>> signMissingHeads(const LogKey &key, qint64 nowMs);

    /// The receipt with that id, or nothing.
    Expected<std::optional<StoredReceipt>> receipt(const QString &receiptId);

    /// The newest receipts of a digest, at most limit of them, newest first;
    /// all scopes when scope is empty.
    Expected<QList<StoredReceipt>> receiptsForHash(const QString &hash, const QString &scope, qint64 limit);

    /// The number of leaves in scope's tree.
    Expected<qint64> treeSize(const QString &scope);

    /// The number of scopes and of leaves in all their trees.
    struct Totals {
        qint64 scopes = 0;
        qint64 leaves = 0;
    };
    Expected<Totals> totals();

    /// The inclusion proof of receipt in its scope's tree of treeSize leaves
    /// (leafIndex < treeSize <= the current size).
    Expected<InclusionProof> proof(const StoredReceipt &receipt, qint64 treeSize);

    /// Whether the stored tree still backs receipt: its leaf holds the hash of
    /// its digest and the root after it equals its merkle value.
    Expected<bool> matchesTree(const StoredReceipt &receipt);

    /// The evidence of each receipt, best known now: its path to the first
    /// signed head that holds its leaf (the head of the commit that added
    /// it) and, once one exists, to the first anchored head that holds it.
    Expected<QList<Evidence>> evidence(const QList<StoredReceipt> &receipts);

    /// The latest signed head of scope, or nothing for a scope with none.
    Expected<std::optional<TreeHead>> latestHead(const QString &scope);

    /// The proof that scope's tree of second leaves extends its tree of
    /// first leaves (0 < first <= second <= its size).
    Expected<QList<QByteArray>> consistency(const QString &scope, qint64 first, qint64 second);

    /// The latest head of every scope that grew since authority's last token.
    Expected<QList<TreeHead>> headsToAnchor(const QString &authority);

private:
    ServiceDatabase &m_database;
};
