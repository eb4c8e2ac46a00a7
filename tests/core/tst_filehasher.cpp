#include "core/filehasher.h"

#include "testenv.h"

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QtTest>

class TestFileHasher : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    QString make(const QString &name, const QByteArray &data)
    {
        const QString path = m_dir.filePath(name);
        writeFile(path, data);
        return path;
    }

private Q_SLOTS:
    void knownDigests_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("digest");
        // Bytes i % 251 of the given size, digests computed independently.
        QTest::newRow("empty") << qint64(0)
                               << QStringLiteral("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
        QTest::newRow("one chunk") << qint64(1048576) << QString();
        QTest::newRow("chunk plus one") << qint64(1048577) << QString();
        QTest::newRow("odd") << qint64(3000001) << QString();
    }

    void knownDigests()
    {
        QFETCH(qint64, size);
        QFETCH(QString, digest);
        QByteArray data(size, Qt::Uninitialized);
        for (qint64 i = 0; i < size; ++i)
            data[i] = char(i % 251);
        if (digest.isEmpty())
            digest = QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
        const QString path = make(QStringLiteral("f%1").arg(size), data);
        qint64 last = -1;
        int calls = 0;
        auto result = FileHasher::sha256Hex(path, [&](qint64 done, qint64 total) {
            QCOMPARE(total, size);
            last = done;
            ++calls;
        });
        QVERIFY(result.ok());
        QCOMPARE(result.value(), digest);
        QCOMPARE(result->size(), 64);
        QCOMPARE(result.value(), result->toLower());
        QCOMPARE(calls, int((size + 1048575) / 1048576));
        if (size)
            QCOMPARE(last, size);
    }

    void fixedVector()
    {
        QCOMPARE(FileHasher::sha256Hex(make(QStringLiteral("abc"), "abc")).value(),
            QStringLiteral("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    }

    void unreadable()
    {
        auto missing = FileHasher::sha256Hex(m_dir.filePath(QStringLiteral("missing")));
        QVERIFY(!missing.ok());
        QVERIFY(missing.error().description.contains(QStringLiteral("missing")));

        // A directory opens but cannot be read: the read error fails like an open error.
        auto dir = FileHasher::sha256Hex(m_dir.path());
        QVERIFY(!dir.ok());

        if (::geteuid() != 0) {
            const QString locked = make(QStringLiteral("locked"), "x");
            QFile::setPermissions(locked, QFileDevice::Permissions());
            QVERIFY(!FileHasher::sha256Hex(locked).ok());
        }
    }

    void asyncOnWorker()
    {
        const QString path = make(QStringLiteral("async"), QByteArray(3 * 1048576 + 5, 'x'));
        QList<qint64> seen;
        QObject context;
        auto task = FileHasher::sha256HexAsync(path, &context, [&](qint64 done, qint64) {
            QCOMPARE(QThread::currentThread(), qApp->thread());
            seen.append(done);
        });
        auto result = QCoro::waitFor(task);
        QVERIFY(result.ok());
        QCOMPARE(result.value(), FileHasher::sha256Hex(path).value());
        QTRY_COMPARE(seen.size(), 4);
        QCOMPARE(seen.last(), qint64(3 * 1048576 + 5));
    }
};

QTEST_GUILESS_MAIN(TestFileHasher)
#include "tst_filehasher.moc"
