#pragma once

#include "core/expected.h"

#include <QByteArray>
#include <QList>

#include <functional>

/// Append-only Merkle tree hashing in the manner of certificate-transparency
/// logs: SHA-256, leaves hashed with a 0x00 prefix and interior nodes with a
/// 0x01 prefix, and a tree of n leaves split at the largest power of two below
/// n. The prefixes keep a leaf from ever passing for a node.
///
/// Storage stays outside: the functions read the hashes of complete subtrees
/// (2^level leaves starting at leaf index << level) through a NodeSource.
namespace Merkle {

/// Reads the stored hash of the complete subtree (level, index).
using NodeSource = std::function<Expected<QByteArray>(int level, qint64 index)>;

/// SHA-256(0x00 || data).
QByteArray leafHash(const QByteArray &data);
/// SHA-256(0x01 || left || right).
QByteArray nodeHash(const QByteArray &left, const QByteArray &right);
/// SHA-256 of nothing: the root of an empty tree.
QByteArray emptyRoot();

/// A complete subtree that becomes known when a leaf is appended.
struct Node {
    int level;
    qint64 index;
    QByteArray hash;
};

/// The nodes to store after appending the leaf at leafIndex with the given
/// leaf hash: the leaf itself (level 0) and every subtree it completes.
Expected<QList<Node>> nodesCompletedBy(const NodeSource &nodes, qint64 leafIndex, const QByteArray &leafHash);

/// The hash of the tree over leaves [0, size).
Expected<QByteArray> rootHash(const NodeSource &nodes, qint64 size);

/// The audit path of the leaf at leafIndex in the tree over [0, treeSize),
/// from the leaf's sibling up to the root's child. Requires leafIndex < treeSize.
Expected<QList<QByteArray>> auditPath(const NodeSource &nodes, qint64 leafIndex, qint64 treeSize);

} // namespace Merkle
