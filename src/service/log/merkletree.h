#pragma once

#include "core/expected.h"
#include "evidence/merkleproof.h"

#include <QByteArray>
#include <QList>

/// How the service stores a scope's append-only Merkle tree: the hash of
/// every complete subtree (2^level leaves starting at leaf index << level),
/// so any root, audit path or consistency proof reads O(log n) nodes. The
/// hashing and the proofs themselves are the evidence library's.
namespace Merkle {

/// A complete subtree that becomes known when a leaf is appended.
struct Node {
    int level;
    qint64 index;
    QByteArray hash;
};

/// The nodes to store after appending the leaf at leafIndex with the given
/// leaf hash: the leaf itself (level 0) and every subtree it completes.
Expected<QList<Node>> nodesCompletedBy(
    const MerkleProof::NodeSource &nodes, qint64 leafIndex, const QByteArray &leafHash);

} // namespace Merkle
