#include "servicefixture.h"

#include <QtTest>

namespace {

const QString kSha = QStringLiteral("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");
const QString kPath = QStringLiteral("/data/contract.pdf");
const QDateTime kEarlier = QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::UTC);

// A local record whose first receipt is r-1 with every field.
void storeLocalReceipt()
{
    ReceiptStore::save(kSha,
        { makeReceipt(QStringLiteral("r-1"), kSha, QStringLiteral("local-scope"), QStringLiteral("local-created"),
            QStringLiteral("local-merkle")) },
        QStringLiteral("/first/path"), kEarlier);
}

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
        QTest::addColumn<QJsonObject>("reply");
        QTest::addColumn<FileResult>("expected");
        QTest::addColumn<bool>("saved");

        const auto valid = [](const QString &id, const QString &created, const QString &scope, const QString &merkle) {
            return row(kPath, kSha, id, created, scope, QStringLiteral("Valid"), merkle, ResultKind::valid);
        };
        const auto local = [](const QString &status, ResultKind kind) {
            return row(kPath, kSha, QStringLiteral("r-1"), QStringLiteral("local-created"),
                QStringLiteral("local-scope"), status, QStringLiteral("local-merkle"), kind);
        };
        const QString g = QStringLiteral("global");
        const QJsonObject full { { QStringLiteral("receipt_id"), QStringLiteral("r-9") },
            { QStringLiteral("created_at"), QStringLiteral("d-created") },
            { QStringLiteral("merkle"), QStringLiteral("d-merkle") },
            { QStringLiteral("scope"), QStringLiteral("d-scope") } };

        QTest::newRow("valid alone: values from the local receipt")
            << QJsonObject { { QStringLiteral("valid"), true } }
            << valid(QStringLiteral("r-1"), QStringLiteral("local-created"), QStringLiteral("local-scope"),
                   QStringLiteral("local-merkle"))
            << true;
        QTest::newRow("valid with a receipt: its values first")
            << QJsonObject { { QStringLiteral("valid"), true }, { QStringLiteral("receipt"), full },
                   { QStringLiteral("created_at"), QStringLiteral("t-created") },
                   { QStringLiteral("scope"), QStringLiteral("t-scope") } }
            << valid(QStringLiteral("r-9"), QStringLiteral("d-created"), QStringLiteral("d-scope"),
                   QStringLiteral("d-merkle"))
            << true;
        QTest::newRow("valid with timestamp and blockHash") << QJsonObject { { QStringLiteral("valid"), true },
            { QStringLiteral("timestamp"), QStringLiteral("t-stamp") },
            { QStringLiteral("blockHash"), QStringLiteral("t-block") },
            { QStringLiteral("scope"), QStringLiteral("t-scope") } }
                                                            << valid(QStringLiteral("r-1"), QStringLiteral("t-stamp"),
                                                                   QStringLiteral("t-scope"), QStringLiteral("t-block"))
                                                            << true;
        QTest::newRow("created_at wins over timestamp, merkle over blockHash")
            << QJsonObject { { QStringLiteral("valid"), true },
                   { QStringLiteral("created_at"), QStringLiteral("t-created") },
                   { QStringLiteral("timestamp"), QStringLiteral("t-stamp") },
                   { QStringLiteral("merkle"), QStringLiteral("t-merkle") },
                   { QStringLiteral("blockHash"), QStringLiteral("t-block") } }
            << valid(QStringLiteral("r-1"), QStringLiteral("t-created"), QStringLiteral("local-scope"),
                   QStringLiteral("t-merkle"))
            << true;
        QTest::newRow("an empty receipt object and no verdict is valid")
            << QJsonObject { { QStringLiteral("receipt"), QJsonObject {} } }
            << valid(QStringLiteral("r-1"), QStringLiteral("local-created"), QStringLiteral("local-scope"),
                   QStringLiteral("local-merkle"))
            << true;
        QTest::newRow("members of other types count as absent")
            << QJsonObject { { QStringLiteral("valid"), true },
                   { QStringLiteral("receipt"), QJsonObject { { QStringLiteral("created_at"), 5 } } },
                   { QStringLiteral("merkle"), QJsonArray {} }, { QStringLiteral("scope"), QJsonValue() } }
            << valid(QStringLiteral("r-1"), QStringLiteral("local-created"), QStringLiteral("local-scope"),
                   QStringLiteral("local-merkle"))
            << true;
        QTest::newRow("no verdict, no receipt: found")
            << QJsonObject { { QStringLiteral("note"), QStringLiteral("x") } }
            << local(QStringLiteral("Found"), ResultKind::found) << false;
        QTest::newRow("empty result: found")
            << QJsonObject {} << local(QStringLiteral("Found"), ResultKind::found) << false;
        QTest::newRow("valid as text is no verdict")
            << QJsonObject { { QStringLiteral("valid"), QStringLiteral("true") } }
            << local(QStringLiteral("Found"), ResultKind::found) << false;
        QTest::newRow("valid as a number is no verdict") << QJsonObject { { QStringLiteral("valid"), 1 } }
                                                         << local(QStringLiteral("Found"), ResultKind::found) << false;
        QTest::newRow("false with receipt null: not found")
            << QJsonObject { { QStringLiteral("valid"), false }, { QStringLiteral("receipt"), QJsonValue() } }
            << row(kPath, kSha, {}, {}, g, QStringLiteral("Not found"), {}, ResultKind::notFound) << false;
        QTest::newRow("false with an error text")
            << QJsonObject { { QStringLiteral("valid"), false },
                   { QStringLiteral("error"), QStringLiteral("revoked") } }
            << local(QStringLiteral("Invalid: revoked"), ResultKind::invalid) << false;
        QTest::newRow("false alone") << QJsonObject { { QStringLiteral("valid"), false } }
                                     << local(QStringLiteral("Invalid: Invalid"), ResultKind::invalid) << false;
        QTest::newRow("false with a receipt object is invalid")
            << QJsonObject { { QStringLiteral("valid"), false }, { QStringLiteral("receipt"), full } }
            << row(kPath, kSha, QStringLiteral("r-9"), QStringLiteral("d-created"), QStringLiteral("d-scope"),
                   QStringLiteral("Invalid: Invalid"), QStringLiteral("d-merkle"), ResultKind::invalid)
            << false;
        QTest::newRow("false with receipt as text is invalid")
            << QJsonObject { { QStringLiteral("valid"), false }, { QStringLiteral("receipt"), QStringLiteral("none") } }
            << local(QStringLiteral("Invalid: Invalid"), ResultKind::invalid) << false;
    }

    void byReceiptIdentifier()
    {
        QFETCH(QJsonObject, reply);
        QFETCH(FileResult, expected);
        QFETCH(bool, saved);
        IsolatedDataHome home;
        storeLocalReceipt();
        const QByteArray before = recordBytes();
        ServiceFixture service;
        service.answerWith(reply);

        QCOMPARE(service.verify(kPath, kSha, QStringLiteral("global")), expected);

        QCOMPARE(service.methods(),
            (QStringList { QStringLiteral("initialize"), QStringLiteral("notifications/initialized"),
                QStringLiteral("tools/call") }));
        const QList<ToolCall> calls = service.toolCalls();
        QCOMPARE(calls[0].name, QStringLiteral("verify"));
        QCOMPARE(calls[0].arguments,
            (QJsonObject { { QStringLiteral("receipt_id"), QStringLiteral("r-1") },
                { QStringLiteral("want_scope"), QStringLiteral("global") } }));

        if (!saved) {
            QCOMPARE(recordBytes(), before);
            return;
        }
        // A valid answer is written back: fresh updated_at, the path added,
        // the confirmed receipt merged into the local one.
        const QJsonObject record = recordJson(kSha);
        QVERIFY(record.value(QStringLiteral("updated_at")).toString() != QLatin1String("2026-01-02T03:04:05Z"));
        QCOMPARE(record.value(QStringLiteral("source_paths")).toArray(),
            (QJsonArray { QStringLiteral("/first/path"), kPath }));
        QJsonObject confirmed;
        for (const QJsonValue &r : record.value(QStringLiteral("receipts")).toArray()) {
            if (r.toObject().value(QStringLiteral("receipt_id")).toString() == expected.receiptId)
                confirmed = r.toObject();
        }
        QCOMPARE(confirmed,
            (QJsonObject { { QStringLiteral("receipt_id"), expected.receiptId }, { QStringLiteral("hash"), kSha },
                { QStringLiteral("scope"), expected.scope }, { QStringLiteral("created_at"), expected.createdAt },
                { QStringLiteral("merkle"), expected.merkle } }));
    }

    void failedVerifyCallIsAnError()
    {
        IsolatedDataHome home;
        storeLocalReceipt();
        const QByteArray before = recordBytes();
        ServiceFixture service;
        service.answer([](const QString &, const QJsonObject &) { return HttpResponse::text("overloaded", 503); });
        QCOMPARE(service.verify(kPath, kSha, QStringLiteral("global")),
            row(kPath, kSha, {}, {}, QStringLiteral("global"), QStringLiteral("Error: HTTP 503: overloaded"), {},
                ResultKind::error));
        QCOMPARE(recordBytes(), before);
    }

    void sessionFailureTouchesNothing()
    {
        IsolatedDataHome home;
        storeLocalReceipt();
        const QByteArray before = recordBytes();
        const QDateTime modified = QFileInfo(ReceiptStore::receiptFileURL(kSha)).lastModified();
        ScriptedHttpServer server;
        server.enqueue(HttpResponse::text("who are you", 401));
        MCPClient client(server.url().toString());
        auto task = client.verify(kPath, kSha, QStringLiteral("global"));
        QCOMPARE(QCoro::waitFor(task),
            row(kPath, kSha, {}, {}, QStringLiteral("global"), QStringLiteral("Error: HTTP 401: who are you"), {},
                ResultKind::error));
        QCOMPARE(server.requests().size(), 1);
        QCOMPARE(recordBytes(), before);
        QCOMPARE(QFileInfo(ReceiptStore::receiptFileURL(kSha)).lastModified(), modified);
    }

    void hashReport_data()
    {
        QTest::addColumn<HttpResponse>("reply");
        QTest::addColumn<FileResult>("expected");
        QTest::addColumn<QJsonObject>("savedReceipt"); // empty: nothing saved

        const auto result = [](const QJsonObject &r) { return ScriptedHttpServer::toolResult(r); };
        const FileResult notFound
            = row(kPath, kSha, {}, {}, QStringLiteral("global"), QStringLiteral("Not found"), {}, ResultKind::notFound);

        QTest::newRow("empty receipts") << result(receiptsResult({})) << notFound << QJsonObject {};
        QTest::newRow("no receipts member") << result(QJsonObject {}) << notFound << QJsonObject {};
        QTest::newRow("receipts not an array")
            << result(QJsonObject { { QStringLiteral("receipts"), QJsonObject {} } }) << notFound << QJsonObject {};
        QTest::newRow("an element that is not an object")
            << result(receiptsResult({ QJsonObject { { QStringLiteral("receipt_id"), QStringLiteral("r") } }, 3 }))
            << notFound << QJsonObject {};
        QTest::newRow("HTTP 500 counts as not found") << HttpResponse::text("down", 500) << notFound << QJsonObject {};
        QTest::newRow("JSON-RPC error counts as not found") << HttpResponse::json(QJsonObject {
            { QStringLiteral("id"), 2 }, { QStringLiteral("error"), QJsonObject { { QStringLiteral("code"), 1 } } } })
                                                            << notFound << QJsonObject {};
        QTest::newRow("timestamp and blockHash")
            << result(receiptsResult(
                   { receiptJson({ { "receipt_id", QStringLiteral("r-5") }, { "scope", QStringLiteral("shared") },
                         { "timestamp", QStringLiteral("2026-03-04T05:06:07Z") },
                         { "blockHash", QStringLiteral("0xabc") } }),
                       receiptJson({ { "receipt_id", QStringLiteral("r-6") } }) }))
            << row(kPath, kSha, QStringLiteral("r-5"), QStringLiteral("2026-03-04T05:06:07Z"), QStringLiteral("shared"),
                   QStringLiteral("Found"), QStringLiteral("0xabc"), ResultKind::found)
            << receiptJson({ { "receipt_id", QStringLiteral("r-5") }, { "hash", kSha },
                   { "scope", QStringLiteral("shared") }, { "created_at", QStringLiteral("2026-03-04T05:06:07Z") },
                   { "merkle", QStringLiteral("0xabc") } });
        QTest::newRow("created_at and merkle win")
            << result(receiptsResult(
                   { receiptJson({ { "receipt_id", QStringLiteral("r-5") }, { "hash", QStringLiteral("service-hash") },
                       { "created_at", QStringLiteral("c") }, { "timestamp", QStringLiteral("t") },
                       { "merkle", QStringLiteral("m") }, { "blockHash", QStringLiteral("b") } }) }))
            << row(kPath, kSha, QStringLiteral("r-5"), QStringLiteral("c"), QStringLiteral("global"),
                   QStringLiteral("Found"), QStringLiteral("m"), ResultKind::found)
            << receiptJson({ { "receipt_id", QStringLiteral("r-5") }, { "hash", QStringLiteral("service-hash") },
                   { "scope", QStringLiteral("global") }, { "created_at", QStringLiteral("c") },
                   { "merkle", QStringLiteral("m") } });
        QTest::newRow("no receipt id") << result(
            receiptsResult({ QJsonObject { { QStringLiteral("receipt_id"), 12 } } }))
                                       << row(kPath, kSha, {}, {}, QStringLiteral("global"), QStringLiteral("Found"),
                                              {}, ResultKind::found)
                                       << receiptJson({ { "hash", kSha }, { "scope", QStringLiteral("global") },
                                              { "created_at", QString() }, { "merkle", QString() } });
    }

    void hashReport()
    {
        QFETCH(HttpResponse, reply);
        QFETCH(FileResult, expected);
        QFETCH(QJsonObject, savedReceipt);
        IsolatedDataHome home;
        ServiceFixture service;
        service.answer([reply](const QString &, const QJsonObject &) { return reply; });

        QCOMPARE(service.verify(kPath, kSha, QStringLiteral("global")), expected);

        const QList<ToolCall> calls = service.toolCalls();
        QCOMPARE(calls.size(), 1);
        QCOMPARE(calls[0].name, QStringLiteral("hash_report"));
        QCOMPARE(calls[0].arguments,
            (QJsonObject {
                { QStringLiteral("sha256"), kSha }, { QStringLiteral("want_scope"), QStringLiteral("global") } }));
        if (savedReceipt.isEmpty()) {
            QVERIFY(!QFileInfo::exists(ReceiptStore::receiptFileURL(kSha)));
            return;
        }
        const QJsonObject record = recordJson(kSha);
        QCOMPARE(record.value(QStringLiteral("receipts")).toArray(), QJsonArray { savedReceipt });
        QCOMPARE(record.value(QStringLiteral("source_paths")).toArray(), QJsonArray { kPath });
    }

    void hashReportWhenTheFirstLocalReceiptHasNoIdentifier()
    {
        IsolatedDataHome home;
        ReceiptStore::save(kSha,
            { makeReceipt(QString(), kSha, {}, QStringLiteral("c0"), {}),
                makeReceipt(QStringLiteral("r-2"), kSha, {}, {}, {}) },
            kPath);
        ServiceFixture service;
        service.answerWith(receiptsResult({}));
        QCOMPARE(service.verify(kPath, kSha, QStringLiteral("")).status, QStringLiteral("Not found"));
        const QList<ToolCall> calls = service.toolCalls();
        QCOMPARE(calls.size(), 1);
        QCOMPARE(calls[0].name, QStringLiteral("hash_report"));
        QCOMPARE(calls[0].arguments.value(QStringLiteral("want_scope")), QJsonValue(QString()));
    }

    void hashReportSendsTheDigestUnchanged()
    {
        IsolatedDataHome home;
        const QString given = QStringLiteral("SHA256:") + kSha.toUpper();
        ServiceFixture service;
        service.answerWith(receiptsResult({ receiptJson({ { "receipt_id", QStringLiteral("r-1") } }) }));
        const FileResult result = service.verify(kPath, given, QStringLiteral("global"));
        QCOMPARE(result.sha256, given);
        QCOMPARE(service.toolCalls()[0].arguments.value(QStringLiteral("sha256")).toString(), given);
        // The record itself goes under the normalised digest.
        QCOMPARE(recordJson(kSha).value(QStringLiteral("sha256")).toString(), kSha);
    }

    void undecodableLocalRecordTakesTheHashReportPath()
    {
        IsolatedDataHome home;
        writeFile(ReceiptStore::receiptFileURL(kSha), "{ not json");
        ServiceFixture service;
        service.answerWith(receiptsResult({}));
        QCOMPARE(service.verify(kPath, kSha, QStringLiteral("global")).kind, ResultKind::notFound);
        QCOMPARE(service.toolCalls()[0].name, QStringLiteral("hash_report"));
    }
};

QTEST_GUILESS_MAIN(TestVerify)
#include "tst_verify.moc"
