#pragma once

#include "core/expected.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

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

/// What a stamp did.
struct StampOutcome {
    StoredReceipt receipt;
    bool created = false; // false: the digest was already stamped in that scope
};

/// The audit path that ties a receipt's leaf to the root of a tree size.
struct InclusionProof {
    StoredReceipt receipt;
    qint64 treeSize = 0;
    QByteArray leafHash;
    QList<QByteArray> path; // sibling hashes from the leaf upwards
    QByteArray root;
};

class ServiceDatabase;

/// The receipts and the append-only Merkle tree of each scope, in the
/// service's database. Every stamp is one transaction.
class ReceiptLog {
public:
    explicit ReceiptLog(ServiceDatabase &database)
        : m_database(database)
    {
    }

    /// Appends hash (lower-case hex) to scope's tree and records a receipt,
    /// or returns the receipt that digest already has in that scope.
    Expected<StampOutcome> stamp(const QString &hash, const QString &scope, const QString &stampedBy, qint64 nowMs);

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

    /// Told how long the transaction of each new stamp took, in seconds.
    void setCommitObserver(std::function<void(double seconds)> observer) { m_commitObserver = std::move(observer); }

    /// The inclusion proof of receipt in its scope's tree of treeSize leaves
    /// (leafIndex < treeSize <= the current size).
    Expected<InclusionProof> proof(const StoredReceipt &receipt, qint64 treeSize);

    /// Whether the stored tree still backs receipt: its leaf holds the hash of
    /// its digest and the root after it equals its merkle value.
    Expected<bool> matchesTree(const StoredReceipt &receipt);

private:
    ServiceDatabase &m_database;
    std::function<void(double seconds)> m_commitObserver;
};
