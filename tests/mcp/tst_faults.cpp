// A 30-file Register and then Verify over real loopback HTTP against a
// service that misbehaves: whatever the network does, every run ends with one
// row per file, and the receipts on disk stay whole and complete.
#include "core/batchrun.h"
#include "core/jsonwriter.h"
#include "mcp/mcpclient.h"
#include "storage/nivetpaths.h"
#include "storage/receiptstore.h"

#include "scriptedhttpserver.h"
#include "testenv.h"

#include <QCryptographicHash>
#include <QDir>
#include <QHash>
#include <QJsonArray>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

constexpr int kFiles = 30;

enum class Fault {
    error500, // every nth request answered 500
    hang, // every 17th request never answered
    dropMidBody, // every fourth reply cut off halfway
};

QByteArray rpcResult(int id, const QJsonObject &result)
{
    return JsonWriter::compact(QJsonObject { { u"jsonrpc"_s, u"2.0"_s }, { u"id"_s, id }, { u"result"_s, result } });
}

// A stamping service that remembers what it stamped, so that Verify can find
// receipts whose Register reply never reached the client.
class FaultyService {
public:
    // every: the period of the fault.
    FaultyService(Fault fault, int every)
        : m_fault(fault)
        , m_every(every)
    {
        m_server.setHandler([this](const HttpRequest &request) { return handle(request); });
    }

    QString url() const { return m_server.url().toString(); }
    int faultsInjected() const { return m_faults; }

private:
    HttpResponse handle(const HttpRequest &request)
    {
        ++m_requests;
        const QJsonObject body = request.json();
        if (body.value(u"method"_s).toString() == u"initialize"_s)
            ++m_initializes;

        switch (m_fault) {
        case Fault::error500:
            if (m_requests % m_every == 0) {
                ++m_faults;
                return HttpResponse::text("internal error", 500);
            }
            return answer(body);
        case Fault::hang:
        case Fault::dropMidBody: {
            // The work is done; only the reply never comes or breaks off.
            HttpResponse reply = answer(body);
            if (m_requests % m_every == 0) {
                ++m_faults;
                reply.action = m_fault == Fault::hang ? HttpResponse::Action::Hang : HttpResponse::Action::DropMidBody;
            }
            return reply;
        }
        }
        return answer(body);
    }

    HttpResponse answer(const QJsonObject &body)
    {
        const QString method = body.value(u"method"_s).toString();
        if (method == u"initialize"_s) {
            HttpResponse r = HttpResponse::text(rpcResult(1, {}), 200, "application/json");
            return r.withHeader("Mcp-Session-Id", "s" + QByteArray::number(m_initializes));
        }
        if (!body.contains(u"id"_s))
            return HttpResponse::text({}, 202);

        const QJsonObject params = body.value(u"params"_s).toObject();
        const QString tool = params.value(u"name"_s).toString();
        const QJsonObject args = params.value(u"arguments"_s).toObject();
        QJsonObject result;
        if (tool == u"stamp"_s) {
            const QString sha = args.value(u"sha256"_s).toString();
            const QString id = u"r%1"_s.arg(++m_stamps);
            m_stamped[sha].append(id);
            m_digestOf.insert(id, sha);
            result = { { u"receipts"_s, QJsonArray { QJsonObject { { u"receipt_id"_s, id } } } } };
        } else if (tool == u"verify"_s) {
            const QString id = args.value(u"receipt_id"_s).toString();
            result = { { u"valid"_s, m_digestOf.contains(id) } };
        } else if (tool == u"hash_report"_s) {
            QJsonArray receipts;
            for (const QString &id : m_stamped.value(args.value(u"sha256"_s).toString()))
                receipts.append(QJsonObject { { u"receipt_id"_s, id } });
            result = { { u"receipts"_s, receipts } };
        }
        return HttpResponse::text(rpcResult(2, result), 200, "application/json");
    }

    ScriptedHttpServer m_server;
    Fault m_fault;
    int m_every;
    int m_requests = 0;
    int m_initializes = 0;
    int m_stamps = 0;
    int m_faults = 0;
    QHash<QString, QStringList> m_stamped;
    QHash<QString, QString> m_digestOf;
};

QString sha256Of(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
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

// Receipt identifiers on disk per digest.
using Stored = QHash<QString, QSet<QString>>;

Stored storedReceipts(const QStringList &digests)
{
    Stored stored;
    for (const QString &sha : digests) {
        if (const auto record = ReceiptStore::read(sha)) {
            for (const Receipt &r : record->receipts)
                stored[sha].insert(r.receiptId.value_or(QString()));
        }
    }
    return stored;
}

} // namespace

Q_DECLARE_METATYPE(Fault)

class TestFaults : public QObject {
    Q_OBJECT

