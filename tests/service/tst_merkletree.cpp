#include "service/merkletree.h"

#include "servicetestkit.h"

#include <QHash>
#include <QtTest>

namespace {

// The service's tree functions over an in-memory node store.
struct MemoryTree {
    QHash<QPair<int, qint64>, QByteArray> nodes;
    QList<QByteArray> leaves;
    bool failReads = false;

    Merkle::NodeSource source()
    {
        return [this](int level, qint64 index) -> Expected<QByteArray> {
            const auto found = nodes.constFind({ level, index });
            if (failReads || found == nodes.constEnd())
                return Error { QStringLiteral("no node %1/%2").arg(level).arg(index) };
            return *found;
        };
    }

    void append(const QByteArray &leaf)
    {
        auto completed = Merkle::nodesCompletedBy(source(), leaves.size(), Merkle::leafHash(leaf));
        QVERIFY(completed.ok());
        for (const Merkle::Node &node : *completed)
            nodes.insert({ node.level, node.index }, node.hash);
        leaves.append(leaf);
    }
};

} // namespace

class TestMerkleTree : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The published test vectors of certificate-transparency logs.
    void knownRoots_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<QByteArray>("root");
        const char *roots[] = {
            "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d",
            "fac54203e7cc696cf0dfcb42c92a1d9dbaf70ad9e621f4bd8d98662f00e3c125",
            "aeb6bcfe274b70a14fb067a5e5578264db0fa9b51af5e0ba159158f329e06e77",
            "d37ee418976dd95753c1c73862b9398fa2a2cf9b4ff0fdfe8b30cd95209614b7",
            "4e3bbb1f7b478dcfe71fb631631519a3bca12c9aefca1612bfce4c13a86264d4",
            "76e67dadbcdf1e10e1b74ddc608abd2f98dfb16fbce75277b5232a127f2087ef",
            "ddb89be403809e325750d3d263cd78929c2942b7942a34b77e122c9594a74c8c",
            "5dc9da79a70659a9ad559cb701ded9a2ab9d823aad2f4960cfe370eff4604328",
        };
        for (int i = 0; i < 8; ++i)
            QTest::addRow("%d leaves", i + 1) << i + 1 << QByteArray(roots[i]);
    }

    void knownRoots()
    {
        QFETCH(int, size);
        QFETCH(QByteArray, root);
        const QList<QByteArray> data { "", "00", "10", "2021", "3031", "40414243", "5051525354555657",
            "606162636465666768696a6b6c6d6e6f" };
        MemoryTree tree;
        for (int i = 0; i < size; ++i)
            tree.append(QByteArray::fromHex(data[i]));
        const auto computed = Merkle::rootHash(tree.source(), size);
        QVERIFY(computed.ok());
        QCOMPARE(computed->toHex(), root);
        QCOMPARE(Merkle::emptyRoot().toHex(),
            QByteArray("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
    }

    // Every leaf of every tree up to 33 leaves: the path leads to the root
    // that the definition gives, and altering anything breaks it.
    void auditPathsCheckOut()
    {
        MemoryTree tree;
        for (int size = 1; size <= 33; ++size) {
            tree.append(ReferenceMerkle::sha256(QByteArray::number(size)));
            const QByteArray root = ReferenceMerkle::root(tree.leaves);
            QCOMPARE(*Merkle::rootHash(tree.source(), size), root);
            for (int index = 0; index < size; ++index) {
                const QByteArray leaf = ReferenceMerkle::leafHash(tree.leaves[index]);
                const auto path = Merkle::auditPath(tree.source(), index, size);
                QVERIFY(path.ok());
                QVERIFY2(ReferenceMerkle::verifyInclusion(index, size, leaf, *path, root),
                    qPrintable(QStringLiteral("leaf %1 of %2").arg(index).arg(size)));
                if (size > 1) {
                    QVERIFY(!ReferenceMerkle::verifyInclusion((index + 1) % size, size, leaf, *path, root));
                    QList<QByteArray> bent = *path;
                    bent.first()[0] = static_cast<char>(bent.first()[0] ^ 1);
                    QVERIFY(!ReferenceMerkle::verifyInclusion(index, size, leaf, bent, root));
                }
            }
        }
    }

    // Appending never rewrites a stored node: old roots stay computable.
    void appendOnly()
    {
        MemoryTree tree;
        QList<QByteArray> roots;
        for (int i = 0; i < 20; ++i) {
            tree.append(QByteArray::number(i));
            roots.append(*Merkle::rootHash(tree.source(), i + 1));
        }
        for (int i = 0; i < 20; ++i)
            QCOMPARE(*Merkle::rootHash(tree.source(), i + 1), roots[i]);
    }

    void storageFailuresAreErrors()
    {
        MemoryTree tree;
        for (int i = 0; i < 5; ++i)
            tree.append(QByteArray::number(i));
        tree.failReads = true;
        QVERIFY(!Merkle::rootHash(tree.source(), 5).ok());
        QVERIFY(!Merkle::auditPath(tree.source(), 2, 5).ok());
        QVERIFY(!Merkle::nodesCompletedBy(tree.source(), 5, Merkle::leafHash("x")).ok());
        tree.failReads = false;
        QCOMPARE(Merkle::auditPath(tree.source(), 5, 5).error().description,
            QStringLiteral("Leaf 5 is not in a tree of 5 leaves"));
    }
};

QTEST_GUILESS_MAIN(TestMerkleTree)
#include "tst_merkletree.moc"
