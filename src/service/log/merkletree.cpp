#include "service/log/merkletree.h"

namespace Merkle {

Expected<QList<Node>> nodesCompletedBy(
    const MerkleProof::NodeSource &nodes, qint64 leafIndex, const QByteArray &leafHash)
{
    QList<Node> completed { { 0, leafIndex, leafHash } };
    QByteArray hash = leafHash;
    qint64 index = leafIndex;
    int level = 0;
    // A right child completes its parent; climb while that keeps happening.
    while (index % 2 == 1) {
        auto left = nodes(level, index - 1);
        if (!left)
            return left.error();
        hash = MerkleProof::nodeHash(*left, hash);
        index /= 2;
        ++level;
        completed.append({ level, index, hash });
    }
    return completed;
}

} // namespace Merkle
