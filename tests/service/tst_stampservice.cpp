#include "service/stampservice.h"

#include "service/clock.h"
#include "service/receiptdatabase.h"
#include "servicetestkit.h"
#include "testenv.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMessageAuthenticationCode>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

using namespace McpRequests;

namespace {

constexpr qint64 kStart = 1738324800123; // 2025-01-31T12:00:00.123Z

QJsonObject object(const char *json)
{
    return QJsonDocument::fromJson(json).object();
}

// A batch of n pings.
QByteArray pings(int n)
{
    return '[' + QByteArrayList(n, R"({"jsonrpc":"2.0","id":1,"method":"ping"})").join(',') + ']';
}

QJsonObject args(std::initializer_list<QPair<QString, QJsonValue>> members)
{
    QJsonObject o;
    for (const auto &[k, v] : members)
        o.insert(k, v);
    return o;
}

} // namespace

class TestStampService : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    qint64 m_now = kStart;
    std::unique_ptr<StampService> m_service;

    std::unique_ptr<StampService> open(ServiceOptions options = {})
    {
        if (options.dataDir.isEmpty())
            options.dataDir = m_dir.filePath(QStringLiteral("data"));
        auto service = StampService::open(options, [this] { return m_now; });
        if (!service)
            qFatal("%s", qPrintable(service.error().description));
        return std::move(service).value();
    }

    static QByteArray session(StampService &service, const QByteArray &token = {})
    {
        const ServiceResponse reply = service.handle(post(initialize(), {}, token));
        return reply.header("Mcp-Session-Id");
    }

    // The tool result object of one call in a fresh session.
    static QJsonObject tool(
        StampService &service, const QString &name, const QJsonObject &arguments, const QByteArray &token = {})
    {
        const ServiceResponse reply = service.handle(post(call(2, name, arguments), session(service, token), token));
        return jsonBody(reply).value(QStringLiteral("result")).toObject();
    }

    static QJsonObject structured(
        StampService &service, const QString &name, const QJsonObject &arguments, const QByteArray &token = {})
    {
        return tool(service, name, arguments, token).value(QStringLiteral("structuredContent")).toObject();
    }

    static QJsonObject stamp(
        StampService &service, const QString &digest, const QString &scope, const QByteArray &token = {})
    {
        const QJsonObject result = structured(service, QStringLiteral("stamp"),
            args({ { QStringLiteral("sha256"), digest }, { QStringLiteral("scope"), scope } }), token);
        return result.value(QStringLiteral("receipts")).toArray().first().toObject();
    }

    QByteArray loginToken(StampService &service, const QString &name, const QString &password)
    {
        ServiceRequest login { "POST", "/auth/login", { { "Content-Type", "application/json" } }, {} };
        login.body
            = QJsonDocument(args({ { QStringLiteral("username"), name }, { QStringLiteral("password"), password } }))
                  .toJson(QJsonDocument::Compact);
        return jsonBody(service.handle(login)).value(QStringLiteral("token")).toString().toLatin1();
    }

