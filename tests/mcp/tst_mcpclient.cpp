#include "auth/tokensource.h"
#include "mcp/mcpclient.h"
#include "storage/receiptstore.h"

#include "scriptedhttpserver.h"
#include "testenv.h"
#include "toolcalls.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

const QString kSha = u"5eed"_s;
const QString kPath = u"/data/report.pdf"_s;
const QDateTime kNow(QDate(2025, 1, 31), QTime(12, 0), Qt::UTC);

HttpResponse initReply(const QByteArray &header = "Mcp-Session-Id", const QByteArray &sid = "abc-123")
{
    return HttpResponse::json(jsonObject(R"({"jsonrpc":"2.0","id":1})")).withHeader(header, sid);
}

HttpResponse result(const char *json)
{
    return ScriptedHttpServer::toolResult(jsonObject(json));
}

HttpResponse rpc(const QByteArray &body, const QByteArray &type = "application/json")
{
    return HttpResponse::text(body, 200, type);
}

QCoro::Task<Expected<QJsonObject>> openAndCall(MCPClient &client)
{
    auto opening = client.openSession();
    auto session = co_await opening;
    if (!session)
        co_return session.error();
    const QString tool = u"stamp"_s;
    const QJsonObject args { { u"sha256"_s, u"ab"_s }, { u"scope"_s, QString() } };
    auto calling = client.callToolRaw(session.value(), tool, args);
    co_return co_await calling;
}

FileResult row(const QString &id, const QString &created, const QString &scope, const QString &status,
    const QString &merkle, ResultKind kind, const QString &sha = kSha)
{
    return FileResult { kPath, sha, id, created, scope, status, merkle, kind };
}

Receipt receipt(const QString &id, const QString &scope, const QString &created, const QString &merkle)
{
    return Receipt { id, kSha, scope, created, merkle, {} };
}

QJsonObject record()
{
    return QJsonDocument::fromJson(readFile(ReceiptStore::receiptFileURL(kSha))).object();
}

} // namespace

/// The MCP client: its requests, the replies it accepts, Register and Verify.
class TestMcpClient : public QObject {
    Q_OBJECT
    IsolatedDataHome m_home; // every request reads the credentials file
    ScriptedHttpServer m_server;
    HttpResponse m_reply; // what every tool call gets
    int m_logins = 0;

    QString authPath() const { return m_home.nivet() + u"/auth.properties"_s; }

    MCPClient *makeClient(const QUrl &url, QObject *parent)
    {
        auto tokens = std::make_shared<TokenSource>();
        tokens->client().setClock([] { return kNow; });
        auto *made = new MCPClient(url.toString(), tokens, parent);
        made->setTransferTimeout(2s);
        return made;
    }

    FileResult run(bool registering, const QString &sha = kSha, const QString &scope = u"global"_s)
    {
        QObject owner;
        MCPClient &client = *makeClient(m_server.url(), &owner);
        if (registering)
            return QCoro::waitFor(client.registerFile(kPath, sha, scope));
        return QCoro::waitFor(client.verify(kPath, sha, scope));
    }

    Expected<QJsonObject> callWith(const HttpResponse &toolReply)
    {
        m_reply = toolReply;
        QObject owner; // an event stream held open fails in time if read only at its end
        return QCoro::waitFor(openAndCall(*makeClient(m_server.url(), &owner)));
    }

private Q_SLOTS:
    void initTestCase()
    {
        const auto mcp = ScriptedHttpServer::mcp(
            [this](const QString &, const QJsonObject &, const HttpRequest &) { return m_reply; });
        m_server.setHandler([this, mcp](const HttpRequest &request) {
            if (request.target != "/auth/login")
                return mcp(request);
            ++m_logins;
            return HttpResponse::json(jsonObject(R"({"token":"new-token","expiresAt":"2025-01-31T13:00:00Z"})"));
        });
    }

    void init()
    {
        QDir(m_home.nivet()).removeRecursively();
        m_server.clearRequests();
        m_reply = HttpResponse::text("no answer set", 500);
        m_logins = 0;
    }

