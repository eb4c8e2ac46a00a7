#include "core/batchrun.h"

#include "testenv.h"

#include <QCoro/QCoroTimer>
#include <QCryptographicHash>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

struct Call {
    QString tool;
    QString path;
    QString sha256;
    QString scope;
};

// What the fake service saw, shared with the test after the run has ended.
struct ServiceLog {
    QStringList urls;
    QList<Call> calls;
    std::function<FileResult(const Call &)> answer;
};

class FakeService : public StampingService {
public:
    explicit FakeService(std::shared_ptr<ServiceLog> log)
        : m_log(std::move(log))
    {
    }

    QCoro::Task<FileResult> registerFile(QString path, QString sha256, QString scope) override
    {
        const Call call { QStringLiteral("register"), path, sha256, scope };
        co_return co_await answer(call);
    }
    QCoro::Task<FileResult> verify(QString path, QString sha256, QString scope) override
    {
        const Call call { QStringLiteral("verify"), path, sha256, scope };
        co_return co_await answer(call);
    }

private:
    // Really suspends, like a network round trip, so the run's state can be
    // observed in between.
    QCoro::Task<FileResult> answer(Call call)
    {
        QTimer timer;
        timer.setSingleShot(true);
        timer.start(0);
        co_await timer;
        m_log->calls.append(call);
        co_return m_log->answer(call);
    }

    std::shared_ptr<ServiceLog> m_log;
};

FileResult row(const Call &call, ResultKind kind, const QString &status)
{
    return FileResult { call.path, call.sha256, QStringLiteral("r"), {}, call.scope, status, {}, kind };
}

QString sha256Of(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

} // namespace

class TestBatchRun : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    std::shared_ptr<ServiceLog> m_log;

    QString file(const QString &name, const QByteArray &data)
    {
        const QString path = m_dir.filePath(name);
        writeFile(path, data);
        return path;
    }

    BatchRun::ServiceFactory factory()
    {
        auto log = m_log;
        return [log](const QString &url) {
            log->urls.append(url);
            return std::make_unique<FakeService>(log);
        };
    }

    void runAndWait(
        BatchRun &run, BatchRun::Action action, const QStringList &files,
        BatchRun::ScopeSource scope = [] { return QStringLiteral("global"); })
    {
        auto task = run.run(action, files, QStringLiteral("http://127.0.0.1:1/mcp"), scope);
        QCoro::waitFor(task);
    }

