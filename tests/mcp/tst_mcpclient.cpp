#include "auth/tokensource.h"
#include "core/batchrun.h"
#include "mcp/mcpclient.h"
#include "storage/nivetpaths.h"
#include "storage/receiptstore.h"

#include "scriptedhttpserver.h"
#include "testenv.h"
#include "toolcalls.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using Action = HttpResponse::Action;

namespace {

const QString kSha = u"5eed"_s;
const QString kPath = u"/data/report.pdf"_s;

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

constexpr int kFiles = 30;

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

// The receipt identifiers a file's record holds; a record that does not
// decode fails the test.
QStringList storedIds(const QString &sha)
{
    QStringList ids;
    const auto record = ReceiptStore::read(sha);
    if (!record && QFile::exists(ReceiptStore::receiptFileURL(sha)))
        QTest::qFail(qPrintable(u"undecodable record of "_s + sha), __FILE__, __LINE__);
    for (const Receipt &r : record ? record->receipts : QList<Receipt>())
        ids.append(r.receiptId.value_or(QString()));
    return ids;
}

QJsonObject record()
{
    return QJsonDocument::fromJson(readFile(ReceiptStore::receiptFileURL(kSha))).object();
}

} // namespace

/// The MCP client: its requests, the replies it accepts, Register and Verify,
/// and whole runs against a service that misbehaves.
class TestMcpClient : public QObject {
    Q_OBJECT
    IsolatedDataHome m_home; // every request reads the credentials file
    ScriptedHttpServer m_server;
    HttpResponse m_reply; // what every tool call gets

    QString authPath() const { return m_home.nivet() + u"/auth.properties"_s; }

    MCPClient *makeClient(const QUrl &url, QObject *parent)
    {
        auto *made = new MCPClient(url.toString(), std::make_shared<TokenSource>(), parent);
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
        m_server.setHandler(ScriptedHttpServer::mcp(
            [this](const QString &, const QJsonObject &, const HttpRequest &) { return m_reply; }));
    }

    void init()
    {
        QDir(m_home.nivet()).removeRecursively();
        m_server.clearRequests();
        m_reply = HttpResponse::text("no answer set", 500);
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
        QCOMPARE(toolCalls(m_server.requests())[0].arguments,
            (QJsonObject { { u"sha256"_s, kSha }, { u"scope"_s, u"global"_s } }));
        // Stored as the service sent it, under the file's digest.
        const QJsonObject sent = QJsonDocument::fromJson(reply.body)[u"result"_s][u"structuredContent"_s].toObject();
        QCOMPARE(record().value(u"receipts"_s), sent.value(u"receipts"_s));
        QCOMPARE(record().value(u"source_paths"_s).toArray(), QJsonArray { kPath });
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
        ReceiptStore::save(kSha, { Receipt { u"r-1"_s, kSha, u"l-scope"_s, u"l-created"_s, u"l-merkle"_s, {} } },
            u"/first/path"_s, earlier);
        const QByteArray before = readFile(ReceiptStore::receiptFileURL(kSha));
        m_reply = ScriptedHttpServer::toolResult(jsonObject(reply));
        QCOMPARE(run(false), expected);
        QCOMPARE(
            toolCalls(m_server.requests())[0].arguments, jsonObject(R"({"receipt_id":"r-1","want_scope":"global"})"));
        if (expected.kind != ResultKind::valid) {
            QCOMPARE(readFile(ReceiptStore::receiptFileURL(kSha)), before);
            return;
        }
        // Written back: the path added, the confirmed receipt merged.
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
    // A 30-file Register and then Verify over real loopback HTTP against a
    // service that misbehaves: whatever the network does, every run ends with
    // one row per file, and the receipts on disk stay whole and complete.
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
        QStringList files, digests;
        for (int i = 0; i < kFiles; ++i) {
            files.append(dir.filePath(u"f%1.txt"_s.arg(i, 3, 10, QLatin1Char('0'))));
            digests.append(digestOf(QByteArray::number(i)));
            QVERIFY(writeFile(files.last(), QByteArray::number(i)));
        }
        // A service that remembers what it stamped, so that Verify can find
        // receipts whose Register reply never reached the client.
        QHash<QString, QString> stamped; // receipt id by digest
        int requests = 0;
        const auto mcp
            = ScriptedHttpServer::mcp([&](const QString &tool, const QJsonObject &args, const HttpRequest &) {
                  const QString sha = args.value(u"sha256"_s).toString();
                  if (tool == u"verify"_s) {
                      const bool known = stamped.values().contains(args[u"receipt_id"_s].toString());
                      return ScriptedHttpServer::toolResult({ { u"valid"_s, known } });
                  }
                  if (tool == u"stamp"_s)
                      stamped.insert(sha, u"r%1"_s.arg(stamped.size() + 1));
                  QJsonArray receipts;
                  if (stamped.contains(sha))
                      receipts.append(QJsonObject { { u"receipt_id"_s, stamped[sha] } });
                  return ScriptedHttpServer::toolResult({ { u"receipts"_s, receipts } });
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

        // A registered row's receipt is on disk; any other row is an error.
        const QList<FileResult> registered = runBatch(BatchRun::Action::registerFiles, files, url, timeoutMs);
        QCOMPARE(registered.size(), files.size());
        int ok = 0;
        for (qsizetype i = 0; i < registered.size(); ++i) {
            QCOMPARE(registered[i].path, files[i]);
            const bool saved = registered[i].kind == ResultKind::registered;
            QVERIFY2(saved ? storedIds(digests[i]) == QStringList { registered[i].receiptId }
                           : registered[i].kind == ResultKind::error,
                qPrintable(files[i]));
            ok += saved;
        }
        QVERIFY2(action < 0 && every == 3 ? ok == 0 : ok > 0 && ok < kFiles, qPrintable(QString::number(ok)));

        // Verify against the same service: local receipts go by identifier,
        // the rest by a report on the digest. Nothing kept is lost.
        const QList<FileResult> verified = runBatch(BatchRun::Action::verifyFiles, files, url, timeoutMs);
        QCOMPARE(verified.size(), files.size());
        int passed = 0;
        for (qsizetype i = 0; i < verified.size(); ++i) {
            const FileResult &row = verified[i];
            QCOMPARE(row.path, files[i]);
            QVERIFY2(row.kind != ResultKind::invalid, qPrintable(row.path + u" "_s + row.status));
            const QStringList kept = storedIds(digests[i]);
            if (registered[i].kind == ResultKind::registered)
                QVERIFY2(kept.contains(registered[i].receiptId), qPrintable(u"receipt lost for "_s + row.path));
            if (row.passes())
                QVERIFY2(kept.contains(stamped.value(digests[i]))
                        && (row.kind == ResultKind::valid || registered[i].kind != ResultKind::registered),
                    qPrintable(row.path));
            passed += row.passes();
        }
        // A file the service stamped fails only where a fault hit one of its
        // three Verify requests.
        const int hits = 3 * kFiles / every + 1;
        QVERIFY2(passed >= stamped.size() - hits, qPrintable(QString::number(passed)));
        for (const QString &name : QDir(NivetPaths::receiptsDirectory()).entryList(QDir::Files))
            QVERIFY2(name.endsWith(u".json"_s) && digests.contains(name.chopped(5)), qPrintable(u"stray "_s + name));
    }
};

QTEST_GUILESS_MAIN(TestMcpClient)
#include "tst_mcpclient.moc"
