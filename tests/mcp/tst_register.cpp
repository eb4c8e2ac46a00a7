#include "servicefixture.h"

#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

const QString kSha = QStringLiteral("5eed");
const QString kPath = QStringLiteral("/data/report.pdf");

FileResult registered(
    const QString &sha, const QString &id, const QString &created, const QString &scope, const QString &merkle)
{
    return FileResult { kPath, sha, id, created, scope, QStringLiteral("Registered"), merkle, ResultKind::registered };
}

FileResult errorRow(const QString &status)
{
    return FileResult { kPath, kSha, {}, {}, QStringLiteral("shared"), status, {}, ResultKind::error };
}

} // namespace

class TestRegister : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void stampsAndShowsTheFirstReceipt_data()
    {
        QTest::addColumn<QByteArray>("receipt");
        QTest::addColumn<QString>("scope");
        QTest::addColumn<FileResult>("expected");
        const QString g = QStringLiteral("global");
        QTest::newRow("all fields") << QByteArray(R"({"receipt_id":"r-1","hash":"5eed","scope":"team",)"
                                                  R"("created_at":"2026-12-05T06:50:30Z","merkle":"m-1"})")
                                    << g << registered(kSha, u"r-1"_s, u"2026-12-05T06:50:30Z"_s, u"team"_s, u"m-1"_s);
        QTest::newRow("no hash: the file's digest")
            << QByteArray(R"({"receipt_id":"r-1"})") << g << registered(kSha, u"r-1"_s, {}, g, {});
        QTest::newRow("empty hash: the file's digest")
            << QByteArray(R"({"receipt_id":"r-1","hash":""})") << g << registered(kSha, u"r-1"_s, {}, g, {});
        QTest::newRow("the service's own hash")
            << QByteArray(R"({"receipt_id":"r-1","hash":"ABCD"})") << g << registered(u"ABCD"_s, u"r-1"_s, {}, g, {});
        QTest::newRow("present but empty scope")
            << QByteArray(R"({"receipt_id":"r-1","scope":""})") << g << registered(kSha, u"r-1"_s, {}, {}, {});
        QTest::newRow("no identifier, empty scope sent")
            << QByteArray(R"({"created_at":"c"})") << QString() << registered(kSha, {}, u"c"_s, {}, {});
    }

    void stampsAndShowsTheFirstReceipt()
    {
        QFETCH(QByteArray, receipt);
        QFETCH(QString, scope);
        QFETCH(FileResult, expected);
        IsolatedDataHome home;
        ServiceFixture service;
        service.answerWith(jsonObject(R"({"receipts":[)" + receipt + "]}"));
        QCOMPARE(service.registerFile(kPath, kSha, scope), expected);

        QCOMPARE(rpcMethods(service.server().requests()),
            (QStringList { u"initialize"_s, u"notifications/initialized"_s, u"tools/call"_s }));
        const QList<ToolCall> calls = service.toolCalls();
        QCOMPARE(calls[0].name, QStringLiteral("stamp"));
        QCOMPARE(calls[0].arguments, (QJsonObject { { u"sha256"_s, kSha }, { u"scope"_s, scope } }));
        // Stored as the service sent it, under the file's digest.
        const QJsonObject record = recordJson(kSha);
        QCOMPARE(record.value(u"receipts"_s).toArray(), QJsonArray { jsonObject(receipt) });
        QCOMPARE(record.value(u"source_paths"_s).toArray(), QJsonArray { kPath });
    }

    void allReceiptsSavedAndTheRowShowsTheFirstOnesMatch()
    {
        IsolatedDataHome home;
        // r-2 is on disk already, so the merged record lists it first.
        ReceiptStore::save(
            kSha, { makeReceipt(u"r-2"_s, kSha, u"global"_s, u"c-2"_s, u"m-2"_s) }, QStringLiteral("/old/path"));
        ServiceFixture service;
        service.answerWith(jsonObject(R"({"receipts":[{"receipt_id":"r-1","created_at":"c-1"},)"
                                      R"({"receipt_id":"r-2","merkle":"m-2b"}]})"));
        QCOMPARE(service.registerFile(kPath, kSha, QStringLiteral("global")),
            registered(kSha, u"r-1"_s, u"c-1"_s, u"global"_s, {}));
        const QJsonObject record = recordJson(kSha);
        QCOMPARE(record.value(u"receipts"_s).toArray(),
            (QJsonArray { jsonObject(R"({"receipt_id":"r-2","hash":"5eed","scope":"global","created_at":"c-2",)"
                                     R"("merkle":"m-2b"})"),
                jsonObject(R"({"receipt_id":"r-1","created_at":"c-1"})") }));
        QCOMPARE(record.value(u"source_paths"_s).toArray(), (QJsonArray { u"/old/path"_s, kPath }));
    }

    void storedValuesFillWhatTheServiceOmits()
    {
        IsolatedDataHome home;
        ReceiptStore::save(
            kSha, { makeReceipt(u"r-1"_s, kSha, u"global"_s, u"2026-01-02T03:04:05Z"_s, u"m-old"_s) }, kPath);
        ServiceFixture service;
        service.answerWith(jsonObject(R"({"receipts":[{"receipt_id":"r-1","created_at":"","scope":"global"}]})"));
        QCOMPARE(service.registerFile(kPath, kSha, QStringLiteral("global")),
            registered(kSha, u"r-1"_s, u"2026-01-02T03:04:05Z"_s, u"global"_s, u"m-old"_s));
    }

    void failuresBecomeErrorRowsAndTouchNoFile_data()
    {
        QTest::addColumn<HttpResponse>("initReply"); // status 0: the scripted session
        QTest::addColumn<HttpResponse>("toolReply");
        QTest::addColumn<QString>("status");
        HttpResponse session;
        session.status = 0;
        const auto result = [](const QByteArray &json) { return ScriptedHttpServer::toolResult(jsonObject(json)); };
        const QString notDecodable
            = StampPayload::fromJson(jsonObject(R"({"receipts":[{"receipt_id":7}]})")).error().description;
        QTest::newRow("empty receipts") << session << result(R"({"receipts":[]})")
                                        << QStringLiteral("Error: no receipt in MCP response");
        QTest::newRow("no receipts") << session << result(R"({"ok":true})")
                                     << QStringLiteral("Error: no receipt in MCP response");
        QTest::newRow("receipts null") << session << result(R"({"receipts":null})")
                                       << QStringLiteral("Error: no receipt in MCP response");
        QTest::newRow("undecodable receipt")
            << session << result(R"({"receipts":[{"receipt_id":7}]})") << QStringLiteral("Error: ") + notDecodable;
        QTest::newRow("HTTP 500 on the call")
            << session << HttpResponse::text("boom", 500) << QStringLiteral("Error: HTTP 500: boom");
        QTest::newRow("JSON-RPC error") << session
                                        << HttpResponse::json(jsonObject(R"({"id":2,"error":{"code":-32000}})"))
                                        << QStringLiteral("Error: [\"code\": -32000]");
        QTest::newRow("no result") << session << HttpResponse::json(jsonObject(R"({"id":2})"))
                                   << QStringLiteral("Error: Missing result");
        QTest::newRow("401 on initialize") << HttpResponse::text("Unauthorized: token expired", 401) << HttpResponse()
                                           << QStringLiteral("Error: HTTP 401: Unauthorized: token expired");
        QTest::newRow("no session header") << HttpResponse::json(jsonObject(R"({"jsonrpc":"2.0"})")) << HttpResponse()
                                           << QStringLiteral("Error: MCP server did not return Mcp-Session-Id");
    }

    void failuresBecomeErrorRowsAndTouchNoFile()
    {
        QFETCH(HttpResponse, initReply);
        QFETCH(HttpResponse, toolReply);
        QFETCH(QString, status);
        IsolatedDataHome home;
        const QString other = QStringLiteral("0ther");
        ReceiptStore::save(other, { makeReceipt(u"r-1"_s, other, {}, {}, {}) }, kPath);
        const QByteArray before = readFile(ReceiptStore::receiptFileURL(other));
        ServiceFixture service;
        service.answer(toolReply);
        if (initReply.status != 0)
            service.server().enqueue(initReply);

        QCOMPARE(service.registerFile(kPath, kSha, QStringLiteral("shared")), errorRow(status));
        QVERIFY(!QFileInfo::exists(ReceiptStore::receiptFileURL(kSha)));
        QCOMPARE(readFile(ReceiptStore::receiptFileURL(other)), before);
        if (initReply.status != 0)
            QCOMPARE(service.server().requests().size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestRegister)
#include "tst_register.moc"