    // Every record file decodes, and none was set aside as undecodable
    // (".lock" serialises saves).
    static void checkReceiptFolder()
    {
        const QDir folder(NivetPaths::receiptsDirectory());
        const QStringList names = folder.entryList(QDir::Files | QDir::Hidden);
        for (const QString &name : names) {
            if (name == u".lock"_s)
                continue;
            QVERIFY2(name.endsWith(u".json"_s), qPrintable(u"stray file in the receipts folder: "_s + name));
            const auto record = ReceiptRecord::fromJson(readFile(folder.filePath(name)));
            QVERIFY2(bool(record), qPrintable(name + u": "_s + (record ? QString() : record.error().description)));
        }
    }

    static void checkRows(const QList<FileResult> &rows, const QStringList &files)
    {
        QCOMPARE(rows.size(), files.size());
        for (qsizetype i = 0; i < rows.size(); ++i)
            QCOMPARE(rows[i].path, files[i]);
    }

private Q_SLOTS:
    void registerThenVerifyStayConsistent_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<int>("every");
        QTest::addColumn<int>("timeoutMs");
        // Each file takes three requests, so a period of three always hits
        // the same step (here every tool call); a period of five moves the
        // fault across all three steps.
        // A reply trickled inside the timeout is the HTTP exchange's own test.
        QTest::newRow("500 to every third request") << Fault::error500 << 3 << 5000;
        QTest::newRow("500 to every fifth request") << Fault::error500 << 5 << 5000;
        QTest::newRow("no answer to every 17th request") << Fault::hang << 17 << 200;
        QTest::newRow("connection reset mid-reply, every fourth") << Fault::dropMidBody << 4 << 5000;
    }

    void registerThenVerifyStayConsistent()
    {
        QFETCH(Fault, fault);
        QFETCH(int, every);
        QFETCH(int, timeoutMs);
        IsolatedDataHome home;
        QTemporaryDir dir;
        QStringList files;
        QStringList digests;
        for (int i = 0; i < kFiles; ++i) {
            const QByteArray data = "file " + QByteArray::number(i) + '\n';
            files.append(dir.filePath(u"f%1.txt"_s.arg(i, 3, 10, QLatin1Char('0'))));
            digests.append(sha256Of(data));
            QVERIFY(writeFile(files.last(), data));
        }
        FaultyService service(fault, every);

        // Register.
        const QList<FileResult> registered = runBatch(BatchRun::Action::registerFiles, files, service.url(), timeoutMs);
        checkRows(registered, files);
        if (QTest::currentTestFailed())
            return;
        int stamped = 0;
        for (qsizetype i = 0; i < registered.size(); ++i) {
            const FileResult &row = registered[i];
            if (row.kind == ResultKind::error) {
                QVERIFY2(row.status.startsWith(u"Error: "_s) && row.status.size() > 7, qPrintable(row.status));
                continue;
            }
            QCOMPARE(row.kind, ResultKind::registered);
            QCOMPARE(row.sha256, digests[i]);
            const auto record = ReceiptStore::read(digests[i]);
            QVERIFY2(record.has_value(), qPrintable(row.path));
            const bool listed = std::any_of(record->receipts.begin(), record->receipts.end(),
                [&row](const Receipt &r) { return r.receiptId == row.receiptId; });
            QVERIFY2(listed, qPrintable(row.path + u" "_s + row.receiptId));
            ++stamped;
        }
        checkReceiptFolder();
        if (QTest::currentTestFailed())
            return;
        if (fault == Fault::error500 && every == 3) {
            QCOMPARE(stamped, 0);
        } else {
            QVERIFY(service.faultsInjected() > 0);
            QVERIFY2(stamped > 0 && stamped < kFiles, qPrintable(QString::number(stamped)));
        }
        const Stored beforeVerify = storedReceipts(digests);

        // Verify against the same service: local receipts go by identifier,
        // the rest by a report on the digest.
        const QList<FileResult> verified = runBatch(BatchRun::Action::verifyFiles, files, service.url(), timeoutMs);
        checkRows(verified, files);
        if (QTest::currentTestFailed())
            return;
        for (qsizetype i = 0; i < verified.size(); ++i) {
            const FileResult &row = verified[i];
            QVERIFY2(row.kind != ResultKind::invalid, qPrintable(row.path + u" "_s + row.status));
            if (row.passes()) {
                QVERIFY2(ReceiptStore::read(digests[i]).has_value(), qPrintable(row.path));
                if (beforeVerify.contains(digests[i]))
                    QCOMPARE(row.kind, ResultKind::valid);
            }
        }
        checkReceiptFolder();
        if (QTest::currentTestFailed())
            return;
        const Stored afterVerify = storedReceipts(digests);
        for (auto it = beforeVerify.begin(); it != beforeVerify.end(); ++it) {
            const QSet<QString> after = afterVerify.value(it.key());
            QVERIFY2(after.contains(it.value()), qPrintable(u"receipts lost for "_s + it.key()));
        }
    }
};

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
