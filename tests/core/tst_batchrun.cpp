#include "core/batchrun.h"

#include "fakeservice.h"
#include "testenv.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

// Bytes this process has read with read(2) so far, page cache included.
qint64 bytesRead()
{
    for (const QByteArray &line : readFile(u"/proc/self/io"_s).split('\n')) {
        if (line.startsWith("rchar:"))
            return line.mid(6).trimmed().toLongLong();
    }
    return -1;
}

} // namespace

class TestBatchRun : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    std::shared_ptr<ServiceLog> m_log;
    std::unique_ptr<BatchRun> m_run;

    QString file(const QString &name, const QByteArray &data)
    {
        writeFile(m_dir.filePath(name), data);
        return m_dir.filePath(name);
    }

    void run(
        BatchRun::Action action, const QStringList &files, BatchRun::ScopeSource scope = [] { return u"global"_s; })
    {
        auto task = m_run->run(action, files, u"http://127.0.0.1:1/mcp"_s, scope);
        QCoro::waitFor(task);
    }

private Q_SLOTS:
    void init()
    {
        m_log = std::make_shared<ServiceLog>();
        m_run = std::make_unique<BatchRun>(FakeService::factory(m_log));
    }

    void filesGoInOrderWithTheirDigests()
    {
        const QString a = file(u"a.txt"_s, "alpha");
        const QString b = file(u"b.txt"_s, "");
        auto reads = std::make_shared<int>(0); // the scope is read for every file
        run(BatchRun::Action::verifyFiles, { a, b, a }, [reads] { return u"scope-%1"_s.arg(++*reads); });
        QCOMPARE(m_log->urls, QStringList { u"http://127.0.0.1:1/mcp"_s });
        QCOMPARE(m_log->calls.size(), 3);
        const QStringList paths { a, b, a };
        const QStringList digests { digestOf("alpha"), digestOf(""), digestOf("alpha") };
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(m_log->calls[i].tool, u"verify"_s);
            QCOMPARE(m_log->calls[i].path, paths[i]);
            QCOMPARE(m_log->calls[i].sha256, digests[i]);
            QCOMPARE(m_log->calls[i].scope, u"scope-%1"_s.arg(i + 1));
            QCOMPARE(m_run->results()[i].path, paths[i]);
        }
    }

    void summaryCounts()
    {
        using K = ResultKind;
        for (const auto &[verify, kinds, summary] :
            { std::tuple(true, QList<K> { K::valid, K::notFound, K::error, K::found, K::invalid },
                  u"Done — 2 found/valid, 1 not found, 3 failed (5 total)."_s),
                std::tuple(false, QList<K> { K::registered, K::error },
                    u"Done — 1 registered/ok, 1 failed (2 total)."_s) }) { // an error row fails
            init();
            QStringList files;
            for (int i = 0; i < kinds.size(); ++i)
                files.append(file(QString::number(i), QByteArray::number(i)));
            m_log->answer = [kinds, this](const Call &) { return kinds.at(m_log->calls.size() - 1); };
            run(verify ? BatchRun::Action::verifyFiles : BatchRun::Action::registerFiles, files);
            QCOMPARE(m_run->status(), summary);
        }
    }

    void progressReportsFileNumbersAndBytes()
    {
        const QByteArray big(2 * 1024 * 1024 + 5, 'x');
        const QString a = file(u"big.bin"_s, big);
        const QString missing = m_dir.filePath(u"nope"_s);
        QSignalSpy spy(m_run.get(), &BatchRun::progress);
        run(BatchRun::Action::registerFiles, { a, missing });
        const qint64 mib = 1024 * 1024;
        const qint64 size = big.size();
        const QList<QList<QVariant>> expected {
            { 1, 2, a, qint64(0), size },
            { 1, 2, a, mib, size },
            { 1, 2, a, 2 * mib, size },
            { 1, 2, a, size, size },
            { 2, 2, missing, size, size },
        };
        QCOMPARE(static_cast<QList<QList<QVariant>>>(spy), expected);
    }

    // While the service answers for one file the next is hashed, and only
    // that one: a file removed by then is read only after the answer.
    void hashesOneFileAhead()
    {
        const QStringList files { file(u"a"_s, "1"), file(u"b"_s, "22"), file(u"c"_s, "333") };
        m_log->holding = true;
        QSignalSpy progress(m_run.get(), &BatchRun::progress);
        auto task = m_run->run(BatchRun::Action::registerFiles, files, {}, [] { return u"global"_s; });
        QTRY_COMPARE(m_log->calls.size(), 1);
        QTRY_COMPARE(progress.constLast().at(3).toLongLong(), 3); // a and b
        QCOMPARE(progress.constLast().at(0).toInt(), 1); // a still in hand
        QVERIFY(QFile::remove(files[2]));
        m_log->holding = false;
        m_log->open();
        QCoro::waitFor(task);
        QCOMPARE(m_run->results().size(), 3);
        QCOMPARE(m_run->results()[1].kind, ResultKind::registered);
        QVERIFY2(
            m_run->results()[2].status.startsWith(u"Error: Cannot open "_s), qPrintable(m_run->results()[2].status));
    }

    // Stop, or the run's owner going away, ends a large file's hash at once:
    // it is not read to the end and gets no row.
    void abandonsALargeHash()
    {
        const qint64 size = qint64(2) << 30;
        const QString big = file(u"big.bin"_s, {});
        QVERIFY(QFile(big).resize(size)); // sparse: read as zeros, nothing on disk
        for (const bool destroy : { false, true }) {
            init();
            QSignalSpy progress(m_run.get(), &BatchRun::progress);
            QSignalSpy finished(m_run.get(), &BatchRun::finished);
            const qint64 before = bytesRead();
            auto task = m_run->run(BatchRun::Action::registerFiles, { big }, {}, [] { return u"g"_s; });
            QTRY_VERIFY(progress.size() > 1); // hashing has begun
            if (destroy) {
                m_run.reset(); // as when the window closes
            } else {
                m_run->stop();
                QTRY_COMPARE(finished.size(), 1);
                QCOMPARE(m_run->status(), u"Stopped — 0 registered/ok, 0 failed (0 total)."_s);
            }
            QVERIFY2(bytesRead() - before < size / 2, qPrintable(QString::number(bytesRead() - before)));
            QVERIFY(m_log->calls.isEmpty());
        }
    }

    // Stopped at the first of three, at the last (nothing left out), and
    // while idle, before the run (ignored).
    void stopEndsAfterTheFileInHand()
    {
        const QString a = file(u"a"_s, "1");
        for (const int stopAtCall : { 1, 3, 0 }) {
            init();
            m_log->onCall = [&] {
                if (m_log->calls.size() == stopAtCall)
                    m_run->stop();
            };
            if (stopAtCall == 0)
                m_run->stop();
            run(BatchRun::Action::registerFiles, { a, a, a });
            QCOMPARE(m_run->status(),
                stopAtCall == 1 ? u"Stopped — 1 registered/ok, 0 failed (1 total)."_s
                                : u"Done — 3 registered/ok, 0 failed (3 total)."_s);
            QCOMPARE(m_run->stopped(), stopAtCall == 1);
            // The file in hand was finished; nothing after it was sent.
            QCOMPARE(m_log->calls.size(), m_run->results().size());
            QVERIFY(!m_run->busy());
        }
    }
};

QTEST_GUILESS_MAIN(TestBatchRun)
#include "tst_batchrun.moc"
