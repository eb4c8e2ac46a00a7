#include "core/batchrun.h"

#include "fakeservice.h"
#include "testenv.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace Qt::StringLiterals;

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
