#include "core/jsonwriter.h"
#include "core/resultmodel.h"

#include <QJsonDocument>
#include <QtTest>

class TestResultModel : public QObject {
    Q_OBJECT

    static QJsonObject obj(const char *json) { return QJsonDocument::fromJson(json).object(); }

private Q_SLOTS:
    void kindTextForms()
    {
        const QList<std::pair<ResultKind, QString>> all {
            { ResultKind::registered, QStringLiteral("registered") },
            { ResultKind::found, QStringLiteral("found") },
            { ResultKind::valid, QStringLiteral("valid") },
            { ResultKind::notFound, QStringLiteral("not_found") },
            { ResultKind::invalid, QStringLiteral("invalid") },
            { ResultKind::error, QStringLiteral("error") },
        };
        for (const auto &[kind, text] : all) {
            QCOMPARE(ResultKinds::toText(kind), text);
            QCOMPARE(ResultKinds::fromText(text), kind);
        }
        QVERIFY(!ResultKinds::fromText(QStringLiteral("notFound")));
        QVERIFY(!ResultKinds::fromText(QStringLiteral("Found")));
        QVERIFY(!ResultKinds::fromText(QString()));
        QVERIFY(ResultKinds::passes(ResultKind::registered) && ResultKinds::passes(ResultKind::found)
            && ResultKinds::passes(ResultKind::valid));
        QVERIFY(!ResultKinds::passes(ResultKind::notFound) && !ResultKinds::passes(ResultKind::invalid)
            && !ResultKinds::passes(ResultKind::error));
    }

    void rowIdentity()
    {
        FileResult a { QStringLiteral("/a"), QStringLiteral("ab"), QStringLiteral("r"), QStringLiteral("t1"),
            QStringLiteral("global"), QStringLiteral("Found"), QString(), ResultKind::found };
        FileResult b = a;
        b.createdAt = QStringLiteral("t2");
        QCOMPARE(a.id(), QStringLiteral("/a|ab|Found"));
        QCOMPARE(a.id(), b.id());
        QVERIFY(a != b);
        b.createdAt = a.createdAt;
        QVERIFY(a == b);
        QCOMPARE(qHash(a), qHash(b));
    }

    void receiptDecoding()
    {
        auto r = Receipt::fromJson(obj(R"({"receipt_id": null, "hash": "ab", "other": 5})"));
        QVERIFY(r.ok());
        QVERIFY(!r->receiptId);
        QCOMPARE(r->hash, QStringLiteral("ab"));
        QCOMPARE(r->extra.value(QStringLiteral("other")).toInt(), 5);
        Receipt plain = r.value();
        plain.extra = {};
        QCOMPARE(JsonWriter::compact(plain.toJson()), QByteArray(R"({"hash":"ab"})"));

        QVERIFY(!Receipt::fromJson(obj(R"({"receipt_id": 7})")).ok());
        QCOMPARE(Receipt::fromJson(obj(R"({"scope": true})")).error().description,
            QStringLiteral("Invalid receipt: \"scope\" is a boolean, expected a string"));

        // Absent and empty are different values.
        Receipt absent;
        Receipt empty;
        empty.merkle = QString();
        QVERIFY(absent != empty);
        QCOMPARE(JsonWriter::compact(empty.toJson()), QByteArray(R"({"merkle":""})"));
    }

    void stampPayloadDecoding()
    {
        auto present = StampPayload::fromJson(obj(R"({"receipts": []})"));
        QVERIFY(present.ok() && present->receipts && present->receipts->isEmpty());
        QVERIFY(!StampPayload::fromJson(obj("{}"))->receipts);
        QVERIFY(!StampPayload::fromJson(obj(R"({"receipts": null})"))->receipts);
        auto two = StampPayload::fromJson(obj(R"({"receipts": [{"receipt_id": "a"}, {"receipt_id": "b"}]})"));
        QCOMPARE(two->receipts->size(), 2);
        QCOMPARE(two->receipts->at(1).receiptId, QStringLiteral("b"));
        // Each failure names the type it found.
        const std::pair<const char *, const char *> failures[] {
            { R"({"receipts": {}})", "Invalid stamp reply: \"receipts\" is an object, expected an array" },
            { R"({"receipts": "x"})", "Invalid stamp reply: \"receipts\" is a string, expected an array" },
            { R"({"receipts": [null]})", "Invalid stamp reply: receipt 1 is null, expected an object" },
            { R"({"receipts": [{}, "x"]})", "Invalid stamp reply: receipt 2 is a string, expected an object" },
            { R"({"receipts": [{"hash": 1}]})", "Invalid receipt: \"hash\" is a number, expected a string" },
        };
        for (const auto &[json, text] : failures) {
            const auto failed = StampPayload::fromJson(obj(json));
            QVERIFY(!failed.ok());
            QCOMPARE(failed.error().description, QString::fromUtf8(text));
        }
    }

    void errorTexts()
    {
        QCOMPARE(MCPClientError::badStatus(500, QString()).description(), QStringLiteral("HTTP 500: "));
        QCOMPARE(
            MCPClientError::badStatus(401, QStringLiteral("nope")).description(), QStringLiteral("HTTP 401: nope"));
        QCOMPARE(
            MCPClientError::message(QStringLiteral("Missing result")).description(), QStringLiteral("Missing result"));
        QCOMPARE(MCPClientError::noSession().description(), QStringLiteral("MCP server did not return Mcp-Session-Id"));
        QCOMPARE(MCPClientError::noReceipt().description(), QStringLiteral("No receipt in MCP response"));
    }
};

QTEST_GUILESS_MAIN(TestResultModel)
#include "tst_resultmodel.moc"
