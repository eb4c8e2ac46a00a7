#include "servicefixture.h"

#include <QtTest>

namespace {

const QString kSha = QStringLiteral("3a7bd3e2360a3d29eea436fcfb7e44c735d117c42d1c1835420b6b9942dd4f1b");
const QString kPath = QStringLiteral("/data/report.pdf");

} // namespace

class TestRegister : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void sendsStampWithDigestAndScope_data()
    {
        QTest::addColumn<QString>("scope");
        QTest::newRow("global") << QStringLiteral("global");
        QTest::newRow("empty scope is sent as an empty string") << QString();
    }

    void sendsStampWithDigestAndScope()
    {
        QFETCH(QString, scope);
        IsolatedDataHome home;
        ServiceFixture service;
        service.answerWith(receiptsResult({ receiptJson({ { "receipt_id", QStringLiteral("r-1") } }) }));
        service.registerFile(kPath, kSha, scope);

        QCOMPARE(service.methods(),
            (QStringList { QStringLiteral("initialize"), QStringLiteral("notifications/initialized"),
                QStringLiteral("tools/call") }));
        const QList<ToolCall> calls = service.toolCalls();
        QCOMPARE(calls.size(), 1);
        QCOMPARE(calls[0].name, QStringLiteral("stamp"));
        const QJsonObject expected { { QStringLiteral("sha256"), kSha }, { QStringLiteral("scope"), scope } };
        QCOMPARE(calls[0].arguments, expected);
        QVERIFY(calls[0].arguments.value(QStringLiteral("scope")).isString());
    }

    void rowFromTheFirstReceipt_data()
    {
        QTest::addColumn<QJsonObject>("receipt");
        QTest::addColumn<FileResult>("expected");
        QTest::newRow("all fields") << receiptJson(
            { { "receipt_id", QStringLiteral("r-1") }, { "hash", kSha }, { "scope", QStringLiteral("team") },
                { "created_at", QStringLiteral("2026-12-05T06:50:30Z") }, { "merkle", QStringLiteral("m-1") } })
                                    << row(kPath, kSha, QStringLiteral("r-1"), QStringLiteral("2026-12-05T06:50:30Z"),
                                           QStringLiteral("team"), QStringLiteral("Registered"), QStringLiteral("m-1"),
                                           ResultKind::registered);
        QTest::newRow("no hash shows the file's digest")
            << receiptJson({ { "receipt_id", QStringLiteral("r-1") } })
            << row(kPath, kSha, QStringLiteral("r-1"), {}, QStringLiteral("global"), QStringLiteral("Registered"), {},
                   ResultKind::registered);
        QTest::newRow("an empty hash shows the file's digest")
            << receiptJson({ { "receipt_id", QStringLiteral("r-1") }, { "hash", QString() } })
            << row(kPath, kSha, QStringLiteral("r-1"), {}, QStringLiteral("global"), QStringLiteral("Registered"), {},
                   ResultKind::registered);
        QTest::newRow("another hash is shown as the service sent it")
            << receiptJson({ { "receipt_id", QStringLiteral("r-1") }, { "hash", QStringLiteral("ABCDEF") } })
            << row(kPath, QStringLiteral("ABCDEF"), QStringLiteral("r-1"), {}, QStringLiteral("global"),
                   QStringLiteral("Registered"), {}, ResultKind::registered);
        QTest::newRow("a present but empty scope stays empty")
            << receiptJson({ { "receipt_id", QStringLiteral("r-1") }, { "scope", QString() } })
            << row(kPath, kSha, QStringLiteral("r-1"), {}, QString(), QStringLiteral("Registered"), {},
                   ResultKind::registered);
        QTest::newRow("no identifier") << receiptJson({ { "created_at", QStringLiteral("c") } })
                                       << row(kPath, kSha, QString(), QStringLiteral("c"), QStringLiteral("global"),
                                              QStringLiteral("Registered"), {}, ResultKind::registered);
    }

    void rowFromTheFirstReceipt()
    {
        QFETCH(QJsonObject, receipt);
        QFETCH(FileResult, expected);
        IsolatedDataHome home;
        ServiceFixture service;
        service.answerWith(receiptsResult({ receipt }));
        QCOMPARE(service.registerFile(kPath, kSha, QStringLiteral("global")), expected);

        // The receipt is stored as the service sent it, under the file's digest.
        const QJsonObject record = recordJson(kSha);
        QCOMPARE(record.value(QStringLiteral("sha256")).toString(), kSha);
        QCOMPARE(record.value(QStringLiteral("receipts")).toArray(), QJsonArray { receipt });
        QCOMPARE(record.value(QStringLiteral("source_paths")).toArray(), QJsonArray { kPath });
    }

    void allReceiptsSavedAndTheRowShowsTheFirstOnesMatch()
    {
        IsolatedDataHome home;
        // r-2 is on disk already, so the merged record lists it first.
        ReceiptStore::save(kSha,
            { makeReceipt(
                QStringLiteral("r-2"), kSha, QStringLiteral("global"), QStringLiteral("c-2"), QStringLiteral("m-2")) },
            QStringLiteral("/old/path"));
        ServiceFixture service;
        service.answerWith(receiptsResult({
            receiptJson({ { "receipt_id", QStringLiteral("r-1") }, { "created_at", QStringLiteral("c-1") } }),
            receiptJson({ { "receipt_id", QStringLiteral("r-2") }, { "merkle", QStringLiteral("m-2b") } }),
        }));
        const FileResult result = service.registerFile(kPath, kSha, QStringLiteral("global"));
        QCOMPARE(result,
            row(kPath, kSha, QStringLiteral("r-1"), QStringLiteral("c-1"), QStringLiteral("global"),
                QStringLiteral("Registered"), {}, ResultKind::registered));

        const QJsonObject record = recordJson(kSha);
        const QJsonArray receipts = record.value(QStringLiteral("receipts")).toArray();
        QCOMPARE(receipts.size(), 2);
        QCOMPARE(receipts[0].toObject().value(QStringLiteral("receipt_id")).toString(), QStringLiteral("r-2"));
        QCOMPARE(receipts[0].toObject().value(QStringLiteral("merkle")).toString(), QStringLiteral("m-2b"));
        QCOMPARE(receipts[1].toObject().value(QStringLiteral("receipt_id")).toString(), QStringLiteral("r-1"));
        QCOMPARE(record.value(QStringLiteral("source_paths")).toArray(),
            (QJsonArray { QStringLiteral("/old/path"), kPath }));
    }

    void storedValuesFillWhatTheServiceOmits()
    {
        IsolatedDataHome home;
        ReceiptStore::save(kSha,
            { makeReceipt(QStringLiteral("r-1"), kSha, QStringLiteral("global"), QStringLiteral("2026-01-02T03:04:05Z"),
                QStringLiteral("m-old")) },
            kPath);
        ServiceFixture service;
        service.answerWith(receiptsResult({ receiptJson({ { "receipt_id", QStringLiteral("r-1") },
            { "created_at", QString() }, { "scope", QStringLiteral("global") } }) }));
        QCOMPARE(service.registerFile(kPath, kSha, QStringLiteral("global")),
            row(kPath, kSha, QStringLiteral("r-1"), QStringLiteral("2026-01-02T03:04:05Z"), QStringLiteral("global"),
                QStringLiteral("Registered"), QStringLiteral("m-old"), ResultKind::registered));
    }

    void failuresBecomeErrorRowsAndSaveNothing_data()
    {
        QTest::addColumn<HttpResponse>("toolReply");
        QTest::addColumn<QString>("status");
        const auto result = [](const QJsonObject &r) { return ScriptedHttpServer::toolResult(r); };
        QTest::newRow("empty receipts") << result(receiptsResult({}))
                                        << QStringLiteral("Error: no receipt in MCP response");
        QTest::newRow("no receipts member") << result(QJsonObject { { QStringLiteral("ok"), true } })
                                            << QStringLiteral("Error: no receipt in MCP response");
        QTest::newRow("receipts null") << result(QJsonObject { { QStringLiteral("receipts"), QJsonValue() } })
                                       << QStringLiteral("Error: no receipt in MCP response");
        QTest::newRow("receipts not an array")
            << result(QJsonObject { { QStringLiteral("receipts"), QStringLiteral("r-1") } })
            << QStringLiteral("Error: ")
                + StampPayload::fromJson({ { QStringLiteral("receipts"), QStringLiteral("r-1") } }).error().description;
        QTest::newRow("a receipt id that is a number")
            << result(receiptsResult({ QJsonObject { { QStringLiteral("receipt_id"), 7 } } }))
            << QStringLiteral("Error: ")
                + StampPayload::fromJson(receiptsResult({ QJsonObject { { QStringLiteral("receipt_id"), 7 } } }))
                      .error()
                      .description;
        QTest::newRow("HTTP 500 on the call")
            << HttpResponse::text("boom", 500) << QStringLiteral("Error: HTTP 500: boom");
        QTest::newRow("JSON-RPC error") << HttpResponse::json(
            QJsonObject { { QStringLiteral("jsonrpc"), QStringLiteral("2.0") }, { QStringLiteral("id"), 2 },
                { QStringLiteral("error"), QJsonObject { { QStringLiteral("code"), -32000 } } } })
                                        << QStringLiteral("Error: [\"code\": -32000]");
        QTest::newRow("no result") << HttpResponse::json(QJsonObject { { QStringLiteral("id"), 2 } })
                                   << QStringLiteral("Error: Missing result");
    }

    void failuresBecomeErrorRowsAndSaveNothing()
    {
        QFETCH(HttpResponse, toolReply);
        QFETCH(QString, status);
        IsolatedDataHome home;
        ServiceFixture service;
        service.answer([toolReply](const QString &, const QJsonObject &) { return toolReply; });
        QCOMPARE(service.registerFile(kPath, kSha, QStringLiteral("shared")),
            row(kPath, kSha, {}, {}, QStringLiteral("shared"), status, {}, ResultKind::error));
        QVERIFY(!QFileInfo::exists(ReceiptStore::receiptFileURL(kSha)));
    }

    void sessionFailures_data()
    {
        QTest::addColumn<HttpResponse>("initReply");
        QTest::addColumn<QString>("status");
        QTest::newRow("401 with a text body") << HttpResponse::text("Unauthorized: token expired", 401)
                                              << QStringLiteral("Error: HTTP 401: Unauthorized: token expired");
        QTest::newRow("no session header")
            << HttpResponse::json(QJsonObject { { QStringLiteral("jsonrpc"), QStringLiteral("2.0") } })
            << QStringLiteral("Error: MCP server did not return Mcp-Session-Id");
    }

    void sessionFailures()
    {
        QFETCH(HttpResponse, initReply);
        QFETCH(QString, status);
        IsolatedDataHome home;
        // A record exists; a failed register must leave it exactly as it was.
        ReceiptStore::save(kSha, { makeReceipt(QStringLiteral("r-1"), kSha, {}, {}, {}) }, kPath);
        const QByteArray before = readFile(ReceiptStore::receiptFileURL(kSha));

        ScriptedHttpServer server;
        server.enqueue(initReply);
        MCPClient client(server.url().toString());
        auto task = client.registerFile(kPath, kSha, QStringLiteral("global"));
        QCOMPARE(
            QCoro::waitFor(task), row(kPath, kSha, {}, {}, QStringLiteral("global"), status, {}, ResultKind::error));
        QCOMPARE(server.requests().size(), 1);
        QCOMPARE(readFile(ReceiptStore::receiptFileURL(kSha)), before);
    }
};

QTEST_GUILESS_MAIN(TestRegister)
#include "tst_register.moc"
