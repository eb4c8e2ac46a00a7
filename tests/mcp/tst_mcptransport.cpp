#include "mcp/mcpclient.h"

#include "scriptedhttpserver.h"
#include "testenv.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

using namespace std::chrono_literals;

namespace {

QJsonObject parse(const QByteArray &json)
{
    return QJsonDocument::fromJson(json).object();
}

HttpResponse initReply(const QByteArray &header = "Mcp-Session-Id", const QByteArray &sid = "abc-123")
{
    return HttpResponse::json(
        QJsonObject { { QStringLiteral("jsonrpc"), QStringLiteral("2.0") }, { QStringLiteral("id"), 1 } })
        .withHeader(header, sid);
}

QCoro::Task<Expected<QJsonObject>> openAndCall(MCPClient &client)
{
    auto session = co_await client.openSession();
    if (!session)
        co_return session.error();
    // Arguments go into locals first: g++ 12 mishandles temporaries inside a
    // co_await expression.
    const QString tool = QStringLiteral("stamp");
    const QJsonObject args { { QStringLiteral("sha256"), QStringLiteral("ab") } };
    co_return co_await client.callToolRaw(session.value(), tool, args);
}

Expected<QJsonObject> callWith(ScriptedHttpServer &server, HttpResponse toolReply)
{
    server.enqueue(initReply());
    server.enqueue(HttpResponse::text({}, 202));
    server.enqueue(std::move(toolReply));
    MCPClient client(server.url().toString());
    client.setTransferTimeout(2s); // an event stream held open fails in time if it is read only at its end
    auto task = openAndCall(client);
    return QCoro::waitFor(task);
}

} // namespace

class TestMcpTransport : public QObject {
    Q_OBJECT
    // Every request reads the credentials file; keep it away from the real one.
    IsolatedDataHome m_home;

private Q_SLOTS:
    void endpointFallback()
    {
        QCOMPARE(MCPClient(QStringLiteral("http://127.0.0.1:9/mcp")).url().toString(),
            QStringLiteral("http://127.0.0.1:9/mcp"));
        QCOMPARE(MCPClient(QStringLiteral("not a url")).url().toString(), MCPClient::defaultEndpoint());
        QCOMPARE(MCPClient(QString()).url().toString(), QStringLiteral("https://mcp.nivet.example/mcp"));
        QCOMPARE(MCPClient(QStringLiteral("ftp://host/x")).url().toString(), MCPClient::defaultEndpoint());
        QCOMPARE(MCPClient(QStringLiteral("/relative")).url().toString(), MCPClient::defaultEndpoint());
    }

    void requestsOnTheWire()
    {
        ScriptedHttpServer server;
        const QJsonObject args { { QStringLiteral("sha256"), QStringLiteral("ab") },
            { QStringLiteral("scope"), QString() } };
        server.enqueue(initReply());
        server.enqueue(HttpResponse::text({}, 202));
        server.enqueue(ScriptedHttpServer::toolResult({}));
        MCPClient client(server.url(QStringLiteral("/mcp?x=1")).toString());
        auto openTask = client.openSession();
        const auto session = QCoro::waitFor(openTask);
        QVERIFY(session.ok());
        auto callTask = client.callToolRaw(session.value(), QStringLiteral("stamp"), args);
        QVERIFY(QCoro::waitFor(callTask).ok());

        const auto &reqs = server.requests();
        QCOMPARE(reqs.size(), 3);
        for (const HttpRequest &r : reqs) {
            QCOMPARE(r.method, QByteArray("POST"));
            QCOMPARE(r.target, QByteArray("/mcp?x=1"));
            QCOMPARE(r.header("Content-Type"), QByteArray("application/json"));
            QCOMPARE(r.header("Accept"), QByteArray("application/json, text/event-stream"));
            QVERIFY(!r.hasHeader("Authorization"));
        }
        QVERIFY(!reqs[0].hasHeader("Mcp-Session-Id"));
        QCOMPARE(reqs[1].header("Mcp-Session-Id"), QByteArray("abc-123"));
        QCOMPARE(reqs[2].header("Mcp-Session-Id"), QByteArray("abc-123"));

        QCOMPARE(reqs[0].json(),
            parse(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{)"
                  R"("protocolVersion":"2025-03-26","capabilities":{},)"
                  R"("clientInfo":{"name":"nivet-timestamping-mac","version":"0.2.0"}}})"));
        QCOMPARE(reqs[1].json(), parse(R"({"jsonrpc":"2.0","method":"notifications/initialized"})"));
        QCOMPARE(reqs[2].json(),
            parse(R"({"jsonrpc":"2.0","id":2,"method":"tools/call",)"
                  R"("params":{"name":"stamp","arguments":{"sha256":"ab","scope":""}}})"));
        // Bodies are compact JSON.
        QVERIFY(!reqs[0].body.contains(' ') && !reqs[0].body.contains('\n'));
    }

