#include "service/log/merkletree.h"

#include <QCryptographicHash>

#include <bit>

namespace Merkle {

namespace {

// The largest power of two strictly below n (n >= 2).
qint64 splitPoint(qint64 n)
{
    return qint64(1) << (std::bit_width(static_cast<quint64>(n - 1)) - 1);
}

bool isPowerOfTwo(qint64 n)
{
    return n > 0 && (n & (n - 1)) == 0;
}

// The hash of the leaves [begin, end). Every range reached from the root is
// either a complete, aligned subtree (one stored node) or splits further.
Expected<QByteArray> rangeHash(const NodeSource &nodes, qint64 begin, qint64 end)
{
    const qint64 n = end - begin;
    if (n <= 0)
        return emptyRoot();
    if (isPowerOfTwo(n) && begin % n == 0)
        return nodes(std::countr_zero(static_cast<quint64>(n)), begin / n);
    const qint64 k = splitPoint(n);
    auto left = rangeHash(nodes, begin, begin + k);
    if (!left)
        return left;
    auto right = rangeHash(nodes, begin + k, end);
    if (!right)
        return right;
    return nodeHash(*left, *right);
}

Expected<void> collectPath(const NodeSource &nodes, qint64 leaf, qint64 begin, qint64 end, QList<QByteArray> &path)
{
    const qint64 n = end - begin;
    if (n <= 1)
        return {};
    const qint64 k = splitPoint(n);
    Expected<QByteArray> sibling;
    if (leaf < begin + k) {
        if (auto inner = collectPath(nodes, leaf, begin, begin + k, path); !inner)
            return inner;
        sibling = rangeHash(nodes, begin + k, end);
    } else {
        if (auto inner = collectPath(nodes, leaf, begin + k, end, path); !inner)
            return inner;
        sibling = rangeHash(nodes, begin, begin + k);
    }
    if (!sibling)
        return sibling.error();
    path.append(*sibling);
    return {};
}

} // namespace

QByteArray leafHash(const QByteArray &data)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArrayView("\x00", 1));
    hash.addData(data);
    return hash.result();
}

QByteArray nodeHash(const QByteArray &left, const QByteArray &right)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArrayView("\x01", 1));
    hash.addData(left);
    hash.addData(right);
    return hash.result();
}

QByteArray emptyRoot()
{
    return QCryptographicHash::hash(QByteArray(), QCryptographicHash::Sha256);
}

Expected<QList<Node>> nodesCompletedBy(const NodeSource &nodes, qint64 leafIndex, const QByteArray &leafHash)
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
        hash = nodeHash(*left, hash);
        index /= 2;
        ++level;
        completed.append({ level, index, hash });
    }
    return completed;
}

Expected<QByteArray> rootHash(const NodeSource &nodes, qint64 size)
{
    return rangeHash(nodes, 0, size);
}

Expected<QList<QByteArray>> auditPath(const NodeSource &nodes, qint64 leafIndex, qint64 treeSize)
{
    if (leafIndex < 0 || leafIndex >= treeSize)
        return Error { QStringLiteral("Leaf %1 is not in a tree of %2 leaves").arg(leafIndex).arg(treeSize) };
    QList<QByteArray> path;
    if (auto done = collectPath(nodes, leafIndex, 0, treeSize, path); !done)
        return done.error();
    return path;
}

} // namespace Merkle
