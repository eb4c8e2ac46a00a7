#include "core/atomicfile.h"
#include "core/batchrun.h"
#include "core/filehasher.h"
#include "core/jsonwriter.h"
#include "core/resultmodel.h"

#include "fakeservice.h"
#include "testenv.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Bytes this process has read with read(2) so far, page cache included.
qint64 bytesRead()
{
    const QByteArray io = readFile(u"/proc/self/io"_qs);
    return io.mid(io.indexOf("rchar:") + 6).split('\n').constFirst().trimmed().toLongLong();
}

} // namespace

// The shared pieces under every stored file (atomic writes, hashing, JSON
// layout, the decoding of a stamp reply) and the batch run over them.
class TestCore : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    std::shared_ptr<ServiceLog> m_log;
    std::unique_ptr<BatchRun> m_run;

    QString make(const QString &name, const QByteArray &data)
    {
        writeFile(m_dir.filePath(name), data);
        return m_dir.filePath(name);
    }

    void run(
        BatchRun::Action action, const QStringList &files, BatchRun::ScopeSource scope = [] { return u"global"_qs; })
    {
        QCoro::waitFor(m_run->run(action, files, u"http://127.0.0.1:1/mcp"_qs, scope));
    }

private Q_SLOTS:
    void init()
    {
        m_log = std::make_shared<ServiceLog>();
        m_run = std::make_unique<BatchRun>(FakeService::factory(m_log));
    }

    void atomicWrites()
    {
        const ScopedUmask open(0);
        const QString secret = m_dir.filePath(u"secret"_qs);
        QVERIFY(AtomicFile::write(secret, "one", 0600).ok());
        ::chmod(QFile::encodeName(secret).constData(), 0644); // a secret another program opened up is closed again
        QVERIFY(AtomicFile::write(secret, "two!", 0600).ok());
        QCOMPARE(readFile(secret), QByteArray("two!"));
        QCOMPARE(fileMode(secret), 0600);
        const QString kept = make(u"kept"_qs, "x");
        ::chmod(QFile::encodeName(kept).constData(), 0640);
        // Replaced, never written over: a hard link (a snapshot) keeps its bytes.
        const QString snapshot = m_dir.filePath(u"snapshot"_qs);
        QCOMPARE(::link(QFile::encodeName(kept).constData(), QFile::encodeName(snapshot).constData()), 0);
        QVERIFY(AtomicFile::write(kept, "y").ok());
        QCOMPARE(fileMode(kept), 0640);
        QCOMPARE(readFile(snapshot), QByteArray("x"));
        QFile::remove(snapshot);
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files), (QStringList { u"kept"_qs, u"secret"_qs }));

        // Nothing is written without the lock: waited for in vain, or where a
        // folder cannot be, it is a failure that says so.
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

    // Empty, one chunk, a chunk and a byte; a folder opens but cannot be read.
    void hashesAcrossChunks()
    {
        for (const qint64 size : { 0, 1048576, 1048577 }) {
            const QByteArray data = QByteArray("0123456789abc").repeated(size / 13 + 1).left(size);
            QList<qint64> seen;
            const auto result = FileHasher::sha256Hex(make(u"f%1"_qs.arg(size), data), [&](qint64 done, qint64 total) {
                QCOMPARE(total, size);
                seen.append(done);
            });
            QCOMPARE(result.value(), digestOf(data));
            QCOMPARE(seen.size(), int((size + 1048575) / 1048576));
            QCOMPARE(seen.value(seen.size() - 1, 0), size);
        }
        QVERIFY(!FileHasher::sha256Hex(m_dir.path()).ok()); // opens, cannot be read
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
        QTest::newRow("other members kept")
            << QByteArray(R"({"receipts":[{"receipt_id":null,"x":5},{}]})") << QByteArray(R"([{"x":5},{}])");
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

    // Files go in order with their digests, the scope read for each; not
    // found, invalid and error rows all fail (a register run's summary is
    // the UI's and the CLI's); a stop while idle is ignored, one in the last
    // file leaves nothing out.
    void filesGoInOrderAndCount()
    {
        using K = ResultKind;
        const QList<K> kinds { K::valid, K::notFound, K::error, K::found, K::invalid };
        const QString a = make(u"a.txt"_qs, "alpha");
        const QStringList files { a, make(u"b.txt"_qs, ""), a, make(u"c"_qs, "c"), make(u"d"_qs, "d") };
        m_log->answer = [kinds, this](const Call &) { return kinds.at(m_log->calls.size() - 1); };
        m_run->stop(); // while idle, before the run: ignored
        auto reads = std::make_shared<int>(0);
        run(BatchRun::Action::verifyFiles, files, [reads] { return u"scope-%1"_qs.arg(++*reads); });
        QCOMPARE(m_log->urls, QStringList { u"http://127.0.0.1:1/mcp"_qs });
        QCOMPARE(m_log->calls.size(), 5);
        for (int i = 0; i < 5; ++i) {
            const Call &c = m_log->calls[i];
            QCOMPARE((QStringList { c.tool, c.path, c.sha256, c.scope, m_run->results()[i].path }),
                (QStringList {
                    u"verify"_qs, files[i], digestOf(readFile(files[i])), u"scope-%1"_qs.arg(i + 1), files[i] }));
        }
        QCOMPARE(m_run->status(), u"Done — 2 found/valid, 1 not found, 3 failed (5 total)."_qs);

        // Stopped in the last file: nothing is left out. (A stop at the first
        // file is the app's Stop and the CLI's Ctrl+C test.)
        init();
        m_log->onCall = [this] {
            if (m_log->calls.size() == 3)
                m_run->stop();
        };
        run(BatchRun::Action::registerFiles, { a, a, a });
        QCOMPARE(m_run->status(), u"Done — 3 registered/ok, 0 failed (3 total)."_qs);
        QVERIFY(!m_run->stopped() && !m_run->busy());
        QCOMPARE(m_run->results().size(), 3);
    }

    // Stop, or the run's owner going away, ends a large file's hash at once:
    // it is not read to the end and gets no row.
    void abandonsALargeHash()
    {
        const qint64 size = qint64(2) << 30;
        const QString big = make(u"big.bin"_qs, {});
        QVERIFY(QFile(big).resize(size)); // sparse: read as zeros, nothing on disk
        for (const bool destroy : { false, true }) {
            init();
            QSignalSpy progress(m_run.get(), &BatchRun::progress);
            QSignalSpy finished(m_run.get(), &BatchRun::finished);
            const qint64 before = bytesRead();
            auto task = m_run->run(BatchRun::Action::registerFiles, { big }, {}, [] { return u"g"_qs; });
            QTRY_VERIFY(progress.size() > 1); // hashing has begun
            if (destroy) {
                m_run.reset(); // as when the window closes
            } else {
                m_run->stop();
                QTRY_COMPARE(finished.size(), 1);
                QCOMPARE(m_run->status(), u"Stopped — 0 registered/ok, 0 failed (0 total)."_qs);
            }
            QVERIFY2(bytesRead() - before < size / 2, qPrintable(QString::number(bytesRead() - before)));
            QVERIFY(m_log->calls.isEmpty());
        }
    }
};

QTEST_GUILESS_MAIN(TestCore)
#include "tst_core.moc"