    void requestsOnTheWire()
    {
        QCOMPARE(MCPClient(u"not a url"_s).url().toString(), u"https://mcp.nivet.example/mcp"_s);
        QCOMPARE(MCPClient(u"ftp://host/x"_s).url().toString(), MCPClient::defaultEndpoint());
        ScriptedHttpServer server;
        server.enqueue(initReply());
        server.enqueue(HttpResponse::text({}, 202));
        server.enqueue(ScriptedHttpServer::toolResult({}));
        MCPClient client(server.url(u"/mcp?x=1"_s).toString());
        QVERIFY(QCoro::waitFor(openAndCall(client)).ok());

        const auto &reqs = server.requests();
        QCOMPARE(reqs.size(), 3);
        for (const HttpRequest &r : reqs) {
            QCOMPARE(r.method + ' ' + r.target, QByteArray("POST /mcp?x=1"));
            QCOMPARE(r.header("Content-Type"), QByteArray("application/json"));
            QCOMPARE(r.header("Accept"), QByteArray("application/json, text/event-stream"));
            QVERIFY(!r.hasHeader("Authorization"));
            QVERIFY(!r.body.contains(' ') && !r.body.contains('\n')); // compact JSON
        }
        QVERIFY(!reqs[0].hasHeader("Mcp-Session-Id"));
        QCOMPARE(reqs[1].header("Mcp-Session-Id"), QByteArray("abc-123"));
        QCOMPARE(reqs[2].header("Mcp-Session-Id"), QByteArray("abc-123"));
        QCOMPARE(reqs[0].json(),
            jsonObject(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{)"
                       R"("protocolVersion":"2025-03-26","capabilities":{},)"
                       R"("clientInfo":{"name":"nivet-timestamping-mac","version":"0.2.0"}}})"));
        QCOMPARE(reqs[1].json(), jsonObject(R"({"jsonrpc":"2.0","method":"notifications/initialized"})"));
        QCOMPARE(reqs[2].json(),
            jsonObject(R"({"jsonrpc":"2.0","id":2,"method":"tools/call",)"
                       R"("params":{"name":"stamp","arguments":{"sha256":"ab","scope":""}}})"));
    }

    void sessionHandshake_data()
    {
        QTest::addColumn<HttpResponse>("init");
        QTest::addColumn<QString>("expected"); // session id or error text
        QTest::newRow("lower-case header") << initReply("mcp-session-id", "s1") << u"s1"_s;
        QTest::newRow("no header") << HttpResponse::json(QJsonObject {})
                                   << u"MCP server did not return Mcp-Session-Id"_s;
        // Statuses Qt files under protocol or proxy errors are still answers.
        QTest::newRow("407 text") << HttpResponse::text("proxy", 407) << u"HTTP 407: proxy"_s;
        // The id goes back byte for byte, never through a text decoding.
        QTest::newRow("non-UTF-8 id") << initReply("Mcp-Session-Id", "caf\xe9") << QString::fromLatin1("caf\xe9");
        // Not followed: the session header or a token must not reach another host.
        QTest::newRow("redirect") << HttpResponse::text("moved", 307).withHeader("Location", "http://127.0.0.1:9/mcp")
                                  << u"HTTP 307: moved"_s;
        QTest::newRow("token in the text")
            << HttpResponse::text("tok-abcdefghijkl is revoked", 401) << u"HTTP 401: \u2026efghijkl is revoked"_s;
    }

    void sessionHandshake()
    {
        QFETCH(HttpResponse, init);
        QFETCH(QString, expected);
        QVERIFY(writeFile(authPath(), "access_token=tok-abcdefghijkl\n"));
        m_server.enqueue(init);
        QObject owner;
        const auto session = QCoro::waitFor(makeClient(m_server.url(), &owner)->openSession());
        QCOMPARE(session.ok() ? session.value() : session.error().description, expected);
        if (session.ok())
            QCOMPARE(m_server.requests().at(1).header("Mcp-Session-Id"), init.headers.last().second);
    }