private Q_SLOTS:
    void init()
    {
        m_log = std::make_shared<ServiceLog>();
        m_log->answer = [](const Call &c) { return row(c, ResultKind::registered, QStringLiteral("Registered")); };
    }

    void emptyListMakesOneServiceAndSendsNothing()
    {
        BatchRun run(factory());
        runAndWait(run, BatchRun::Action::registerFiles, {});
        QCOMPARE(m_log->urls, QStringList { QStringLiteral("http://127.0.0.1:1/mcp") });
        QVERIFY(m_log->calls.isEmpty());
        QVERIFY(run.results().isEmpty());
        QCOMPARE(run.status(), QStringLiteral("Done — 0 registered/ok, 0 failed (0 total)."));
        QVERIFY(!run.busy());
    }

    void filesGoInOrderWithTheirDigests()
    {
        const QString a = file(QStringLiteral("a.txt"), "alpha");
        const QString b = file(QStringLiteral("b.txt"), "");
        const QString c = file(QStringLiteral("c.txt"), "gamma");
        BatchRun run(factory());
        runAndWait(run, BatchRun::Action::registerFiles, { a, b, c, a });

        QCOMPARE(m_log->calls.size(), 4);
        const QStringList paths { a, b, c, a };
        const QList<QByteArray> data { "alpha", "", "gamma", "alpha" };
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(m_log->calls[i].tool, QStringLiteral("register"));
            QCOMPARE(m_log->calls[i].path, paths[i]);
            QCOMPARE(m_log->calls[i].sha256, sha256Of(data[i]));
            QCOMPARE(run.results()[i].path, paths[i]);
        }
        QCOMPARE(
            m_log->calls[1].sha256, QStringLiteral("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
        QCOMPARE(run.status(), QStringLiteral("Done — 4 registered/ok, 0 failed (4 total)."));
    }

    void unreadableFileBecomesAnErrorRowAndTheRunGoesOn()
    {
        const QString missing = m_dir.filePath(QStringLiteral("missing.txt"));
        const QString good = file(QStringLiteral("good.txt"), "ok");
        BatchRun run(factory());
        runAndWait(run, BatchRun::Action::registerFiles, { missing, good }, [] { return QStringLiteral("shared"); });

        QCOMPARE(m_log->calls.size(), 1);
        QCOMPARE(m_log->calls[0].path, good);
        const FileResult err = run.results().at(0);
        QCOMPARE(err.path, missing);
        QCOMPARE(err.sha256, QString());
        QCOMPARE(err.receiptId, QString());
        QCOMPARE(err.createdAt, QString());
        QCOMPARE(err.merkle, QString());
        QCOMPARE(err.scope, QStringLiteral("shared"));
        QCOMPARE(err.kind, ResultKind::error);
        QVERIFY2(err.status.startsWith(QStringLiteral("Error: Cannot open ") + missing), qPrintable(err.status));
        QCOMPARE(run.status(), QStringLiteral("Done — 1 registered/ok, 1 failed (2 total)."));
    }

    void summaryCounts_data()
    {
        QTest::addColumn<int>("action");
        QTest::addColumn<QList<int>>("kinds");
        QTest::addColumn<QString>("summary");
        const auto k = [](ResultKind kind) { return static_cast<int>(kind); };
        QTest::newRow("verify: valid, not found, error")
            << 1 << QList<int> { k(ResultKind::valid), k(ResultKind::notFound), k(ResultKind::error) }
            << QStringLiteral("Done — 1 found/valid, 1 not found, 2 failed (3 total).");
        QTest::newRow("verify: found, invalid")
            << 1 << QList<int> { k(ResultKind::found), k(ResultKind::invalid) }
            << QStringLiteral("Done — 1 found/valid, 0 not found, 1 failed (2 total).");
        QTest::newRow("register: all registered")
            << 0 << QList<int> { k(ResultKind::registered), k(ResultKind::registered), k(ResultKind::registered) }
            << QStringLiteral("Done — 3 registered/ok, 0 failed (3 total).");
        QTest::newRow("register: an error row fails")
            << 0 << QList<int> { k(ResultKind::registered), k(ResultKind::error) }
            << QStringLiteral("Done — 1 registered/ok, 1 failed (2 total).");
    }

    void summaryCounts()
    {
        QFETCH(int, action);
        QFETCH(QList<int>, kinds);
        QFETCH(QString, summary);
        QStringList files;
        for (int i = 0; i < kinds.size(); ++i)
            files.append(file(QStringLiteral("f%1").arg(i), QByteArray::number(i)));
        auto next = std::make_shared<int>(0);
        m_log->answer = [kinds, next](const Call &c) {
            return row(c, static_cast<ResultKind>(kinds.at((*next)++)), QStringLiteral("s"));
        };
        BatchRun run(factory());
        const auto a = action == 0 ? BatchRun::Action::registerFiles : BatchRun::Action::verifyFiles;
        runAndWait(run, a, files);
        QCOMPARE(m_log->calls.first().tool, action == 0 ? QStringLiteral("register") : QStringLiteral("verify"));
        QCOMPARE(run.status(), summary);
        QCOMPARE(BatchRun::summary(a, run.results()), summary);
    }

    void stateChangesInOrderAndRowsAppearAtTheEnd()
    {
        const QString a = file(QStringLiteral("a"), "1");
        const QString b = file(QStringLiteral("b"), "2");
        BatchRun run(factory());
        // A previous run's rows are cleared when the next one starts.
        runAndWait(run, BatchRun::Action::registerFiles, { a });
        QCOMPARE(run.results().size(), 1);

        QStringList events;
        connect(&run, &BatchRun::busyChanged, this, [&](bool busy) { events << QStringLiteral("busy=%1").arg(busy); });
        connect(&run, &BatchRun::resultsChanged, this,
            [&] { events << QStringLiteral("results=%1").arg(run.results().size()); });
        connect(&run, &BatchRun::statusChanged, this, [&](const QString &s) { events << s; });
        connect(&run, &BatchRun::finished, this, [&] { events << QStringLiteral("finished"); });
        m_log->answer = [&](const Call &c) {
            // While the service works, the table stays empty and the run busy.
            events << QStringLiteral("call busy=%1 rows=%2").arg(run.busy()).arg(run.results().size());
            return row(c, ResultKind::valid, QStringLiteral("Valid"));
        };
        runAndWait(run, BatchRun::Action::verifyFiles, { a, b });
        QCOMPARE(events,
            (QStringList {
                QStringLiteral("busy=1"),
                QStringLiteral("results=0"),
                QStringLiteral("Verifying…"),
                QStringLiteral("call busy=1 rows=0"),
                QStringLiteral("call busy=1 rows=0"),
                QStringLiteral("results=2"),
                QStringLiteral("Done — 2 found/valid, 0 not found, 0 failed (2 total)."),
                QStringLiteral("busy=0"),
                QStringLiteral("finished"),
            }));
    }

    void progressReportsFileNumbersAndBytes()
    {
        const QByteArray big(2 * 1024 * 1024 + 5, 'x');
        const QString a = file(QStringLiteral("big.bin"), big);
        const QString missing = m_dir.filePath(QStringLiteral("nope"));
        BatchRun run(factory());
        QSignalSpy spy(&run, &BatchRun::progress);
        runAndWait(run, BatchRun::Action::registerFiles, { a, missing });

        QList<QList<QVariant>> got;
        for (const auto &args : spy)
            got.append(args);
        const qint64 mib = 1024 * 1024;
        const qint64 size = big.size();
        const QList<QList<QVariant>> expected {
            { 1, 2, a, qint64(0), size },
            { 1, 2, a, mib, size },
            { 1, 2, a, 2 * mib, size },
            { 1, 2, a, size, size },
            { 2, 2, missing, qint64(0), qint64(0) },
        };
        QCOMPARE(got, expected);
    }

    void scopeIsReadForEveryFile()
    {
        const QString a = file(QStringLiteral("a"), "1");
        const QString missing = m_dir.filePath(QStringLiteral("gone"));
        const QString b = file(QStringLiteral("b"), "2");
        auto reads = std::make_shared<int>(0);
        BatchRun run(factory());
        runAndWait(run, BatchRun::Action::verifyFiles, { a, missing, b },
            [reads] { return QStringLiteral("scope-%1").arg(++*reads); });
        QCOMPARE(*reads, 3);
        QCOMPARE(m_log->calls[0].scope, QStringLiteral("scope-1"));
        QCOMPARE(run.results()[1].scope, QStringLiteral("scope-2"));
        QCOMPARE(m_log->calls[1].scope, QStringLiteral("scope-3"));
    }

    void secondStartWhileBusyIsIgnored()
    {
        const QString a = file(QStringLiteral("a"), "1");
        BatchRun run(factory());
        auto first = run.run(BatchRun::Action::registerFiles, { a }, QStringLiteral("u1"), {});
        QVERIFY(run.busy());
        auto second = run.run(BatchRun::Action::verifyFiles, { a, a }, QStringLiteral("u2"), {});
        QCoro::waitFor(second);
        QCoro::waitFor(first);
        QCOMPARE(m_log->urls, QStringList { QStringLiteral("u1") });
        QCOMPARE(run.results().size(), 1);
        QCOMPARE(run.status(), QStringLiteral("Done — 1 registered/ok, 0 failed (1 total)."));
        QCOMPARE(run.results()[0].scope, QString());
    }

    void noServiceGivesErrorRows()
    {
        const QString a = file(QStringLiteral("a"), "1");
        BatchRun run([](const QString &) { return std::unique_ptr<StampingService>(); });
        runAndWait(run, BatchRun::Action::registerFiles, { a });
        QCOMPARE(run.results().size(), 1);
        QCOMPARE(run.results()[0].status, QStringLiteral("Error: No stamping service"));
        QCOMPARE(run.results()[0].sha256, sha256Of("1"));
        QVERIFY(!run.busy());
    }
};

QTEST_GUILESS_MAIN(TestBatchRun)
#include "tst_batchrun.moc"
