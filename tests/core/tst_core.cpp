#include "core/atomicfile.h"
#include "core/filehasher.h"
#include "core/jsonwriter.h"
#include "core/resultmodel.h"
#include "core/text.h"

#include "testenv.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

// The shared pieces under every stored file: atomic writes, hashing, JSON
// layout, and the decoding of a stamp reply.
class TestCore : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

    QString make(const QString &name, const QByteArray &data)
    {
        writeFile(m_dir.filePath(name), data);
        return m_dir.filePath(name);
    }

private Q_SLOTS:
    void atomicWriteModes()
    {
        const ScopedUmask open(0);
        const QString secret = m_dir.filePath(u"secret"_qs);
        QVERIFY(AtomicFile::write(secret, "one", 0600).ok());
        QVERIFY(AtomicFile::write(secret, "two!", 0600).ok());
        QCOMPARE(readFile(secret), QByteArray("two!"));
        QCOMPARE(fileMode(secret), 0600);
        const QString kept = make(u"kept"_qs, "x");
        ::chmod(QFile::encodeName(kept).constData(), 0640);
        QVERIFY(AtomicFile::write(kept, "y").ok());
        QCOMPARE(fileMode(kept), 0640);
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files), (QStringList { u"kept"_qs, u"secret"_qs }));
    }

    // Nothing is written without the lock: waited for in vain, or where a
    // folder cannot be, it is a failure that says so.
    void lockFailures()
    {
        const QString dir = m_dir.filePath(u"locked"_qs);
        QVERIFY(QDir().mkpath(dir));
        const AtomicFile::FolderLock held(dir);
        QVERIFY(!held.failure());
        const QString file = make(u"plain"_qs, "x");
        for (const auto &[folder, kind, text] :
            { std::tuple(dir, SaveError::Kind::lockTimeout,
                  u"Another program kept %1 locked for 0.05 seconds; nothing was saved"_qs.arg(dir)),
                std::tuple(file, SaveError::Kind::notAFolder, file + u" is not a folder"_qs) }) {
            const AtomicFile::FolderLock lock(folder, std::chrono::milliseconds(50));
            QVERIFY(lock.failure());
            QCOMPARE(lock.failure()->kind, kind);
            QCOMPARE(lock.failure()->describe(), text);
        }
    }

    // What killed writes left beside files of the pattern goes, once per
    // process and folder; names our writes never use stay.
    void sweepsScratchOfKilledWrites()
    {
        const QString dir = m_dir.filePath(u"sweep"_qs);
        QVERIFY(QDir().mkpath(dir));
        for (const char *name : { "a.json.tmp-x1", "a.json.tmp", "b.txt.tmp-y", "a.json" })
            QVERIFY(writeFile(dir + QLatin1Char('/') + QLatin1String(name), "x"));
        AtomicFile::sweepScratch(dir, u"*.json"_qs);
        const QStringList left { u"a.json"_qs, u"a.json.tmp"_qs, u"b.txt.tmp-y"_qs };
        QCOMPARE(QDir(dir).entryList(QDir::Files), left);
        QVERIFY(writeFile(dir + u"/a.json.tmp-x2"_qs, "x"));
        AtomicFile::sweepScratch(dir, u"*.json"_qs);
        QCOMPARE(QDir(dir).entryList(QDir::Files).size(), left.size() + 1);
    }

    // Empty, one chunk, a chunk and a byte.
    void hashesAcrossChunks()
    {
        for (const qint64 size : { 0, 1048576, 1048577 }) {
            QByteArray data(size, Qt::Uninitialized);
            for (qint64 i = 0; i < size; ++i)
                data[i] = char(i % 251);
            QList<qint64> seen;
            const auto result = FileHasher::sha256Hex(make(u"f%1"_qs.arg(size), data), [&](qint64 done, qint64 total) {
                QCOMPARE(total, size);
                seen.append(done);
            });
            QCOMPARE(result.value(), digestOf(data));
            QCOMPARE(seen.size(), int((size + 1048575) / 1048576));
            QCOMPARE(seen.value(seen.size() - 1, 0), size);
        }
    }

    void hashingUnreadableFails()
    {
        QVERIFY(!FileHasher::sha256Hex(m_dir.path()).ok()); // opens, cannot be read
    }

    void fileNameOfAPath()
    {
        QCOMPARE(Text::lastPathComponent(u"/srv/docs//"_qs), u"docs"_qs); // a folder named with its slash
    }

    void jsonEscapesAndKeyOrder()
    {
        // U+FF21 sorts before U+1F600 by code point, after it by UTF-16 unit.
        const QString bmp = QString(QChar(0xFF21));
        const QString astral = QString::fromUcs4(U"\U0001F600", 1);
        const QJsonObject o { { astral, 1 }, { bmp, 2.5 }, { u"a"_qs, u"q\" b\\ n\n t\t c\x01 é/"_qs },
            { u"b"_qs, QJsonValue(qint64(-9223372036854775807LL)) } };
        QCOMPARE(JsonWriter::compact(o),
            QByteArray("{\"a\":\"q\\\" b\\\\ n\\n t\\t c\\u0001 \xc3\xa9\\/\",\"b\":-9223372036854775807,\"")
                + bmp.toUtf8() + "\":2.5,\"" + astral.toUtf8() + "\":1}");
    }

    void decodesStampReplies_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QByteArray>("receipts"); // as written back, "none" or "refused"
        QTest::newRow("empty list") << QByteArray(R"({"receipts":[]})") << QByteArray("[]");
        QTest::newRow("other members kept")
            << QByteArray(R"({"receipts":[{"receipt_id":null,"x":5},{}]})") << QByteArray(R"([{"x":5},{}])");
        QTest::newRow("absent") << QByteArray("{}") << QByteArray("none");
        QTest::newRow("an object") << QByteArray(R"({"receipts":{}})") << QByteArray("refused");
        QTest::newRow("a member not text") << QByteArray(R"({"receipts":[{"hash":1}]})") << QByteArray("refused");
    }

    void decodesStampReplies()
    {
        QFETCH(QByteArray, reply);
        const auto payload = StampPayload::fromJson(QJsonDocument::fromJson(reply).object());
        QJsonArray written;
        for (const Receipt &r : payload && payload->receipts ? *payload->receipts : QList<Receipt>())
            written.append(r.toJson());
        QTEST(!payload ? "refused" : !payload->receipts ? "none" : JsonWriter::compact(written), "receipts");
    }
};

QTEST_GUILESS_MAIN(TestCore)
#include "tst_core.moc"