    void sessionHandshake_data()
    {
        QTest::addColumn<HttpResponse>("init");
        QTest::addColumn<HttpResponse>("ack");
        QTest::addColumn<QString>("expected"); // session id or error text
        QTest::newRow("lower-case header")
            << initReply("mcp-session-id", "s1") << HttpResponse::text({}, 202) << QStringLiteral("s1");
        QTest::newRow("204 with header") << initReply().withHeader("X", "y") << HttpResponse::text({}, 404)
                                         << QStringLiteral("abc-123");
        HttpResponse s204 = initReply();
        s204.status = 204;
        s204.body.clear();
        QTest::newRow("status 204") << s204 << HttpResponse::text("nope", 500) << QStringLiteral("abc-123");
        QTest::newRow("no header") << HttpResponse::json(QJsonObject {}) << HttpResponse()
                                   << QStringLiteral("MCP server did not return Mcp-Session-Id");
        QTest::newRow("401 text") << HttpResponse::text("bad token", 401) << HttpResponse()
                                  << QStringLiteral("HTTP 401: bad token");
        QTest::newRow("500 empty") << HttpResponse::text({}, 500) << HttpResponse() << QStringLiteral("HTTP 500: ");
        // Statuses Qt files under protocol or proxy errors are still answers.
        QTest::newRow("400 text") << HttpResponse::text("bad request", 400) << HttpResponse()
                                  << QStringLiteral("HTTP 400: bad request");
        QTest::newRow("418 text") << HttpResponse::text("teapot", 418) << HttpResponse()
                                  << QStringLiteral("HTTP 418: teapot");
        QTest::newRow("407 text") << HttpResponse::text("proxy", 407) << HttpResponse()
                                  << QStringLiteral("HTTP 407: proxy");
        QTest::newRow("non-UTF-8 body") << HttpResponse::text("\xff\xfe bad", 502) << HttpResponse()
                                        << QStringLiteral("HTTP 502: ");
        HttpResponse dropped;
        dropped.action = HttpResponse::Action::Drop;
        QTest::newRow("notification dropped") << initReply() << dropped << QStringLiteral("error:");
        // The id goes back byte for byte, never through a text decoding.
        QTest::newRow("non-UTF-8 id") << initReply("Mcp-Session-Id", "caf\xe9") << HttpResponse::text({}, 202)
                                      << QString::fromLatin1("caf\xe9");
        // Not followed: the session header or a token must not reach another host.
        QTest::newRow("redirect") << HttpResponse::text("moved", 307).withHeader("Location", "http://127.0.0.1:9/mcp")
                                  << HttpResponse() << QStringLiteral("HTTP 307: moved");
    }

    void sessionHandshake()
    {
        QFETCH(HttpResponse, init);
        QFETCH(HttpResponse, ack);
        QFETCH(QString, expected);
        ScriptedHttpServer server;
        server.enqueue(init);
        // Every later request gets the scripted answer (Qt resends a request
        // once when a reused connection drops before the reply).
        server.setHandler([ack](const HttpRequest &) { return ack; });
        MCPClient client(server.url().toString());
        auto task = client.openSession();
        auto session = QCoro::waitFor(task);
        if (expected == QLatin1String("error:")) {
            QVERIFY(!session.ok());
            QVERIFY(!session.error().description.isEmpty());
            return;
        }
        if (!session.ok()) {
            QCOMPARE(session.error().description, expected);
            return;
        }
        QCOMPARE(session.value(), expected);
        for (const auto &[name, value] : init.headers) {
            if (name.compare("Mcp-Session-Id", Qt::CaseInsensitive) == 0)
                QCOMPARE(server.requests().at(1).header(name), value);
        }
    }