    void toolReplies_data()
    {
        QTest::addColumn<HttpResponse>("reply");
        QTest::addColumn<QByteArray>("expected"); // compact JSON of the result, or "!" + error text
        const QByteArray answer = R"({"jsonrpc":"2.0","id":2,"result":{"structuredContent":{"s":1}}})";
        const QByteArray other = R"({"jsonrpc":"2.0","id":2,"result":{"structuredContent":{"s":0}}})";
        QTest::newRow("structuredContent wins") << rpc(R"({"result":{"structuredContent":{"a":1},)"
                                                       "\"content\":[{\"type\":\"text\",\"text\":\"{\\\"b\\\":2}\"}]}}")
                                                << QByteArray(R"({"a":1})");
        QTest::newRow("content text object")
            << rpc("{\"result\":{\"content\":[{\"text\":\"{\\\"b\\\":2}\"}]}}") << QByteArray(R"({"b":2})");
        QTest::newRow("content text words") << rpc(R"({"result":{"content":[{"text":"hello"}]}})")
                                            << QByteArray("!Invalid JSON in MCP tool result text: illegal value at "
                                                          "offset 1");
        QTest::newRow("result not object") << rpc(R"({"result":[1]})") << QByteArray("!Missing result");
        QTest::newRow("error object wins")
            << rpc(R"({"error":{"code":-32601},"result":{}})") << QByteArray(R"(!["code": -32601])");
        QTest::newRow("isError with text")
            << rpc(R"({"result":{"isError":true,"content":[{"type":"text","text":"bad digest"}]}})")
            << QByteArray("!bad digest");
        // Priming events, notifications, other event types and ids come before the answer.
        QTest::newRow("event stream") << rpc(
            "id: 0\ndata:\n\ndata: {\"jsonrpc\":\"2.0\",\"method\":\"x\"}\n\nevent: other\ndata: " + other
                + "\n\n"
                  "data: {\"jsonrpc\":\"2.0\",\"id\":9,\"result\":{}}\n\n"
                  "event: message\ndata: "
                + answer + "\n\n",
            "text/event-stream; charset=utf-8")
                                      << QByteArray(R"({"s":1})");
        QTest::newRow("event stream without the answer") << rpc("data: {\"jsonrpc\":\"2.0\",\"method\":\"x\"}\n\n",
            "text/event-stream") << QByteArray("!MCP event stream ended without a response");
    }

    void toolReplies()
    {
        QFETCH(HttpResponse, reply);
        QFETCH(QByteArray, expected);
        const auto got = callWith(reply);
        QCOMPARE(got.ok() ? QJsonDocument(got.value()).toJson(QJsonDocument::Compact)
                          : '!' + got.error().description.toUtf8(),
            expected.startsWith('!') ? expected : QJsonDocument::fromJson(expected).toJson(QJsonDocument::Compact));
    }

