// The log's writer: group commit, answers only after their commit, one signed
// head per scope and commit, and a failed commit that keeps nothing.
#include "service/log/logwriter.h"

#include "evidence/evidencecheck.h"
#include "service/db/servicedatabase.h"
#include "servicetestkit.h"
#include "testenv.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

constexpr qint64 kNow = 1738324800123;

class TestLogWriter : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    LogKey m_key = LogKey::generate().value();
    const Clock m_clock = [] { return kNow; };

private Q_SLOTS:
    // Stamps that arrive while a commit waits for the disk go together into
    // the next one (up to the bound), each answered once its commit is
    // durable, with evidence under the commit's head.
    void groupCommit_data()
    {
        QTest::addColumn<int>("maxStamps");
        QTest::addColumn<int>("fewestCommits");
        QTest::addColumn<int>("mostCommits");
        QTest::newRow("together") << 1000 << 1 << 2;
        QTest::newRow("one by one") << 1 << 8 << 8;
    }
    void groupCommit()
    {
        QFETCH(int, maxStamps);
        QFETCH(int, fewestCommits);
        QFETCH(int, mostCommits);
        const QString dir = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()));
        ServiceDatabase::open(dir).value();
        OutsideConnection outsider(dir);
        QVERIFY(outsider.exec(u"BEGIN IMMEDIATE"_s)); // the disk is busy

        auto writer = LogWriter::start(dir, m_key, m_clock, maxStamps).value();
        QList<LogWriter::Report> reports;
        writer->setObserver([&](const LogWriter::Report &report) { reports.append(report); });
        QStringList problems;
        QMap<QString, QList<qint64>> leaves;
        for (int i = 0; i < 8; ++i) {
            const QString digest = digestOf(QByteArray::number(i));
            const QString scope = i % 2 ? u"odd"_s : u"even"_s;
            writer->stamp({ digest, scope, {}, kNow }, [&, digest](const auto &outcome, const auto &evidence) {
                const auto checked = !outcome ? Expected<EvidenceCheck>(outcome.error())
                    : evidence                ? checkEvidence(digest, *evidence, m_key.publicKey().pem())
                                              : Expected<EvidenceCheck>(evidence.error());
                if (!checked)
                    return void(problems << checked.error().description);
                leaves[outcome->receipt.scope] << outcome->receipt.leafIndex;
                // Durable already: another connection sees it.
                const QString sql = u"SELECT COUNT(*) FROM receipts WHERE receipt_id = '%1'"_s;
                if (outsider.count(sql.arg(outcome->receipt.receiptId)) != 1)
                    problems << u"answered before its commit"_s;
            });
        }
        QVERIFY(!QTest::qWaitFor([&] { return !leaves.isEmpty() || !problems.isEmpty(); }, 300));
        QVERIFY(outsider.exec(u"ROLLBACK"_s));
        QTRY_COMPARE(leaves[u"even"_s].size() + leaves[u"odd"_s].size() + problems.size(), 8);
        QCOMPARE(problems, QStringList());
        QCOMPARE(leaves[u"even"_s] + leaves[u"odd"_s], (QList<qint64> { 0, 1, 2, 3, 0, 1, 2, 3 }));
        QVERIFY2(reports.size() >= fewestCommits && reports.size() <= mostCommits,
            qPrintable(QString::number(reports.size())));
        int heads = 0;
        for (const LogWriter::Report &report : std::as_const(reports)) {
            QVERIFY(report.stamps <= maxStamps && report.created == report.stamps && !report.error
                && report.heads == std::min(report.stamps, 2));
            heads += report.heads;
        }
        QCOMPARE(outsider.count(u"SELECT COUNT(*) FROM tree_heads"_s), heads);
    }

    // A commit that fails answers every stamp in it with the failure and
    // keeps none of them; the next one starts from the same tree.
    void failedCommitKeepsNothing()
    {
        const QString dir = m_dir.filePath(u"failing"_s);
        auto writer = LogWriter::start(dir, m_key, m_clock, 1000).value();
        OutsideConnection outsider(dir);
        QVERIFY(outsider.exec(u"CREATE TRIGGER full BEFORE INSERT ON tree_heads "
                              "BEGIN SELECT RAISE(ABORT, 'database or disk is full'); END"_s));
        QStringList answers;
        for (const QByteArray &data : { QByteArray("a"), QByteArray("b") }) {
            writer->stamp({ digestOf(data), u"s"_s, {}, kNow }, [&](const auto &outcome, const auto &evidence) {
                answers << (outcome ? u"kept"_s : outcome.error().description) + (evidence ? u""_s : u" !"_s);
            });
        }
        writer->settle();
        QCOMPARE(answers.size(), 2);
        for (const QString &answer : std::as_const(answers))
            QVERIFY2(answer.startsWith(u"Database error while keeping a signed tree head: database or disk is full"_s)
                    && answer.endsWith(u" !"_s),
                qPrintable(answer));
        QCOMPARE(
            outsider.count(u"SELECT COUNT(*) FROM receipts"_s) + outsider.count(u"SELECT COUNT(*) FROM nodes"_s), 0);

        QVERIFY(outsider.exec(u"DROP TRIGGER full"_s));
        qint64 leaf = -1;
        writer->stamp({ digestOf("c"), u"s"_s, {}, kNow },
            [&](const auto &outcome, const auto &) { leaf = outcome ? outcome->receipt.leafIndex : -2; });
        writer->settle();
        QCOMPARE(leaf, 0);
    }
};

QTEST_GUILESS_MAIN(TestLogWriter)
#include "tst_logwriter.moc"
