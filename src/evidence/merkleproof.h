#pragma once

#include "core/expected.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <functional>

/// The Merkle tree of a signed log (SHA-256; leaves hashed behind 0x00 and
/// interior nodes behind 0x01, so a leaf never passes for a node; a tree of n
/// leaves split at the largest power of two below n), its proofs, and their
/// checks. Verifiers check a proof against nothing but a signed root.
namespace MerkleProof {

/// Reads the stored hash of the complete subtree (level, index): 2^level
/// leaves starting at leaf index << level. Storage stays with the caller.
using NodeSource = std::function<Expected<QByteArray>(int level, qint64 index)>;

/// SHA-256(0x00 || data); the data of our leaves is the 32 raw bytes of a file's digest.
QByteArray leafHash(QByteArrayView data);
/// SHA-256(0x01 || left || right).
QByteArray nodeHash(QByteArrayView left, QByteArrayView right);
/// The root over the given leaf hashes, computed whole; SHA-256 of nothing
/// for none. For small trees and for checking stored ones.
QByteArray rootOf(const QList<QByteArray> &leafHashes);

/// The root of the tree of the first treeSize leaves, from stored nodes.
Expected<QByteArray> rootHash(const NodeSource &nodes, qint64 treeSize);

/// The audit path of the leaf at leafIndex in the tree of treeSize leaves,
/// from the leaf's sibling up to the root's child.
Expected<QList<QByteArray>> auditPath(const NodeSource &nodes, qint64 leafIndex, qint64 treeSize);
/// The proof that the tree of second leaves extends the one of first leaves
/// (0 < first <= second), in the usual order: empty when they are equal.
Expected<QList<QByteArray>> consistencyProof(const NodeSource &nodes, qint64 first, qint64 second);

/// True when path leads from leafHash at leafIndex to root in a tree of treeSize leaves.
bool inclusionHolds(qint64 leafIndex, qint64 treeSize, const QByteArray &leafHash, const QList<QByteArray> &path,
    const QByteArray &root);
/// True when proof shows that the tree (second, secondRoot) extends the tree
/// (first, firstRoot), 0 < first <= second.
bool consistencyHolds(qint64 first, qint64 second, const QByteArray &firstRoot, const QByteArray &secondRoot,
    const QList<QByteArray> &proof);

} // namespace MerkleProof