    void bearerOnEveryRequest_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("authorization"); // empty: no header
        QTest::addColumn<int>("logins");
        const QByteArray creds = "username=alice\npassword=pw\nauth_url=@server\naccess_token=old-token\n";
        QTest::newRow("expiring in 4 minutes: renewed first") << creds + "expires_at=2025-01-31T12:04:00Z\n"
                                                              << QByteArray("Bearer new-token") << 1;
        QTest::newRow("Auth API unreachable: old token")
            << QByteArray(creds + "expires_at=2025-01-31T12:04:00Z\n").replace("@server", "@closed")
            << QByteArray("Bearer old-token") << 0;
        QTest::newRow("blank token: no header") << QByteArray("access_token=  \\n\n") << QByteArray() << 0;
    }

    void bearerOnEveryRequest()
    {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, authorization);
        QFETCH(int, logins);
        file.replace("@server", m_server.url(QString()).toString().toUtf8());
        file.replace("@closed", "http://127.0.0.1:" + QByteArray::number(ScriptedHttpServer::unusedPort()));
        QVERIFY(writeFile(authPath(), file));
        m_reply = result("{}");
        QObject owner;
        QVERIFY(QCoro::waitFor(openAndCall(*makeClient(m_server.url(), &owner))).ok());
        QCOMPARE(m_logins, logins);
        QList<HttpRequest> requests = m_server.requests();
        if (logins > 0) // the renewal comes first, before any MCP request
            QCOMPARE(requests.takeFirst().target, QByteArray("/auth/login"));
        QCOMPARE(requests.size(), 3);
        for (const HttpRequest &request : requests)
            QCOMPARE(
                request.hasHeader("Authorization") ? request.header("Authorization") : QByteArray(), authorization);
    }

    void registerFile_data()
    {
        QTest::addColumn<HttpResponse>("reply");
        QTest::addColumn<FileResult>("expected");
        const QString g = u"global"_s;
        const auto registered = [](const QString &sha, const QString &id, const QString &created, const QString &scope,
                                    const QString &merkle) {
            return row(id, created, scope, u"Registered"_s, merkle, ResultKind::registered, sha);
        };
        const auto error
            = [](const QString &status) { return row({}, {}, u"global"_s, status, {}, ResultKind::error); };
        QTest::newRow("all fields") << result(R"({"receipts":[{"receipt_id":"r-1","hash":"5eed","scope":"team",)"
                                              R"("created_at":"2026-12-05T06:50:30Z","merkle":"m-1"}]})")
                                    << registered(kSha, u"r-1"_s, u"2026-12-05T06:50:30Z"_s, u"team"_s, u"m-1"_s);
        QTest::newRow("no hash: the file's digest, the asked scope")
            << result(R"({"receipts":[{"receipt_id":"r-1","hash":""}]})") << registered(kSha, u"r-1"_s, {}, g, {});
        QTest::newRow("no receipts") << result(R"({"receipts":null})") << error(u"Error: no receipt in MCP response"_s);
    }

    void registerFile()
    {
        QFETCH(HttpResponse, reply);
        QFETCH(FileResult, expected);
        m_reply = reply;
        QCOMPARE(run(true), expected);
        if (expected.kind == ResultKind::error) {
            QVERIFY(!QFileInfo::exists(ReceiptStore::receiptFileURL(kSha)));
            QCOMPARE(m_server.requests().size(), 3);
            return;
        }
        QCOMPARE(rpcMethods(m_server.requests()),
            (QStringList { u"initialize"_s, u"notifications/initialized"_s, u"tools/call"_s }));
        QCOMPARE(toolCalls(m_server.requests())[0].arguments,
            (QJsonObject { { u"sha256"_s, kSha }, { u"scope"_s, u"global"_s } }));
        // Stored as the service sent it, under the file's digest.
        const QJsonObject sent = QJsonDocument::fromJson(reply.body)[u"result"_s][u"structuredContent"_s].toObject();
        QCOMPARE(record().value(u"receipts"_s), sent.value(u"receipts"_s));
        QCOMPARE(record().value(u"source_paths"_s).toArray(), QJsonArray { kPath });
    }

    void registerMergesWithTheStoredRecord()
    {
        // r-2 is on disk already, so the merged record lists it first; stored
        // values fill what the service leaves empty.
        ReceiptStore::save(kSha, { receipt(u"r-2"_s, u"global"_s, u"c-2"_s, u"m-2"_s) }, u"/old/path"_s);
        m_reply = result(R"({"receipts":[{"receipt_id":"r-2","created_at":"","merkle":"m-2b"},)"
                         R"({"receipt_id":"r-1","created_at":"c-1"}]})");
        QCOMPARE(run(true), row(u"r-2"_s, u"c-2"_s, u"global"_s, u"Registered"_s, u"m-2b"_s, ResultKind::registered));
        QCOMPARE(
            record().value(u"receipts"_s).toArray().last(), jsonObject(R"({"receipt_id":"r-1","created_at":"c-1"})"));
        QCOMPARE(record().value(u"source_paths"_s).toArray(), (QJsonArray { u"/old/path"_s, kPath }));
    }

    // The service answered, but the receipt could not be kept: the row fails,
    // says why, and still shows what the service said.
    void unsavedReceiptFailsTheRow()
    {
        QVERIFY(writeFile(m_home.nivet() + u"/receipts"_s, "a file where the folder belongs"));
        const QString why = u"Error: The service answered (%1), but the receipt was not saved: "_s + m_home.nivet()
            + u"/receipts is not a folder"_s;
        for (const bool registering : { true, false }) {
            m_reply = result(R"({"receipts":[{"receipt_id":"r-1","created_at":"c"}]})");
            const FileResult r = run(registering);
            QCOMPARE(r.status, why.arg(registering ? u"Registered"_s : u"Found"_s));
            QCOMPARE(r.kind, ResultKind::error);
            QCOMPARE(r.receiptId + r.createdAt, u"r-1c"_s);
        }
    }

    void verifyByReceiptIdentifier_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<FileResult>("expected");
        const auto valid = [](const QString &id, const QString &created, const QString &scope, const QString &merkle) {
            return row(id, created, scope, u"Valid"_s, merkle, ResultKind::valid);
        };
        const auto local = [](const QString &status, ResultKind kind) {
            return row(u"r-1"_s, u"l-created"_s, u"l-scope"_s, status, u"l-merkle"_s, kind);
        };
        const QByteArray d = R"({"receipt_id":"r-9","created_at":"d-created","merkle":"d-merkle","scope":"d-scope"})";
        QTest::newRow("valid, the receipt's values first")
            << QByteArray(R"({"valid":true,"created_at":"t-created","scope":"t-scope","receipt":)" + d + "}")
            << valid(u"r-9"_s, u"d-created"_s, u"d-scope"_s, u"d-merkle"_s);
        QTest::newRow("created_at before timestamp, merkle before blockHash")
            << QByteArray(R"({"valid":true,"created_at":"c","timestamp":"t","blockHash":"b","scope":"s"})")
            << valid(u"r-1"_s, u"c"_s, u"s"_s, u"b"_s);
        QTest::newRow("valid as text: no verdict")
            << QByteArray(R"({"valid":"true"})") << local(u"Found"_s, ResultKind::found);
        QTest::newRow("false, receipt null: not found") << QByteArray(
            R"({"valid":false,"receipt":null})") << row({}, {}, u"global"_s, u"Not found"_s, {}, ResultKind::notFound);
        QTest::newRow("false with an error")
            << QByteArray(R"({"valid":false,"error":"revoked"})") << local(u"Invalid: revoked"_s, ResultKind::invalid);
    }

    void verifyByReceiptIdentifier()
    {
        QFETCH(QByteArray, reply);
        QFETCH(FileResult, expected);
        const QDateTime earlier(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::UTC);
        ReceiptStore::save(
            kSha, { receipt(u"r-1"_s, u"l-scope"_s, u"l-created"_s, u"l-merkle"_s) }, u"/first/path"_s, earlier);
        const QByteArray before = readFile(ReceiptStore::receiptFileURL(kSha));
        m_reply = ScriptedHttpServer::toolResult(jsonObject(reply));
        QCOMPARE(run(false), expected);
        QCOMPARE(
            toolCalls(m_server.requests())[0].arguments, jsonObject(R"({"receipt_id":"r-1","want_scope":"global"})"));
        if (expected.kind != ResultKind::valid) {
            QCOMPARE(readFile(ReceiptStore::receiptFileURL(kSha)), before);
            return;
        }
        // Written back: fresh updated_at, the path added, the confirmed receipt merged.
        QVERIFY(record().value(u"updated_at"_s).toString() != u"2026-01-02T03:04:05Z"_s);
        QCOMPARE(record().value(u"source_paths"_s).toArray(), (QJsonArray { u"/first/path"_s, kPath }));
        const QJsonObject confirmed { { u"receipt_id"_s, expected.receiptId }, { u"hash"_s, kSha },
            { u"scope"_s, expected.scope }, { u"created_at"_s, expected.createdAt }, { u"merkle"_s, expected.merkle } };
        QVERIFY(record().value(u"receipts"_s).toArray().contains(confirmed));
    }

    void verifyByHashReport_data()
    {
        QTest::addColumn<QByteArray>("local"); // the record file, if any
        QTest::addColumn<HttpResponse>("reply");
        QTest::addColumn<QString>("shown"); // identifier, time, scope, status and merkle of the row
        QTest::addColumn<QByteArray>("saved"); // the stored receipt, empty when nothing is saved
        // The first receipt decides, even when a later one has an identifier.
        QTest::newRow("first local receipt without identifier")
            << QByteArray(R"({"sha256":"5eed","receipts":[{"receipt_id":""},{"receipt_id":"r-2"}],"source_paths":[]})")
            << result(R"({"receipts":[]})") << u"||global|Not found|"_s << QByteArray();
        QTest::newRow("HTTP 500: not found")
            << QByteArray() << HttpResponse::text("down", 500) << u"||global|Not found|"_s << QByteArray();
        QTest::newRow("timestamp and blockHash")
            << QByteArray()
            << result(R"({"receipts":[{"receipt_id":"r-5","scope":"shared","timestamp":"t",)"
                      R"("blockHash":"0xabc"},{"receipt_id":"r-6"}]})")
            << u"r-5|t|shared|Found|0xabc"_s
            << QByteArray(R"({"receipt_id":"r-5","hash":"5eed","scope":"shared","created_at":"t","merkle":"0xabc"})");
    }

    void verifyByHashReport()
    {
        QFETCH(QByteArray, local);
        QFETCH(HttpResponse, reply);
        QFETCH(QString, shown);
        QFETCH(QByteArray, saved);
        if (!local.isEmpty())
            writeFile(ReceiptStore::receiptFileURL(kSha), local);
        m_reply = reply;
        const FileResult r = run(false);
        QCOMPARE(QStringList({ r.receiptId, r.createdAt, r.scope, r.status, r.merkle }).join(u'|'), shown);
        QCOMPARE(toolCalls(m_server.requests()).size(), 1);
        QCOMPARE(toolCalls(m_server.requests())[0].name, u"hash_report"_s);
        QCOMPARE(toolCalls(m_server.requests())[0].arguments, jsonObject(R"({"sha256":"5eed","want_scope":"global"})"));
        if (saved.isEmpty())
            QCOMPARE(readFile(ReceiptStore::receiptFileURL(kSha)), local);
        else
            QCOMPARE(record().value(u"receipts"_s).toArray(), QJsonArray { jsonObject(saved) });
    }
};

QTEST_GUILESS_MAIN(TestMcpClient)
#include "tst_mcpclient.moc"