    void toolReplyRules_data()
    {
        QTest::addColumn<HttpResponse>("reply");
        QTest::addColumn<QByteArray>("expected"); // compact JSON of the result, or "!" + error text
        const auto rpc = [](const char *json) { return HttpResponse::text(json, 200, "application/json"); };
        QTest::newRow("structuredContent wins") << rpc("{\"result\":{\"structuredContent\":{\"a\":1},\"content\":[{"
                                                       "\"type\":\"text\",\"text\":\"{\\\"b\\\":2}\"}]}}")
                                                << QByteArray(R"({"a":1})");
        QTest::newRow("content text object")
            << rpc("{\"result\":{\"content\":[{\"type\":\"text\",\"text\":\"{\\\"b\\\":2}\"}]}}")
            << QByteArray(R"({"b":2})");
        QTest::newRow("content text array") << rpc(R"({"result":{"content":[{"text":"[1]"}],"x":1}})")
                                            << QByteArray(R"({"content":[{"text":"[1]"}],"x":1})");
        QTest::newRow("content text words")
            << rpc(R"({"result":{"content":[{"text":"hello"}]}})")
            << QByteArray("!Invalid JSON in MCP tool result text: illegal value at offset 1");
        QTest::newRow("content text number")
            << rpc(R"({"result":{"content":[{"text":"5"}]}})")
            << QByteArray("!Invalid JSON in MCP tool result text: illegal value at offset 1");
        QTest::newRow("content empty") << rpc(R"({"result":{"content":[]}})") << QByteArray(R"({"content":[]})");
        QTest::newRow("content non-object")
            << rpc(R"({"result":{"content":[{"text":"{}"},1]}})") << QByteArray(R"({"content":[{"text":"{}"},1]})");
        QTest::newRow("first without text")
            << rpc(R"({"result":{"content":[{"type":"image"}]}})") << QByteArray(R"({"content":[{"type":"image"}]})");
        QTest::newRow("content not array") << rpc(R"({"result":{"content":"x"}})") << QByteArray(R"({"content":"x"})");
        QTest::newRow("empty result") << rpc(R"({"result":{}})") << QByteArray("{}");
        QTest::newRow("top-level array") << rpc(R"([{"result":{}}])") << QByteArray("!Missing result");
        QTest::newRow("empty object") << rpc("{}") << QByteArray("!Missing result");
        QTest::newRow("result not object") << rpc(R"({"result":[1]})") << QByteArray("!Missing result");
        QTest::newRow("error text ignored")
            << rpc(R"({"error":"x","result":{"structuredContent":{"ok":true}}})") << QByteArray(R"({"ok":true})");
        QTest::newRow("error null ignored") << rpc(R"({"error":null,"result":{"y":1}})") << QByteArray(R"({"y":1})");
        QTest::newRow("error object wins")
            << rpc(R"({"error":{"code":-32601},"result":{}})") << QByteArray(R"(!["code": -32601])");
        QTest::newRow("error object text")
            << rpc(R"({"error":{"message":"nope"}})") << QByteArray(R"(!["message": "nope"])");
        QTest::newRow("isError with text")
            << rpc(R"({"result":{"isError":true,"content":[{"type":"text","text":"bad digest"}]}})")
            << QByteArray("!bad digest");
        QTest::newRow("isError without text")
            << rpc(R"({"result":{"isError":true}})") << QByteArray("!Tool call failed");
        QTest::newRow("empty body") << rpc("")
                                    << QByteArray("!Invalid JSON in MCP response: illegal value at offset 0");
        QTest::newRow("not JSON") << rpc("<html>")
                                  << QByteArray("!Invalid JSON in MCP response: illegal value at offset 1");
        QTest::newRow("bare string") << rpc(R"("x")")
                                     << QByteArray("!Invalid JSON in MCP response: illegal value at offset 1");
        QTest::newRow("event stream") << HttpResponse::text(
            "event: message\ndata: {\"jsonrpc\":\"2.0\",\"id\":2,\"result\":{\"structuredContent\":{\"s\":1}}}\n\n",
            200, "text/event-stream") << QByteArray(R"({"s":1})");
        QTest::newRow("status 500") << HttpResponse::text("boom", 500) << QByteArray("!HTTP 500: boom");
        QTest::newRow("long error body cut")
            << HttpResponse::text(QByteArray(600, 'x'), 500) << "!HTTP 500: " + QByteArray(489, 'x') + "\xe2\x80\xa6";
        // Acted on when the response arrives, not when the server closes.
        HttpResponse open = HttpResponse::text(
            "data: {\"jsonrpc\":\"2.0\",\"id\":2,\"result\":{\"structuredContent\":{\"s\":1}}}\n\n", 200,
            "text/event-stream");
        open.action = HttpResponse::Action::Stream;
        open.trickleMs = 100;
        QTest::newRow("event stream left open") << open << QByteArray(R"({"s":1})");
    }

    void toolReplyRules()
    {
        QFETCH(HttpResponse, reply);
        QFETCH(QByteArray, expected);
        ScriptedHttpServer server;
        auto result = callWith(server, reply);
        if (expected.startsWith('!')) {
            QVERIFY(!result.ok());
            QCOMPARE(result.error().description, QString::fromUtf8(expected.mid(1)));
        } else {
            QVERIFY2(result.ok(), qPrintable(result.ok() ? QString() : result.error().description));
            QCOMPARE(result.value(), parse(expected));
        }
    }
};

QTEST_GUILESS_MAIN(TestMcpTransport)
#include "tst_mcptransport.moc"
