#include "evidence/merkleproof.h"

#include "evidence/crypto.h"

#include <bit>

namespace MerkleProof {

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

// The hash of the leaves [begin, end). Every range reached by splitting from
// the root is either one complete, aligned subtree (one stored node) or splits
// further.
Expected<QByteArray> rangeHash(const NodeSource &nodes, qint64 begin, qint64 end)
{
    const qint64 n = end - begin;
    if (n <= 0)
        return Crypto::sha256({});
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

// Appends the hash of [begin, end) to out.
Expected<void> append(const NodeSource &nodes, qint64 begin, qint64 end, QList<QByteArray> &out)
{
    auto hash = rangeHash(nodes, begin, end);
    if (!hash)
        return hash.error();
    out.append(*hash);
    return {};
}

Expected<void> collectPath(const NodeSource &nodes, qint64 leaf, qint64 begin, qint64 end, QList<QByteArray> &path)
{
    if (end - begin <= 1)
        return {};
    const qint64 middle = begin + splitPoint(end - begin);
    const bool left = leaf < middle;
    if (auto inner = left ? collectPath(nodes, leaf, begin, middle, path) : collectPath(nodes, leaf, middle, end, path);
        !inner)
        return inner;
    return left ? append(nodes, middle, end, path) : append(nodes, begin, middle, path);
}

// The subproof of the first m leaves within [begin, end); whole says whether
// [begin, begin + m) is a subtree whose root the verifier already has.
Expected<void> collectSubproof(
    const NodeSource &nodes, qint64 m, qint64 begin, qint64 end, bool whole, QList<QByteArray> &proof)
{
    const qint64 n = end - begin;
    if (m == n)
        return whole ? Expected<void>() : append(nodes, begin, end, proof);
    const qint64 k = splitPoint(n);
    if (m <= k) {
        if (auto inner = collectSubproof(nodes, m, begin, begin + k, whole, proof); !inner)
            return inner;
        return append(nodes, begin + k, end, proof);
    }
    if (auto inner = collectSubproof(nodes, m - k, begin + k, end, false, proof); !inner)
        return inner;
    return append(nodes, begin, begin + k, proof);
}

// Shifts fn and sn right together until fn's lowest bit is set or fn is 0.
void shiftWhileEven(quint64 &fn, quint64 &sn)
{
    while (fn != 0 && (fn & 1) == 0) {
        fn >>= 1;
        sn >>= 1;
    }
}

} // namespace

QByteArray leafHash(QByteArrayView data)
{
    return Crypto::sha256(QByteArray(1, '\x00').append(data));
}

QByteArray nodeHash(QByteArrayView left, QByteArrayView right)
{
    return Crypto::sha256(QByteArray(1, '\x01').append(left).append(right));
}

QByteArray rootOf(const QList<QByteArray> &leafHashes)
{
    if (leafHashes.isEmpty())
        return Crypto::sha256({});
    if (leafHashes.size() == 1)
        return leafHashes.first();
    const qsizetype k = splitPoint(leafHashes.size());
    return nodeHash(rootOf(leafHashes.mid(0, k)), rootOf(leafHashes.mid(k)));
}

Expected<QByteArray> rootHash(const NodeSource &nodes, qint64 treeSize)
{
    return rangeHash(nodes, 0, treeSize);
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

Expected<QList<QByteArray>> consistencyProof(const NodeSource &nodes, qint64 first, qint64 second)
{
    if (first <= 0 || first > second)
        return Error { QStringLiteral("No consistency proof from %1 to %2 leaves").arg(first).arg(second) };
    QList<QByteArray> proof;
    if (auto done = collectSubproof(nodes, first, 0, second, true, proof); !done)
        return done.error();
    return proof;
}

bool inclusionHolds(qint64 leafIndex, qint64 treeSize, const QByteArray &leafHash, const QList<QByteArray> &path,
    const QByteArray &root)
{
    if (leafIndex < 0 || leafIndex >= treeSize)
        return false;
    quint64 fn = static_cast<quint64>(leafIndex);
    quint64 sn = static_cast<quint64>(treeSize - 1);
    QByteArray r = leafHash;
    for (const QByteArray &p : path) {
        if (sn == 0)
            return false;
        if ((fn & 1) == 1 || fn == sn) {
            r = nodeHash(p, r);
            if ((fn & 1) == 0)
                shiftWhileEven(fn, sn);
        } else {
            r = nodeHash(r, p);
        }
        fn >>= 1;
        sn >>= 1;
    }
    return sn == 0 && r == root;
}

bool consistencyHolds(qint64 first, qint64 second, const QByteArray &firstRoot, const QByteArray &secondRoot,
    const QList<QByteArray> &proof)
{
    if (first <= 0 || first > second)
        return false;
    if (first == second)
        return proof.isEmpty() && firstRoot == secondRoot;
    if (proof.isEmpty())
        return false;
    // A first tree of a power of two leaves is a subtree of the second; its
    // root is where both walks begin.
    QList<QByteArray> path = proof;
    if (isPowerOfTwo(first))
        path.prepend(firstRoot);
    quint64 fn = static_cast<quint64>(first - 1);
    quint64 sn = static_cast<quint64>(second - 1);
    while ((fn & 1) == 1) {
        fn >>= 1;
        sn >>= 1;
    }
    QByteArray fr = path.first();
    QByteArray sr = path.first();
    for (qsizetype i = 1; i < path.size(); ++i) {
        const QByteArray &c = path[i];
        if (sn == 0)
            return false;
        if ((fn & 1) == 1 || fn == sn) {
            fr = nodeHash(c, fr);
            sr = nodeHash(c, sr);
            if ((fn & 1) == 0)
                shiftWhileEven(fn, sn);
        } else {
            sr = nodeHash(sr, c);
        }
        fn >>= 1;
        sn >>= 1;
    }
    return fr == firstRoot && sr == secondRoot && sn == 0;
}

} // namespace MerkleProof
