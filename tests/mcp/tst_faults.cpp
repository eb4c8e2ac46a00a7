// A 30-file Register and then Verify over real loopback HTTP against a
// service that misbehaves: whatever the network does, every run ends with one
// row per file, and the receipts on disk stay whole and complete.
#include "core/batchrun.h"
#include "mcp/mcpclient.h"
#include "storage/nivetpaths.h"
#include "storage/receiptstore.h"

#include "scriptedhttpserver.h"
#include "testenv.h"

#include <QDir>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;
using Action = HttpResponse::Action;
using Stored = QHash<QString, QSet<QString>>; // receipt identifiers on disk per digest

namespace {

constexpr int kFiles = 30;

HttpResponse receiptsReply(const QStringList &ids)
{
    QJsonArray receipts;
    for (const QString &id : ids)
        receipts.append(QJsonObject { { u"receipt_id"_s, id } });
    return ScriptedHttpServer::toolResult(QJsonObject { { u"receipts"_s, receipts } });
}

QList<FileResult> runBatch(BatchRun::Action action, const QStringList &files, const QString &url, int timeoutMs)
{
    BatchRun run([timeoutMs](const QString &u) {
        auto client = std::make_unique<MCPClient>(u);
        client->setTransferTimeout(std::chrono::milliseconds(timeoutMs));
        return client;
    });
    auto task = run.run(action, files, url, [] { return u"global"_s; });
    QCoro::waitFor(task);
    return run.results();
}

// Every file in the receipts folder decodes (".lock" serialises saves), none
// was set aside as undecodable.
Stored storedReceipts()
{
    Stored stored;
    const QDir folder(NivetPaths::receiptsDirectory());
    for (const QString &name : folder.entryList(QDir::Files | QDir::Hidden)) {
        const auto record = ReceiptRecord::fromJson(readFile(folder.filePath(name)));
        if (name == u".lock"_s)
            continue;
        if (!name.endsWith(u".json"_s) || !record) {
            QTest::qFail(qPrintable(u"stray or undecodable: "_s + name), __FILE__, __LINE__);
            continue;
        }
        for (const Receipt &r : record->receipts)
            stored[record->sha256].insert(r.receiptId.value_or(QString()));
    }
    return stored;
}

} // namespace

class TestFaults : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void registerThenVerifyStayConsistent_data()
    {
        QTest::addColumn<int>("action"); // given to every nth reply; -1: a 500 instead
        QTest::addColumn<int>("every");
        QTest::addColumn<int>("timeoutMs");
        // Each file takes three requests: a period of three always hits the tool
        // call, the other periods move the fault across all three steps.
        QTest::newRow("500 to every third request") << -1 << 3 << 5000;
        QTest::newRow("no answer to every 17th request") << int(Action::Hang) << 17 << 200;
        QTest::newRow("connection reset mid-reply, every fourth") << int(Action::DropMidBody) << 4 << 5000;
    }

    void registerThenVerifyStayConsistent()
    {
        QFETCH(int, action);
        QFETCH(int, every);
        QFETCH(int, timeoutMs);
        IsolatedDataHome home;
        QTemporaryDir dir;
        QStringList files;
        QStringList digests;
        for (int i = 0; i < kFiles; ++i) {
            const QByteArray data = "file " + QByteArray::number(i) + '\n';
            files.append(dir.filePath(u"f%1.txt"_s.arg(i, 3, 10, QLatin1Char('0'))));
            digests.append(digestOf(data));
            QVERIFY(writeFile(files.last(), data));
        }
        // A service that remembers what it stamped, so that Verify can find
        // receipts whose Register reply never reached the client.
        QHash<QString, QStringList> stamped;
        QSet<QString> known;
        int requests = 0;
        const auto mcp
            = ScriptedHttpServer::mcp([&](const QString &tool, const QJsonObject &args, const HttpRequest &) {
                  const QString sha = args.value(u"sha256"_s).toString();
                  if (tool == u"verify"_s)
                      return ScriptedHttpServer::toolResult(
                          { { u"valid"_s, known.contains(args[u"receipt_id"_s].toString()) } });
                  if (tool == u"hash_report"_s)
                      return receiptsReply(stamped.value(sha));
                  const QString id = u"r%1"_s.arg(known.size() + 1);
                  known.insert(id);
                  stamped[sha].append(id);
                  return receiptsReply({ id });
              });
        ScriptedHttpServer server;
        server.setHandler([&](const HttpRequest &request) {
            const bool hit = ++requests % every == 0;
            if (hit && action < 0)
                return HttpResponse::text("internal error", 500);
            HttpResponse reply = mcp(request); // the work is done; only the reply fails
            if (hit)
                reply.action = Action(action);
            return reply;
        });
        const QString url = server.url().toString();

        const QList<FileResult> registered = runBatch(BatchRun::Action::registerFiles, files, url, timeoutMs);
        QCOMPARE(registered.size(), files.size());
        const Stored beforeVerify = storedReceipts();
        int ok = 0;
        for (qsizetype i = 0; i < registered.size(); ++i) {
            const FileResult &row = registered[i];
            QCOMPARE(row.path, files[i]);
            if (row.kind == ResultKind::error) {
                QVERIFY2(row.status.startsWith(u"Error: "_s) && row.status.size() > 7, qPrintable(row.status));
                continue;
            }
            QCOMPARE(row.kind, ResultKind::registered);
            QVERIFY2(beforeVerify.value(digests[i]).contains(row.receiptId), qPrintable(row.path));
            ++ok;
        }
        if (action < 0 && every == 3)
            QCOMPARE(ok, 0);
        else
            QVERIFY2(ok > 0 && ok < kFiles, qPrintable(QString::number(ok)));

        // Verify against the same service: local receipts go by identifier,
        // the rest by a report on the digest.
        const QList<FileResult> verified = runBatch(BatchRun::Action::verifyFiles, files, url, timeoutMs);
        QCOMPARE(verified.size(), files.size());
        const Stored afterVerify = storedReceipts();
        int passed = 0;
        for (qsizetype i = 0; i < verified.size(); ++i) {
            const FileResult &row = verified[i];
            QCOMPARE(row.path, files[i]);
            QVERIFY2(row.kind != ResultKind::invalid, qPrintable(row.path + u" "_s + row.status));
            if (row.passes())
                QVERIFY2(afterVerify.contains(digests[i]), qPrintable(row.path));
            if (row.passes() && beforeVerify.contains(digests[i]))
                QCOMPARE(row.kind, ResultKind::valid);
            passed += row.passes();
        }
        // A file the service stamped fails only where a fault hit one of its
        // three Verify requests.
        const int hits = 3 * kFiles / every + 1;
        QVERIFY2(passed >= stamped.size() - hits, qPrintable(QString::number(passed)));
        for (auto it = beforeVerify.begin(); it != beforeVerify.end(); ++it)
            QVERIFY2(afterVerify.value(it.key()).contains(it.value()), qPrintable(u"receipts lost for "_s + it.key()));
    }
};

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
