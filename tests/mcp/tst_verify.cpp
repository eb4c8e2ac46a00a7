#include "servicefixture.h"

#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

const QString kSha = u"5eed"_s;
const QString kPath = u"/data/contract.pdf"_s;

FileResult row(const QString &id, const QString &created, const QString &scope, const QString &status,
    const QString &merkle, ResultKind kind)
{
    return FileResult { kPath, kSha, id, created, scope, status, merkle, kind };
}

const FileResult kNotFound = row({}, {}, u"global"_s, u"Not found"_s, {}, ResultKind::notFound);

QByteArray recordBytes()
{
    return readFile(ReceiptStore::receiptFileURL(kSha));
}

} // namespace

class TestVerify : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void byReceiptIdentifier_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<FileResult>("expected");
        const auto valid = [](const QString &id, const QString &created, const QString &scope, const QString &merkle) {
            return row(id, created, scope, u"Valid"_s, merkle, ResultKind::valid);
        };
        // The values of the local receipt r-1.
        const auto local = [](const QString &status, ResultKind kind) {
            return row(u"r-1"_s, u"l-created"_s, u"l-scope"_s, status, u"l-merkle"_s, kind);
        };
        const QByteArray d = R"({"receipt_id":"r-9","created_at":"d-created","merkle":"d-merkle","scope":"d-scope"})";

        QTest::newRow("valid alone") << QByteArray(R"({"valid":true})")
                                     << valid(u"r-1"_s, u"l-created"_s, u"l-scope"_s, u"l-merkle"_s);
        QTest::newRow("valid, the receipt's values first")
            << QByteArray(R"({"valid":true,"created_at":"t-created","scope":"t-scope","receipt":)" + d + "}")
            << valid(u"r-9"_s, u"d-created"_s, u"d-scope"_s, u"d-merkle"_s);
        QTest::newRow("valid, timestamp and blockHash")
            << QByteArray(R"({"valid":true,"timestamp":"t-stamp","blockHash":"t-block","scope":"t-scope"})")
            << valid(u"r-1"_s, u"t-stamp"_s, u"t-scope"_s, u"t-block"_s);
        QTest::newRow("created_at before timestamp, merkle before blockHash")
            << QByteArray(R"({"valid":true,"created_at":"c","timestamp":"t","merkle":"m","blockHash":"b"})")
            << valid(u"r-1"_s, u"c"_s, u"l-scope"_s, u"m"_s);
        QTest::newRow("empty receipt, no verdict: valid")
            << QByteArray(R"({"receipt":{}})") << valid(u"r-1"_s, u"l-created"_s, u"l-scope"_s, u"l-merkle"_s);
        QTest::newRow("members of other types are absent")
            << QByteArray(R"({"valid":true,"receipt":{"created_at":5},"merkle":[],"scope":null})")
            << valid(u"r-1"_s, u"l-created"_s, u"l-scope"_s, u"l-merkle"_s);
        QTest::newRow("no verdict, no receipt: found")
            << QByteArray(R"({"note":"x"})") << local(u"Found"_s, ResultKind::found);
        QTest::newRow("empty result: found") << QByteArray("{}") << local(u"Found"_s, ResultKind::found);
        QTest::newRow("valid as text: no verdict")
            << QByteArray(R"({"valid":"true"})") << local(u"Found"_s, ResultKind::found);
        QTest::newRow("valid as a number: no verdict")
            << QByteArray(R"({"valid":1})") << local(u"Found"_s, ResultKind::found);
        QTest::newRow("false, receipt null: not found") << QByteArray(R"({"valid":false,"receipt":null})") << kNotFound;
        QTest::newRow("false with an error")
            << QByteArray(R"({"valid":false,"error":"revoked"})") << local(u"Invalid: revoked"_s, ResultKind::invalid);
        QTest::newRow("false alone") << QByteArray(R"({"valid":false})")
                                     << local(u"Invalid: Invalid"_s, ResultKind::invalid);
        QTest::newRow("false with a receipt")
            << QByteArray(R"({"valid":false,"receipt":)" + d + "}")
            << row(u"r-9"_s, u"d-created"_s, u"d-scope"_s, u"Invalid: Invalid"_s, u"d-merkle"_s, ResultKind::invalid);
        QTest::newRow("false, receipt as text")
            << QByteArray(R"({"valid":false,"receipt":"none"})") << local(u"Invalid: Invalid"_s, ResultKind::invalid);
    }

    void byReceiptIdentifier()
    {
        QFETCH(QByteArray, reply);
        QFETCH(FileResult, expected);
        IsolatedDataHome home;
        const QDateTime earlier(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::UTC);
        ReceiptStore::save(kSha, { makeReceipt(u"r-1"_s, kSha, u"l-scope"_s, u"l-created"_s, u"l-merkle"_s) },
            u"/first/path"_s, earlier);
        const QByteArray before = recordBytes();
        ServiceFixture service;
        service.answerWith(jsonObject(reply));

        QCOMPARE(service.verify(kPath, kSha, u"global"_s), expected);

        QCOMPARE(rpcMethods(service.server().requests()),
            (QStringList { u"initialize"_s, u"notifications/initialized"_s, u"tools/call"_s }));
        const QList<ToolCall> calls = service.toolCalls();
        QCOMPARE(calls[0].name, u"verify"_s);
        QCOMPARE(calls[0].arguments, jsonObject(R"({"receipt_id":"r-1","want_scope":"global"})"));
        if (expected.kind != ResultKind::valid) {
            QCOMPARE(recordBytes(), before);
            return;
        }
        // Written back: fresh updated_at, the path added, the confirmed receipt merged.
        const QJsonObject record = recordJson(kSha);
        QVERIFY(record.value(u"updated_at"_s).toString() != u"2026-01-02T03:04:05Z"_s);
        QCOMPARE(record.value(u"source_paths"_s).toArray(), (QJsonArray { u"/first/path"_s, kPath }));
        const QJsonObject confirmed { { u"receipt_id"_s, expected.receiptId }, { u"hash"_s, kSha },
            { u"scope"_s, expected.scope }, { u"created_at"_s, expected.createdAt }, { u"merkle"_s, expected.merkle } };
        QVERIFY(record.value(u"receipts"_s).toArray().contains(confirmed));
    }

    void failuresTouchNoFile_data()
    {
        QTest::addColumn<bool>("refuseSession");
        QTest::addColumn<QString>("status");
        QTest::newRow("verify call fails") << false << u"Error: HTTP 503: overloaded"_s;
        QTest::newRow("session refused") << true << u"Error: HTTP 401: who are you"_s;
    }

    void failuresTouchNoFile()
    {
        QFETCH(bool, refuseSession);
        QFETCH(QString, status);
        IsolatedDataHome home;
        ReceiptStore::save(kSha, { makeReceipt(u"r-1"_s, kSha, {}, {}, {}) }, kPath);
        const QByteArray before = recordBytes();
        const QDateTime modified = QFileInfo(ReceiptStore::receiptFileURL(kSha)).lastModified();
        ServiceFixture service;
        service.answer(HttpResponse::text("overloaded", 503));
        if (refuseSession)
            service.server().enqueue(HttpResponse::text("who are you", 401));

        QCOMPARE(service.verify(kPath, kSha, u"global"_s), row({}, {}, u"global"_s, status, {}, ResultKind::error));
        QCOMPARE(service.server().requests().size(), refuseSession ? 1 : 3);
        QCOMPARE(recordBytes(), before);
        QCOMPARE(QFileInfo(ReceiptStore::receiptFileURL(kSha)).lastModified(), modified);
    }

    void hashReport_data()
    {
        QTest::addColumn<HttpResponse>("reply");
        QTest::addColumn<FileResult>("expected");
        QTest::addColumn<QByteArray>("saved"); // the stored receipt, empty when nothing is saved
        const auto result = [](const QByteArray &json) { return ScriptedHttpServer::toolResult(jsonObject(json)); };

        QTest::newRow("empty receipts") << result(R"({"receipts":[]})") << kNotFound << QByteArray();
        QTest::newRow("no receipts") << result("{}") << kNotFound << QByteArray();
        QTest::newRow("receipts not an array") << result(R"({"receipts":{}})") << kNotFound << QByteArray();
        QTest::newRow("an element not an object")
            << result(R"({"receipts":[{"receipt_id":"r"},3]})") << kNotFound << QByteArray();
        QTest::newRow("HTTP 500: not found") << HttpResponse::text("down", 500) << kNotFound << QByteArray();
        QTest::newRow("JSON-RPC error: not found")
            << HttpResponse::json(jsonObject(R"({"id":2,"error":{"code":1}})")) << kNotFound << QByteArray();
        QTest::newRow("timestamp and blockHash")
            << result(R"({"receipts":[{"receipt_id":"r-5","scope":"shared","timestamp":"2026-03-04T05:06:07Z",)"
                      R"("blockHash":"0xabc"},{"receipt_id":"r-6"}]})")
            << row(u"r-5"_s, u"2026-03-04T05:06:07Z"_s, u"shared"_s, u"Found"_s, u"0xabc"_s, ResultKind::found)
            << QByteArray(R"({"receipt_id":"r-5","hash":"5eed","scope":"shared","created_at":"2026-03-04T05:06:07Z",)"
                          R"("merkle":"0xabc"})");
        QTest::newRow("created_at and merkle win; the service's hash is stored")
            << result(R"({"receipts":[{"receipt_id":"r-5","hash":"other","created_at":"c","timestamp":"t",)"
                      R"("merkle":"m","blockHash":"b"}]})")
            << row(u"r-5"_s, u"c"_s, u"global"_s, u"Found"_s, u"m"_s, ResultKind::found)
            << QByteArray(R"({"receipt_id":"r-5","hash":"other","scope":"global","created_at":"c","merkle":"m"})");
        QTest::newRow("no receipt id") << result(R"({"receipts":[{"receipt_id":12}]})")
                                       << row({}, {}, u"global"_s, u"Found"_s, {}, ResultKind::found)
                                       << QByteArray(R"({"hash":"5eed","scope":"global","created_at":"","merkle":""})");
    }

    void hashReport()
    {
        QFETCH(HttpResponse, reply);
        QFETCH(FileResult, expected);
        QFETCH(QByteArray, saved);
        IsolatedDataHome home;
        ServiceFixture service;
        service.answer(reply);

        QCOMPARE(service.verify(kPath, kSha, u"global"_s), expected);
        const QList<ToolCall> calls = service.toolCalls();
        QCOMPARE(calls.size(), 1);
        QCOMPARE(calls[0].name, u"hash_report"_s);
        QCOMPARE(calls[0].arguments, jsonObject(R"({"sha256":"5eed","want_scope":"global"})"));
        if (saved.isEmpty()) {
            QVERIFY(!QFileInfo::exists(ReceiptStore::receiptFileURL(kSha)));
            return;
        }
        const QJsonObject record = recordJson(kSha);
        QCOMPARE(record.value(u"receipts"_s).toArray(), QJsonArray { jsonObject(saved) });
        QCOMPARE(record.value(u"source_paths"_s).toArray(), QJsonArray { kPath });
    }

    void hashReportWhenNoUsableLocalReceipt_data()
    {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<QString>("digest");
        // The first receipt decides, even when a later one has an identifier.
        QTest::newRow("first receipt without identifier")
            << QByteArray(R"({"sha256":"5eed","receipts":[{"receipt_id":""},{"receipt_id":"r-2"}],"source_paths":[]})")
            << kSha;
        QTest::newRow("record does not decode") << QByteArray("{ not json") << kSha;
        QTest::newRow("no receipts") << QByteArray(R"({"sha256":"5eed","receipts":[],"source_paths":[]})") << kSha;
        // The digest goes out as given; the record is looked up normalised.
        QTest::newRow("prefixed upper-case digest") << QByteArray() << u"SHA256:5EED"_s;
    }

    void hashReportWhenNoUsableLocalReceipt()
    {
        QFETCH(QByteArray, record);
        QFETCH(QString, digest);
        IsolatedDataHome home;
        if (!record.isEmpty())
            writeFile(ReceiptStore::receiptFileURL(kSha), record);
        ServiceFixture service;
        service.answerWith(jsonObject(R"({"receipts":[]})"));
        QCOMPARE(service.verify(kPath, digest, QString()).status, u"Not found"_s);
        const QList<ToolCall> calls = service.toolCalls();
        QCOMPARE(calls[0].name, u"hash_report"_s);
        QCOMPARE(calls[0].arguments, (QJsonObject { { u"sha256"_s, digest }, { u"want_scope"_s, QString() } }));
    }
};

QTEST_GUILESS_MAIN(TestVerify)
#include "tst_verify.moc"