private Q_SLOTS:
    void init()
    {
        QDir(m_dir.filePath(QStringLiteral("data"))).removeRecursively();
        m_now = kStart;
        m_service = open();
    }

    void cleanup() { m_service.reset(); }

    void initializeOpensASession()
    {
        const ServiceResponse reply = m_service->handle(post(initialize()));
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.header("Content-Type"), QByteArray("application/json"));
        QVERIFY(QRegularExpression(QStringLiteral("^[A-Za-z0-9_-]{43}$"))
                    .match(QString::fromLatin1(reply.header("Mcp-Session-Id")))
                    .hasMatch());
        const QJsonObject body = jsonBody(reply);
        QCOMPARE(body.value(QStringLiteral("id")), QJsonValue(1));
        const QJsonObject result = body.value(QStringLiteral("result")).toObject();
        QCOMPARE(result.value(QStringLiteral("protocolVersion")).toString(), QStringLiteral("2025-03-26"));
        QCOMPARE(result.value(QStringLiteral("serverInfo")).toObject().value(QStringLiteral("name")).toString(),
            QStringLiteral("nivet-stampd"));
        QVERIFY(result.value(QStringLiteral("capabilities")).toObject().value(QStringLiteral("tools")).isObject());
        QVERIFY(session(*m_service) != session(*m_service));
        QCOMPARE(m_service->sessionCount(), 3);
    }

    void notificationsGetAnEmpty202()
    {
        const QByteArray id = session(*m_service);
        for (const QByteArray &body : { QByteArray(R"({"jsonrpc":"2.0","method":"notifications/initialized"})"),
                 QByteArray(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{}})"),
                 QByteArray(R"([{"jsonrpc":"2.0","method":"a"},{"jsonrpc":"2.0","id":9,"result":{}}])") }) {
            const ServiceResponse reply = m_service->handle(post(body, id));
            QCOMPARE(reply.status, 202);
            QVERIFY(reply.body.isEmpty());
            QVERIFY(reply.headers.isEmpty());
        }
    }

    void toolsListHasSchemas()
    {
        const ServiceResponse reply
            = m_service->handle(post(R"({"jsonrpc":"2.0","id":"x","method":"tools/list"})", session(*m_service)));
        const QJsonArray tools
            = jsonBody(reply).value(QStringLiteral("result")).toObject().value(QStringLiteral("tools")).toArray();
        QStringList names;
        for (const QJsonValue &t : tools) {
            names.append(t[QStringLiteral("name")].toString());
            const QJsonObject schema = t[QStringLiteral("inputSchema")].toObject();
            QCOMPARE(schema.value(QStringLiteral("type")).toString(), QStringLiteral("object"));
            QVERIFY(!schema.value(QStringLiteral("required")).toArray().isEmpty());
        }
        QCOMPARE(names,
            (QStringList { QStringLiteral("stamp"), QStringLiteral("verify"), QStringLiteral("hash_report"),
                QStringLiteral("proof") }));
        QCOMPARE(jsonBody(reply).value(QStringLiteral("id")).toString(), QStringLiteral("x"));
    }

    void malformedRequests_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QJsonValue>("id");
        const QJsonValue none = QJsonValue::Null;
        QTest::newRow("bad JSON") << QByteArray(R"({"jsonrpc":)") << 400 << -32700
                                  << QStringLiteral("Parse error: unterminated object at offset 11") << none;
        QTest::newRow("empty body") << QByteArray() << 400 << -32700 << QStringLiteral("Parse error: empty body")
                                    << none;
        QTest::newRow("number") << QByteArray("42") << 400 << -32600
                                << QStringLiteral("Invalid Request: a message must be a JSON object") << none;
        QTest::newRow("string") << QByteArray(R"("ping")") << 400 << -32600
                                << QStringLiteral("Invalid Request: a message must be a JSON object") << none;
        QTest::newRow("no jsonrpc") << QByteArray(R"({"id":5,"method":"ping"})") << 400 << -32600
                                    << QStringLiteral("Invalid Request: jsonrpc must be \"2.0\"") << QJsonValue(5);
        QTest::newRow("jsonrpc 1.0") << QByteArray(R"({"jsonrpc":"1.0","id":5,"method":"ping"})") << 400 << -32600
                                     << QStringLiteral("Invalid Request: jsonrpc must be \"2.0\"") << QJsonValue(5);
        QTest::newRow("no method") << QByteArray(R"({"jsonrpc":"2.0","id":5})") << 400 << -32600
                                   << QStringLiteral("Invalid Request: missing method") << QJsonValue(5);
        QTest::newRow("method number") << QByteArray(R"({"jsonrpc":"2.0","id":5,"method":7})") << 400 << -32600
                                       << QStringLiteral("Invalid Request: method must be a string") << QJsonValue(5);
        QTest::newRow("null id") << QByteArray(R"({"jsonrpc":"2.0","id":null,"method":"ping"})") << 400 << -32600
                                 << QStringLiteral("Invalid Request: id must be a string or a number") << none;
        QTest::newRow("params text") << QByteArray(R"({"jsonrpc":"2.0","id":5,"method":"ping","params":"x"})") << 400
                                     << -32600 << QStringLiteral("Invalid Request: params must be an object")
                                     << QJsonValue(5);
        QTest::newRow("empty batch") << QByteArray("[]") << 400 << -32600
                                     << QStringLiteral("Invalid Request: empty batch") << none;
        QTest::newRow("batch of 101") << pings(101) << 400 << -32600
                                      << QStringLiteral("Invalid Request: a batch holds at most 100 messages") << none;
        QTest::newRow("unknown method") << QByteArray(R"({"jsonrpc":"2.0","id":5,"method":"resources/list"})") << 200
                                        << -32601 << QStringLiteral("Method not found: resources/list")
                                        << QJsonValue(5);
        QTest::newRow("unknown tool") << call(5, QStringLiteral("erase"), {}) << 200 << -32601
                                      << QStringLiteral("Unknown tool: erase") << QJsonValue(5);
        QTest::newRow("no tool name") << QByteArray(R"({"jsonrpc":"2.0","id":5,"method":"tools/call","params":{}})")
                                      << 200 << -32602 << QStringLiteral("Invalid params: tools/call needs a tool name")
                                      << QJsonValue(5);
        QTest::newRow("arguments list") << QByteArray(
            R"({"jsonrpc":"2.0","id":5,"method":"tools/call","params":{"name":"stamp","arguments":[]}})")
                                        << 200 << -32602
                                        << QStringLiteral("Invalid params: arguments must be an object")
                                        << QJsonValue(5);
        QTest::newRow("no sha256") << call(5, QStringLiteral("stamp"), object(R"({"scope":"a"})")) << 200 << -32602
                                   << QStringLiteral("Invalid params: missing string argument sha256") << QJsonValue(5);
        QTest::newRow("sha256 number") << call(5, QStringLiteral("hash_report"), object(R"({"sha256":12})")) << 200
                                       << -32602 << QStringLiteral("Invalid params: argument sha256 must be a string")
                                       << QJsonValue(5);
        QTest::newRow("want_scope bool") << call(
            5, QStringLiteral("verify"), object(R"({"receipt_id":"r","want_scope":true})"))
                                         << 200 << -32602
                                         << QStringLiteral("Invalid params: argument want_scope must be a string")
                                         << QJsonValue(5);
        QTest::newRow("tree_size fraction")
            << call(5, QStringLiteral("proof"), object(R"({"receipt_id":"r","tree_size":1.5})")) << 200 << -32602
            << QStringLiteral("Invalid params: argument tree_size must be an integer") << QJsonValue(5);
        QTest::newRow("initialize without version")
            << QByteArray(R"({"jsonrpc":"2.0","id":5,"method":"initialize","params":{}})") << 200 << -32602
            << QStringLiteral("Invalid params: initialize needs a protocolVersion") << QJsonValue(5);
    }

    void malformedRequests()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(int, code);
        QFETCH(QString, message);
        QFETCH(QJsonValue, id);
        const QByteArray sessionId = session(*m_service);
        const int sessions = m_service->sessionCount();
        const ServiceResponse reply = m_service->handle(post(body, sessionId));
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.header("Content-Type"), QByteArray("application/json"));
        const QJsonObject error = jsonBody(reply).value(QStringLiteral("error")).toObject();
        QCOMPARE(error.value(QStringLiteral("code")).toInt(), code);
        QCOMPARE(error.value(QStringLiteral("message")).toString(), message);
        QCOMPARE(jsonBody(reply).value(QStringLiteral("id")), id);
        QCOMPARE(jsonBody(reply).value(QStringLiteral("jsonrpc")).toString(), QStringLiteral("2.0"));
        QVERIFY(reply.header("Mcp-Session-Id").isNull());
        QCOMPARE(m_service->sessionCount(), sessions);
    }

    void batchesAnswerEachRequest()
    {
        const QByteArray body = R"([{"jsonrpc":"2.0","id":1,"method":"ping"},{"jsonrpc":"2.0","method":"n"},7,)"
                                R"({"jsonrpc":"2.0","id":2,"method":"initialize","params":{"protocolVersion":"x"}}])";
        const ServiceResponse reply = m_service->handle(post(body, session(*m_service)));
        QCOMPARE(reply.status, 200);
        const QJsonArray answers = QJsonDocument::fromJson(reply.body).array();
        QCOMPARE(answers.size(), 3);
        QCOMPARE(answers[0].toObject(), object(R"({"jsonrpc":"2.0","id":1,"result":{}})"));
        QCOMPARE(answers[1][QStringLiteral("error")][QStringLiteral("code")].toInt(), -32600);
        QCOMPARE(answers[2][QStringLiteral("error")][QStringLiteral("message")].toString(),
            QStringLiteral("Invalid Request: initialize must be sent on its own"));
        QCOMPARE(
            QJsonDocument::fromJson(m_service->handle(post(pings(100), session(*m_service))).body).array().size(), 100);
    }

    void toolFailuresAreResults_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QJsonObject>("arguments");
        QTest::addColumn<QString>("text");
        QTest::newRow("short digest") << QStringLiteral("stamp") << object(R"({"sha256":"abc","scope":"s"})")
                                      << QStringLiteral("Invalid sha256: expected 64 hexadecimal characters, got 3");
        QTest::newRow("not hex") << QStringLiteral("hash_report")
                                 << args({ { QStringLiteral("sha256"), QString(64, QLatin1Char('g')) } })
                                 << QStringLiteral(
                                        "Invalid sha256: only the hexadecimal characters 0-9 and a-f are allowed");
        QTest::newRow("prefixed") << QStringLiteral("stamp")
                                  << args({ { QStringLiteral("sha256"), QStringLiteral("sha256:") + digestOf("x") } })
                                  << QStringLiteral("Invalid sha256: expected 64 hexadecimal characters, got 71");
        QTest::newRow("scope line break")
            << QStringLiteral("stamp")
            << args(
                   { { QStringLiteral("sha256"), digestOf("x") }, { QStringLiteral("scope"), QStringLiteral("a\nb") } })
            << QStringLiteral("Invalid scope: control characters and line breaks are not allowed");
        QTest::newRow("scope too long") << QStringLiteral("stamp")
                                        << args({ { QStringLiteral("sha256"), digestOf("x") },
                                               { QStringLiteral("scope"), QString(201, QLatin1Char('s')) } })
                                        << QStringLiteral("Invalid scope: at most 200 characters");
        QTest::newRow("proof of nothing")
            << QStringLiteral("proof") << object(R"({"receipt_id":"nope"})") << QStringLiteral("Unknown receipt");
    }

    void toolFailuresAreResults()
    {
        QFETCH(QString, tool);
        QFETCH(QJsonObject, arguments);
        QFETCH(QString, text);
        const QJsonObject result = this->tool(*m_service, tool, arguments);
        QCOMPARE(result.value(QStringLiteral("isError")), QJsonValue(true));
        QCOMPARE(result.value(QStringLiteral("content")).toArray(),
            QJsonArray {
                args({ { QStringLiteral("type"), QStringLiteral("text") }, { QStringLiteral("text"), text } }) });
        QVERIFY(!result.contains(QStringLiteral("structuredContent")));
        QCOMPARE(m_service->database().treeSize(QStringLiteral("s")).value(), qint64(0));
    }

    void sessionRules()
    {
        const QByteArray ping = R"({"jsonrpc":"2.0","id":3,"method":"ping"})";
        const auto expectRefusal = [&](const ServiceResponse &reply, int status, int code, const char *message) {
            QCOMPARE(reply.status, status);
            QCOMPARE(jsonBody(reply),
                object(QByteArray(R"({"jsonrpc":"2.0","id":null,"error":{"code":)") + QByteArray::number(code)
                    + R"(,"message":")" + message + R"("}})"));
        };
        expectRefusal(m_service->handle(post(ping)), 400, -32000, "Bad Request: Mcp-Session-Id header is required");
        expectRefusal(m_service->handle(post(ping, "made-up")), 404, -32001, "Session not found");

        const QByteArray id = session(*m_service);
        m_now += 14 * 60 * 1000; // the default time to live is 15 minutes of idleness
        QCOMPARE(m_service->handle(post(ping, id)).status, 200);
        m_now += 14 * 60 * 1000;
        QCOMPARE(m_service->handle(post(ping, id)).status, 200);
        m_now += 15 * 60 * 1000;
        expectRefusal(m_service->handle(post(ping, id)), 404, -32001, "Session not found");
        QCOMPARE(m_service->sessionCount(), 0);

        const QByteArray other = session(*m_service);
        ServiceRequest end { "DELETE", "/mcp", { { "Mcp-Session-Id", other } }, {} };
        const ServiceResponse ended = m_service->handle(end);
        QCOMPARE(ended.status, 200);
        QVERIFY(ended.body.isEmpty());
        expectRefusal(m_service->handle(end), 404, -32001, "Session not found");
        expectRefusal(m_service->handle(post(ping, other)), 404, -32001, "Session not found");
        expectRefusal(m_service->handle(ServiceRequest { "DELETE", "/mcp", {}, {} }), 400, -32000,
            "Bad Request: Mcp-Session-Id header is required");
    }

    void eventStreamReplies()
    {
        ServiceOptions options;
        options.eventStream = true;
        options.dataDir = m_dir.filePath(QStringLiteral("sse"));
        auto service = open(options);
        const QByteArray id = session(*service);
        const ServiceResponse reply = service->handle(post(R"({"jsonrpc":"2.0","id":2,"method":"ping"})", id));
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.header("Content-Type"), QByteArray("text/event-stream"));
        QCOMPARE(reply.header("Cache-Control"), QByteArray("no-cache"));
        QCOMPARE(reply.body, QByteArray("event: message\ndata: {\"id\":2,\"jsonrpc\":\"2.0\",\"result\":{}}\n\n"));

        // A client that takes JSON only gets JSON; refusals are never streams.
        ServiceRequest jsonOnly = post(R"({"jsonrpc":"2.0","id":2,"method":"ping"})", id);
        jsonOnly.headers[1].second = "application/json";
        QCOMPARE(service->handle(jsonOnly).header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(service->handle(post("{", id)).header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(service->handle(post(R"({"jsonrpc":"2.0","method":"x"})", id)).status, 202);
    }

    void stampReceipts()
    {
        const QString digest = digestOf("report.pdf");
        const QJsonObject receipt = stamp(*m_service, digest.toUpper(), QStringLiteral("legal"));
        QCOMPARE(receipt.keys(),
            (QStringList { QStringLiteral("created_at"), QStringLiteral("hash"), QStringLiteral("merkle"),
                QStringLiteral("receipt_id"), QStringLiteral("scope") }));
        QVERIFY(
            QRegularExpression(QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$"))
                .match(receipt[QStringLiteral("receipt_id")].toString())
                .hasMatch());
        QCOMPARE(receipt[QStringLiteral("hash")].toString(), digest);
        QCOMPARE(receipt[QStringLiteral("scope")].toString(), QStringLiteral("legal"));
        QCOMPARE(receipt[QStringLiteral("created_at")].toString(), QStringLiteral("2025-01-31T12:00:00.123Z"));
        // One leaf: the root is that leaf's hash.
        QCOMPARE(receipt[QStringLiteral("merkle")].toString(),
            QString::fromLatin1(ReferenceMerkle::leafHash(QByteArray::fromHex(digest.toLatin1())).toHex()));

        // The text item carries the same object, for clients that read text.
        const QJsonObject result = tool(*m_service, QStringLiteral("stamp"),
            args({ { QStringLiteral("sha256"), digest }, { QStringLiteral("scope"), QStringLiteral("legal") } }));
        const QJsonObject text
            = QJsonDocument::fromJson(result[QStringLiteral("content")][0][QStringLiteral("text")].toString().toUtf8())
                  .object();
        QCOMPARE(text, result[QStringLiteral("structuredContent")].toObject());
        QCOMPARE(result[QStringLiteral("isError")], QJsonValue(false));

        // Stamped again later: the same receipt, the tree unchanged.
        m_now += 60'000;
        QCOMPARE(stamp(*m_service, digest, QStringLiteral("legal")), receipt);
        QCOMPARE(m_service->database().treeSize(QStringLiteral("legal")).value(), qint64(1));

        // An empty scope is the default one; another scope has its own tree.
        QCOMPARE(stamp(*m_service, digest, QString())[QStringLiteral("scope")].toString(), QStringLiteral("global"));
        const QJsonObject second = stamp(*m_service, digestOf("other"), QStringLiteral("legal"));
        QCOMPARE(second[QStringLiteral("merkle")].toString(),
            QString::fromLatin1(ReferenceMerkle::root(
                { QByteArray::fromHex(digest.toLatin1()), QByteArray::fromHex(digestOf("other").toLatin1()) })
                                    .toHex()));
        QCOMPARE(second[QStringLiteral("created_at")].toString(), QStringLiteral("2025-01-31T12:01:00.123Z"));
    }

    void verifyAnswers()
    {
        const QJsonObject receipt = stamp(*m_service, digestOf("a"), QStringLiteral("team"));
        const QString id = receipt[QStringLiteral("receipt_id")].toString();
        const auto verify = [&](const QString &receiptId, const QString &scope) {
            return structured(*m_service, QStringLiteral("verify"),
                args({ { QStringLiteral("receipt_id"), receiptId }, { QStringLiteral("want_scope"), scope } }));
        };
        QCOMPARE(verify(id, QStringLiteral("team")),
            args({ { QStringLiteral("valid"), true }, { QStringLiteral("receipt"), receipt } }));
        QCOMPARE(
            verify(id, QString()), args({ { QStringLiteral("valid"), true }, { QStringLiteral("receipt"), receipt } }));
        QCOMPARE(verify(id, QStringLiteral("global")),
            args({ { QStringLiteral("valid"), false },
                { QStringLiteral("error"),
                    QStringLiteral("Scope mismatch: the receipt is in scope \"team\", not \"global\"") },
                { QStringLiteral("receipt"), receipt } }));
        QCOMPARE(verify(QStringLiteral("no-such-receipt"), QString()),
            object(R"({"valid":false,"error":"Unknown receipt","receipt":null})"));
        QVERIFY(tool(*m_service, QStringLiteral("verify"), object(R"({"receipt_id":"x"})"))
                    .value(QStringLiteral("structuredContent"))
                    .isObject()); // want_scope may be left out

        // A receipt whose stored root no longer matches the tree is not valid.
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("tamper"));
            db.setDatabaseName(m_dir.filePath(QStringLiteral("data/nivet-stampd.sqlite")));
            QVERIFY(db.open());
            QSqlQuery q(db);
            QVERIFY(q.exec(QStringLiteral("UPDATE receipts SET merkle = '%1' WHERE receipt_id = '%2'")
                               .arg(QString(64, QLatin1Char('0')), id)));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("tamper"));
        const QJsonObject tampered = verify(id, QString());
        QCOMPARE(tampered[QStringLiteral("valid")], QJsonValue(false));
        QCOMPARE(tampered[QStringLiteral("error")].toString(),
            QStringLiteral("The receipt does not match the service's Merkle tree"));
    }

    void hashReportNewestFirst()
    {
        const QString digest = digestOf("shared");
        const QJsonObject first = stamp(*m_service, digest, QStringLiteral("one"));
        m_now -= 5000; // a clock stepping back does not reorder the report
        const QJsonObject second = stamp(*m_service, digest, QStringLiteral("two"));
        stamp(*m_service, digestOf("unrelated"), QStringLiteral("one"));
        const auto report = [&](const QString &sha, const QString &scope) {
            return structured(*m_service, QStringLiteral("hash_report"),
                args({ { QStringLiteral("sha256"), sha }, { QStringLiteral("want_scope"), scope } }))
                .value(QStringLiteral("receipts"));
        };
        QCOMPARE(report(digest, QString()), QJsonValue(QJsonArray { second, first }));
        QCOMPARE(report(digest.toUpper(), QStringLiteral("one")), QJsonValue(QJsonArray { first }));
        QCOMPARE(report(digest, QStringLiteral("three")), QJsonValue(QJsonArray {}));
        QCOMPARE(report(digestOf("never"), QString()), QJsonValue(QJsonArray {}));
    }

    void proofsForLaterTrees()
    {
        QList<QByteArray> leaves;
        QJsonObject third;
        for (int i = 0; i < 6; ++i) {
            leaves.append(QByteArray::fromHex(digestOf(QByteArray::number(i)).toLatin1()));
            const QJsonObject r = stamp(*m_service, digestOf(QByteArray::number(i)), QStringLiteral("p"));
            if (i == 2)
                third = r;
        }
        const QString id = third[QStringLiteral("receipt_id")].toString();
        for (const int size : { 3, 4, 6 }) {
            QJsonObject a = args({ { QStringLiteral("receipt_id"), id } });
            if (size != 3)
                a.insert(QStringLiteral("tree_size"), size);
            const QJsonObject proof = structured(*m_service, QStringLiteral("proof"), a);
            QCOMPARE(proof[QStringLiteral("receipt")].toObject(), third);
            QCOMPARE(proof[QStringLiteral("leaf_index")].toInt(), 2);
            QCOMPARE(proof[QStringLiteral("tree_size")].toInt(), size);
            const QByteArray root = ReferenceMerkle::root(leaves.mid(0, size));
            QCOMPARE(proof[QStringLiteral("root")].toString().toLatin1(), root.toHex());
            QList<QByteArray> path;
            for (const QJsonValue &h : proof[QStringLiteral("audit_path")].toArray())
                path.append(QByteArray::fromHex(h.toString().toLatin1()));
            const QByteArray leaf = QByteArray::fromHex(proof[QStringLiteral("leaf_hash")].toString().toLatin1());
            QCOMPARE(leaf, ReferenceMerkle::leafHash(leaves[2]));
            QVERIFY(ReferenceMerkle::verifyInclusion(2, size, leaf, path, root));
        }
        for (const int size : { 2, 7 }) {
            const QJsonObject result = tool(*m_service, QStringLiteral("proof"),
                args({ { QStringLiteral("receipt_id"), id }, { QStringLiteral("tree_size"), size } }));
            QCOMPARE(result[QStringLiteral("content")][0][QStringLiteral("text")].toString(),
                QStringLiteral("Invalid tree_size: this receipt can be proven in trees of 3 to 6 leaves"));
        }
    }

    // Also from a database of the first version, whose users had no token generation.
    void receiptsSurviveReopening()
    {
        const QJsonObject receipt = stamp(*m_service, digestOf("kept"), QStringLiteral("s"));
        QVERIFY(
            addTestUser(m_service->database(), QStringLiteral("old"), QStringLiteral("user"), QStringLiteral("pw")));
        m_service.reset();
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("v1"));
            db.setDatabaseName(m_dir.filePath(QStringLiteral("data/nivet-stampd.sqlite")));
            QVERIFY(db.open());
            QSqlQuery q(db);
            QVERIFY(q.exec(QStringLiteral("ALTER TABLE users DROP COLUMN generation")));
            QVERIFY(q.exec(QStringLiteral("UPDATE meta SET value = '1' WHERE key = 'schema_version'")));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("v1"));
        m_service = open();
        const QByteArray token = loginToken(*m_service, QStringLiteral("old"), QStringLiteral("pw"));
        QCOMPARE(
            m_service->handle(
                         ServiceRequest { "GET", "/auth/validate", { { "Authorization", "Bearer " + token } }, {} })
                .status,
            200);
        m_service.reset();
        m_service = open(); // now of the current version
        QCOMPARE(structured(*m_service, QStringLiteral("verify"),
                     args({ { QStringLiteral("receipt_id"), receipt[QStringLiteral("receipt_id")] } }))
                     .value(QStringLiteral("valid")),
            QJsonValue(true));
        // The tree goes on where it stopped.
        const QJsonObject next = stamp(*m_service, digestOf("next"), QStringLiteral("s"));
        QCOMPARE(next[QStringLiteral("merkle")].toString().toLatin1(),
            ReferenceMerkle::root(
                { QByteArray::fromHex(digestOf("kept").toLatin1()), QByteArray::fromHex(digestOf("next").toLatin1()) })
                .toHex());
    }

    void unknownUserLoginWithLowerWork()
    {
        // The fuzzer lowers the work an unknown user's login burns; the answer
        // stays the one a wrong password gets.
        ServiceOptions options;
        options.dataDir = m_dir.filePath(QStringLiteral("cheap"));
        options.unknownUserIterations = 1;
        auto service = open(options);
        ServiceRequest login { "POST", "/auth/login", { { "Content-Type", "application/json" } },
            R"({"username":"nobody","password":"x"})" };
        const ServiceResponse reply = service->handle(login);
        QCOMPARE(reply.status, 401);
        QCOMPARE(reply.body, QByteArray("Invalid user name or password"));
    }

    void loginAndValidate()
    {
        QVERIFY(addTestUser(
            m_service->database(), QStringLiteral("alice"), QStringLiteral("auditor"), QStringLiteral(" pass word ")));
        ServiceRequest login { "POST", "/auth/login", { { "Content-Type", "application/json" } },
            R"({"username":"alice","password":" pass word "})" };
        const ServiceResponse reply = m_service->handle(login);
        QCOMPARE(reply.status, 200);
        const QJsonObject body = jsonBody(reply);
        QCOMPARE(body.value(QStringLiteral("user")).toObject(), object(R"({"username":"alice","role":"auditor"})"));
        QCOMPARE(body.value(QStringLiteral("expiresAt")).toString(), QStringLiteral("2025-01-31T13:00:00.000Z"));
        const QByteArray token = body.value(QStringLiteral("token")).toString().toLatin1();
        QCOMPARE(token.count('.'), 2);

        ServiceRequest validate { "GET", "/auth/validate", { { "Authorization", "Bearer " + token } }, {} };
        const ServiceResponse valid = m_service->handle(validate);
        QCOMPARE(valid.status, 200);
        QCOMPARE(jsonBody(valid),
            object(R"({"valid":true,"expiresAt":"2025-01-31T13:00:00.000Z",)"
                   R"("user":{"username":"alice","role":"auditor"}})"));

        // A token of ours that predates generations may predate a password change too.
        const auto segment = [](const QByteArray &json) {
            return json.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
        };
        const QByteArray legacy = segment(R"({"alg":"HS256","typ":"JWT"})") + '.'
            + segment(R"({"exp":1738328400,"iss":"nivet-stampd","role":"auditor","sub":"alice"})");
        const QByteArray key = readFile(m_dir.filePath(QStringLiteral("data/") + StampService::signingKeyFileName()));
        ServiceRequest unversioned { "GET", "/auth/validate", {}, {} };
        unversioned.headers = { { "Authorization",
            "Bearer " + legacy + '.'
                + segment(QMessageAuthenticationCode::hash(legacy, key, QCryptographicHash::Sha256)) } };
        QCOMPARE(m_service->handle(unversioned).status, 401);

        // A new password ends the tokens issued before it; a new login shows the new role.
        QVERIFY(addTestUser(
            m_service->database(), QStringLiteral("alice"), QStringLiteral("admin"), QStringLiteral("new")));
        QCOMPARE(m_service->handle(validate).body, QByteArray("Invalid or expired token"));
        validate.headers = { { "Authorization",
            "Bearer " + loginToken(*m_service, QStringLiteral("alice"), QStringLiteral("new")) } };
        QCOMPARE(jsonBody(m_service->handle(validate))[QStringLiteral("user")][QStringLiteral("role")].toString(),
            QStringLiteral("admin"));
        m_now += 60 * 60 * 1000;
        QCOMPARE(m_service->handle(validate).body, QByteArray("Invalid or expired token"));
    }

    void authRefusals_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("authorization");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("wrong password") << QByteArray("POST") << QByteArray("/auth/login") << QByteArray()
                                        << QByteArray(R"({"username":"bob","password":"nope"})") << 401
                                        << QByteArray("Invalid user name or password");
        QTest::newRow("unknown user") << QByteArray("POST") << QByteArray("/auth/login") << QByteArray()
                                      << QByteArray(R"({"username":"eve","password":"pw"})") << 401
                                      << QByteArray("Invalid user name or password");
        QTest::newRow("not JSON") << QByteArray("POST") << QByteArray("/auth/login") << QByteArray()
                                  << QByteArray("u=bob") << 400
                                  << QByteArray("Send a JSON object with the strings username and password");
        QTest::newRow("password number") << QByteArray("POST") << QByteArray("/auth/login") << QByteArray()
                                         << QByteArray(R"({"username":"bob","password":1})") << 400
                                         << QByteArray("Send a JSON object with the strings username and password");
        QTest::newRow("GET login") << QByteArray("GET") << QByteArray("/auth/login") << QByteArray() << QByteArray()
                                   << 405 << QByteArray("Method not allowed; use POST");
        QTest::newRow("no token") << QByteArray("GET") << QByteArray("/auth/validate") << QByteArray() << QByteArray()
                                  << 401 << QByteArray("Missing bearer token");
        QTest::newRow("basic auth") << QByteArray("GET") << QByteArray("/auth/validate") << QByteArray("Basic Ym9iOnB3")
                                    << QByteArray() << 401 << QByteArray("Missing bearer token");
        QTest::newRow("garbage token") << QByteArray("GET") << QByteArray("/auth/validate")
                                       << QByteArray("Bearer a.b.c") << QByteArray() << 401
                                       << QByteArray("Invalid or expired token");
        // Claims of anyone's choosing, "signed" with no algorithm at all.
        const auto segment = [](const char *json) {
            return QByteArray(json).toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
        };
        QTest::newRow("alg none") << QByteArray("GET") << QByteArray("/auth/validate")
                                  << "Bearer " + segment(R"({"alg":"none"})") + '.'
                + segment(R"({"iss":"nivet-stampd","sub":"bob","exp":9999999999})") + '.'
                                  << QByteArray() << 401 << QByteArray("Invalid or expired token");
        QTest::newRow("unknown path") << QByteArray("GET") << QByteArray("/auth") << QByteArray() << QByteArray() << 404
                                      << QByteArray("Not found");
        QTest::newRow("GET mcp") << QByteArray("GET") << QByteArray("/mcp") << QByteArray() << QByteArray() << 405
                                 << QByteArray("Method not allowed; use POST, DELETE");
    }

    void authRefusals()
    {
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, authorization);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QByteArray, text);
        QVERIFY(
            addTestUser(m_service->database(), QStringLiteral("bob"), QStringLiteral("user"), QStringLiteral("pw")));
        ServiceRequest request { method, path, { { "Content-Type", "application/json" } }, body };
        if (!authorization.isEmpty())
            request.headers.append({ "Authorization", authorization });
        const ServiceResponse reply = m_service->handle(request);
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.body, text);
        QCOMPARE(reply.header("Content-Type"), QByteArray("text/plain; charset=utf-8"));
        if (status == 401 && path == "/auth/validate")
            QVERIFY(reply.header("WWW-Authenticate").startsWith("Bearer realm=\"nivet-stampd\""));
    }

    void requireAuth()
    {
        ServiceOptions options;
        options.requireAuth = true;
        options.dataDir = m_dir.filePath(QStringLiteral("locked"));
        auto service = open(options);
        for (const char *name : { "carol", "dave" }) {
            QVERIFY(addTestUser(
                service->database(), QString::fromLatin1(name), QStringLiteral("user"), QStringLiteral("pw")));
        }
        const ServiceResponse missing = service->handle(post(initialize()));
        QCOMPARE(missing.status, 401);
        QCOMPARE(missing.body, QByteArray("Missing bearer token"));
        QCOMPARE(missing.header("WWW-Authenticate"), QByteArray("Bearer realm=\"nivet-stampd\""));
        const ServiceResponse forged = service->handle(post(initialize(), {}, "abc.def.ghi"));
        QCOMPARE(forged.status, 401);
        QCOMPARE(forged.body, QByteArray("Invalid or expired token"));
        QCOMPARE(service->sessionCount(), 0);

        const QByteArray carol = loginToken(*service, QStringLiteral("carol"), QStringLiteral("pw"));
        const QByteArray dave = loginToken(*service, QStringLiteral("dave"), QStringLiteral("pw"));
        const QByteArray id = session(*service, carol);
        const QByteArray ping = R"({"jsonrpc":"2.0","id":2,"method":"ping"})";
        QCOMPARE(service->handle(post(ping, id, carol)).status, 200);
        QCOMPARE(service->handle(post(ping, id)).status, 401);
        // Another user holding the id cannot use the session.
        QCOMPARE(service->handle(post(ping, id, dave)).status, 404);
        QCOMPARE(stamp(*service, digestOf("d"), QStringLiteral("s"), carol)[QStringLiteral("scope")].toString(),
            QStringLiteral("s"));
        QVERIFY(
            addTestUser(service->database(), QStringLiteral("carol"), QStringLiteral("user"), QStringLiteral("new")));
        QCOMPARE(service->handle(post(ping, id, carol)).status, 401); // issued before the new password
        const QByteArray renewed = loginToken(*service, QStringLiteral("carol"), QStringLiteral("new"));
        QCOMPARE(service->handle(post(ping, id, renewed)).status, 200);
        m_now += 2 * 60 * 60 * 1000;
        QCOMPARE(service->handle(post(ping, id, renewed)).status, 401); // the token has expired
    }

    void stampsRecordTheUser()
    {
        QVERIFY(
            addTestUser(m_service->database(), QStringLiteral("erin"), QStringLiteral("user"), QStringLiteral("pw")));
        const QByteArray token = loginToken(*m_service, QStringLiteral("erin"), QStringLiteral("pw"));
        const auto stampedBy = [&](const QJsonObject &receipt) {
            return m_service->database().receipt(receipt[QStringLiteral("receipt_id")].toString()).value()->stampedBy;
        };
        QCOMPARE(stampedBy(stamp(*m_service, digestOf("1"), QStringLiteral("s"), token)), QStringLiteral("erin"));
        QCOMPARE(stampedBy(stamp(*m_service, digestOf("2"), QStringLiteral("s"))), QString());
        // Without --require-auth a bad token is no token: the stamp is anonymous.
        QCOMPARE(stampedBy(stamp(*m_service, digestOf("3"), QStringLiteral("s"), token + "x")), QString());
    }

    void transportRefusals_data()
    {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("status");
        QTest::newRow("foreign origin") << QByteArray("Origin") << QByteArray("https://evil.example") << 403;
        QTest::newRow("local origin") << QByteArray("Origin") << QByteArray("http://localhost:5173") << 200;
        QTest::newRow("text body") << QByteArray("Content-Type") << QByteArray("text/plain") << 415;
        QTest::newRow("json charset") << QByteArray("Content-Type") << QByteArray("application/json; charset=utf-8")
                                      << 200;
    }

    void transportRefusals()
    {
        QFETCH(QByteArray, header);
        QFETCH(QByteArray, value);
        QFETCH(int, status);
        ServiceRequest request = post(initialize());
        for (auto &h : request.headers) {
            if (h.first == header)
                h.second = value;
        }
        if (!request.hasHeader(header) && !header.isEmpty())
            request.headers.append({ header, value });
        QCOMPARE(m_service->handle(request).status, status);
        QCOMPARE(m_service->sessionCount(), status == 200 ? 1 : 0);
    }

    void signingKeyIsPrivateAndKept()
    {
        const QString key = m_dir.filePath(QStringLiteral("data/") + StampService::signingKeyFileName());
        QCOMPARE(fileMode(key), 0600);
        QCOMPARE(readFile(key).size(), 32);
        QCOMPARE(fileMode(m_dir.filePath(QStringLiteral("data"))), 0700);
        QCOMPARE(fileMode(m_dir.filePath(QStringLiteral("data/nivet-stampd.sqlite"))), 0600);
        QVERIFY(addTestUser(m_service->database(), QStringLiteral("f"), QStringLiteral("r"), QStringLiteral("pw")));
        const QByteArray token = loginToken(*m_service, QStringLiteral("f"), QStringLiteral("pw"));
        const QByteArray before = readFile(key);
        m_service.reset();
        m_service = open();
        QCOMPARE(readFile(key), before);
        ServiceRequest validate { "GET", "/auth/validate", { { "Authorization", "Bearer " + token } }, {} };
        QCOMPARE(m_service->handle(validate).status, 200);

        // A damaged key is refused, not silently replaced.
        m_service.reset();
        QVERIFY(writeFile(key, "short"));
        ServiceOptions options;
        options.dataDir = m_dir.filePath(QStringLiteral("data"));
        const auto refused = StampService::open(options);
        QVERIFY(!refused.ok());
        QVERIFY(refused.error().description.contains(QStringLiteral("is not 32 bytes long")));
        QCOMPARE(readFile(key), QByteArray("short"));
        QFile::remove(key);
    }
};

QTEST_GUILESS_MAIN(TestStampService)
#include "tst_stampservice.moc"
