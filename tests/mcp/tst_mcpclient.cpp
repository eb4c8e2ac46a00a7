#include "auth/tokensource.h"
#include "core/batchrun.h"
#include "core/jsonwriter.h"
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

HttpResponse result(const QByteArray &json)
{
    return ScriptedHttpServer::toolResult(jsonObject(json));
}

QCoro::Task<Expected<QJsonObject>> openAndCall(MCPClient &client)
{
    auto opening = client.openSession();
    auto session = co_await opening;
    if (!session)
        co_return session.error();
    auto calling = client.callToolRaw(*session, u"stamp"_s, { { u"sha256"_s, u"ab"_s }, { u"scope"_s, QString() } });
    co_return co_await calling;
}

constexpr int kFiles = 30;

// The receipt identifiers of a file's record; one that does not decode fails.
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

} // namespace

/// The MCP client: its requests, the replies it accepts, Register and Verify,
/// and whole runs against a service that misbehaves.
class TestMcpClient : public QObject {
    Q_OBJECT
    IsolatedDataHome m_home; // every request reads the credentials file
    ScriptedHttpServer m_server;
    HttpResponse m_reply; // what every tool call gets

    MCPClient *makeClient(const QUrl &url, QObject *parent)
    {
        auto *made = new MCPClient(url.toString(), std::make_shared<TokenSource>(), parent);
        made->setTransferTimeout(2s);
        return made;
    }

    FileResult run(bool registering)
    {
        QObject owner;
        MCPClient &client = *makeClient(m_server.url(), &owner);
        const QString g = u"global"_s;
        return QCoro::waitFor(registering ? client.registerFile(kPath, kSha, g) : client.verify(kPath, kSha, g));
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
        QVERIFY(writeFile(m_home.nivet() + u"/auth.properties"_s, "access_token=tok-abcdefghijkl\n"));
        m_server.clearRequests();
    }

    void anUnusableEndpointFallsBackToTheDefault()
    {
        QCOMPARE(MCPClient(u"not a url"_s).url().toString(), u"https://mcp.nivet.example/mcp"_s);
        QCOMPARE(MCPClient(u"ftp://host/x"_s).url().toString(), MCPClient::defaultEndpoint());
    }

    void toolReplies_data()
    {
        QTest::addColumn<HttpResponse>("init"); // the reply to initialize
        QTest::addColumn<HttpResponse>("reply");
        QTest::addColumn<QByteArray>("expected"); // compact JSON of the result, or "!" + error text
        const HttpResponse init = initReply();
        const QByteArray a1 = R"({"a":1})";
        const HttpResponse ok = result(a1);
        QTest::newRow("lower-case session header") << initReply("mcp-session-id", "s1") << ok << a1;
        QTest::newRow("no session header")
            << HttpResponse::json(QJsonObject {}) << ok << QByteArray("!MCP server did not return Mcp-Session-Id");
        // Statuses Qt files under protocol or proxy errors are still answers.
        QTest::newRow("407 text") << HttpResponse::text("proxy", 407) << ok << QByteArray("!HTTP 407: proxy");
        // The id goes back byte for byte, never through a text decoding.
        QTest::newRow("non-UTF-8 session id") << initReply("Mcp-Session-Id", "caf\xe9") << ok << a1;
        QTest::newRow("token in the text") << HttpResponse::text("tok-abcdefghijkl is revoked", 401) << ok
                                           << QByteArray("!HTTP 401: \u2026efghijkl is revoked");
        const QByteArray other = R"({"jsonrpc":"2.0","id":2,"result":{"structuredContent":{"s":0}}})";
        const auto rpc = [](const QByteArray &body, const QByteArray &type = "application/json") {
            return HttpResponse::text(body, 200, type);
        };
        const QByteArray text = "\"{\\\"b\\\":2}\""; // a JSON string holding {"b":2}
        const QByteArray notice = "data: {\"jsonrpc\":\"2.0\",\"method\":\"x\"}\n\n";
        QTest::newRow("structuredContent wins")
            << init
            << rpc(R"({"result":{"structuredContent":{"a":1},"content":[{"type":"text","text":)" + text + "}]}}") << a1;
        QTest::newRow("content text object")
            << init << rpc(R"({"result":{"content":[{"text":)" + text + "}]}}") << QByteArray(R"({"b":2})");
        QTest::newRow("content text words")
            << init << rpc(R"({"result":{"content":[{"text":"hello"}]}})")
            << QByteArray("!Invalid JSON in MCP tool result text: illegal value at offset 1");
        QTest::newRow("result not object") << init << rpc(R"({"result":[1]})") << QByteArray("!Missing result");
        QTest::newRow("error object wins")
            << init << rpc(R"({"error":{"code":-32601},"result":{}})") << QByteArray(R"(!["code": -32601])");
        QTest::newRow("isError with text")
            << init << rpc(R"({"result":{"isError":true,"content":[{"type":"text","text":"bad digest"}]}})")
            << QByteArray("!bad digest");
        // Priming events, notifications, other event types and ids come before the answer.
        QTest::newRow("event stream")
            << init
            << rpc("id: 0\ndata:\n\n" + notice + "event: other\ndata: " + other
                       + "\n\ndata: {\"jsonrpc\":\"2.0\",\"id\":9,\"result\":{}}\n\nevent: message\ndata: "
                       + QByteArray(other).replace(":0}", ":1}") + "\n\n",
                   "text/event-stream; charset=utf-8")
            << QByteArray(R"({"s":1})");
        QTest::newRow("event stream without the answer")
            << init << rpc(notice, "text/event-stream") << QByteArray("!MCP event stream ended without a response");
    }

    // The session handshake, the requests as they go on the wire, and the
    // tool replies the client accepts.
    void toolReplies()
    {
        QFETCH(HttpResponse, init);
        QFETCH(HttpResponse, reply);
        QFETCH(QByteArray, expected);
        m_server.enqueue(init);
        m_reply = reply;
        QObject owner; // an event stream held open fails in time if read only at its end
        const auto got = QCoro::waitFor(openAndCall(*makeClient(m_server.url(u"/mcp?x=1"_s), &owner)));
        QCOMPARE(got.ok() ? JsonWriter::compact(got.value()) : '!' + got.error().description.toUtf8(), expected);
        if (!got.ok())
            return;
        QByteArrayList seen;
        for (const HttpRequest &r : m_server.requests()) {
            seen << r.method + ' ' + r.target + '|' + r.header("Content-Type") + '|' + r.header("Accept") + '|'
                    + r.header("Authorization") + '|'
                    + (r.hasHeader("Mcp-Session-Id") ? r.header("Mcp-Session-Id") : "-") + '|' + r.body;
        }
        const QByteArray head
            = "POST /mcp?x=1|application/json|application/json, text/event-stream|Bearer tok-abcdefghijkl|";
        const QByteArray session = head + init.headers.last().second + '|'; // the id byte for byte
        QCOMPARE(seen,
            (QByteArrayList { head
                    + R"(-|{"id":1,"jsonrpc":"2.0","method":"initialize","params":{"capabilities":{},)"
                      R"("clientInfo":{"name":"nivet-timestamping-mac","version":"0.2.0"},)"
                      R"("protocolVersion":"2025-03-26"}})",
                session + R"({"jsonrpc":"2.0","method":"notifications\/initialized"})",
                session
                    + R"({"id":2,"jsonrpc":"2.0","method":"tools\/call","params":{"arguments":)"
                      R"({"scope":"","sha256":"ab"},"name":"stamp"}})" }));
    }

    // Register and Verify of one file: the tool call, the row, and the record
    // kept, as the service sent it, under the file's digest.
    void registerAndVerify_data()
    {
        QTest::addColumn<QByteArray>("local"); // the record file before, if any
        QTest::addColumn<HttpResponse>("reply");
        QTest::addColumn<QString>("shown"); // identifier, time, scope, status, merkle and kind of the row
        QTest::addColumn<QByteArray>("call"); // the one tool call: a stamp registers, the others verify
        QTest::addColumn<QByteArray>("kept"); // the record after, but its time; empty: the file unchanged
        const QByteArray stamp = R"({"stamp":{"sha256":"5eed","scope":"global"}})";
        const QByteArray byId = R"({"verify":{"receipt_id":"r-1","want_scope":"global"}})";
        const QByteArray byHash = R"({"hash_report":{"sha256":"5eed","want_scope":"global"}})";
        const QByteArray mineR1
            = R"({"receipt_id":"r-1","hash":"5eed","scope":"l-scope","created_at":"l-created","merkle":"l-merkle"})";
        const QByteArray mine = R"({"sha256":"5eed","source_paths":["/first/path"],"receipts":[)" + mineR1 + "]}";
        const QByteArray both = R"({"sha256":"5eed","source_paths":["/first/path","/data/report.pdf"],"receipts":[)";
        const QByteArray none;
        const QByteArray ours = R"({"sha256":"5eed","source_paths":["/data/report.pdf"],"receipts":[)";
        const QByteArray team = R"({"receipt_id":"r-1","hash":"5eed","scope":"team","created_at":"c","merkle":"m"})";
        QTest::newRow("registered") << none << result(R"({"receipts":[)" + team + "]}")
                                    << u"r-1|c|team|Registered|m|registered"_s << stamp << ours + team + "]}";
        QTest::newRow("no hash: the file's digest, the asked scope")
            << none << result(R"({"receipts":[{"receipt_id":"r-1","hash":""}]})")
            << u"r-1||global|Registered||registered"_s << stamp << ours + R"({"receipt_id":"r-1","hash":""}]})";
        QTest::newRow("no receipts") << none << result(R"({"receipts":null})")
                                     << u"||global|Error: no receipt in MCP response||error"_s << stamp << none;
        QTest::newRow("valid, the receipt's values first")
            << mine
            << result(R"({"valid":true,"created_at":"t-created","scope":"t-scope","receipt":{"receipt_id":"r-9",)"
                      R"("created_at":"d-created","merkle":"d-merkle","scope":"d-scope"}})")
            << u"r-9|d-created|d-scope|Valid|d-merkle|valid"_s << byId
            << both + mineR1
                + R"(,{"receipt_id":"r-9","hash":"5eed","scope":"d-scope","created_at":"d-created",)"
                  R"("merkle":"d-merkle"}]})";
        QTest::newRow("created_at before timestamp, merkle before blockHash")
            << mine << result(R"({"valid":true,"created_at":"c","timestamp":"t","blockHash":"b","scope":"s"})")
            << u"r-1|c|s|Valid|b|valid"_s << byId
            << both + R"({"receipt_id":"r-1","hash":"5eed","scope":"s","created_at":"c","merkle":"b"}]})";
        QTest::newRow("valid as text: no verdict")
            << mine << result(R"({"valid":"true"})") << u"r-1|l-created|l-scope|Found|l-merkle|found"_s << byId << none;
        QTest::newRow("false, receipt null: not found") << mine << result(R"({"valid":false,"receipt":null})")
                                                        << u"||global|Not found||not_found"_s << byId << none;
        QTest::newRow("false with an error")
            << mine << result(R"({"valid":false,"error":"revoked"})")
            << u"r-1|l-created|l-scope|Invalid: revoked|l-merkle|invalid"_s << byId << none;
        // The first receipt decides, even when a later one has an identifier.
        QTest::newRow("first local receipt without identifier")
            << QByteArray(R"({"sha256":"5eed","receipts":[{"receipt_id":""},{"receipt_id":"r-2"}],"source_paths":[]})")
            << result(R"({"receipts":[]})") << u"||global|Not found||not_found"_s << byHash << none;
        QTest::newRow("HTTP 500: not found")
            << none << HttpResponse::text("down", 500) << u"||global|Not found||not_found"_s << byHash << none;
        QTest::newRow("timestamp and blockHash")
            << none
            << result(R"({"receipts":[{"receipt_id":"r-5","scope":"shared","timestamp":"t",)"
                      R"("blockHash":"0xabc"},{"receipt_id":"r-6"}]})")
            << u"r-5|t|shared|Found|0xabc|found"_s << byHash
            << ours + R"({"receipt_id":"r-5","hash":"5eed","scope":"shared","created_at":"t","merkle":"0xabc"}]})";
    }

    void registerAndVerify()
    {
        QFETCH(QByteArray, local);
        QFETCH(HttpResponse, reply);
        QFETCH(QString, shown);
        QFETCH(QByteArray, call);
        QFETCH(QByteArray, kept);
        const QString file = ReceiptStore::receiptFileURL(kSha);
        if (!local.isEmpty())
            QVERIFY(writeFile(file, local));
        m_reply = reply;
        const FileResult r = run(call.contains("stamp"));
        const QStringList row { r.path, r.sha256, r.receiptId, r.createdAt, r.scope, r.status, r.merkle,
            ResultKinds::toText(r.kind) };
        QCOMPARE(row.join(u'|'), kPath + u'|' + kSha + u'|' + shown);
        const QList<ToolCall> calls = toolCalls(m_server.requests());
        QCOMPARE(m_server.requests().size(), 3);
        QCOMPARE((QJsonObject { { calls.value(0).name, calls.value(0).arguments } }), jsonObject(call));
        QJsonObject record = QJsonDocument::fromJson(readFile(file)).object();
        record.remove(u"updated_at"_s);
        if (kept.isEmpty())
            QCOMPARE(readFile(file), local);
        else
            QCOMPARE(record, jsonObject(kept));
    }

    // The service answered, but the receipt could not be kept: the row fails,
    // says why, and still shows what the service said.
    void unsavedReceiptFailsTheRow()
    {
        QVERIFY(writeFile(m_home.nivet() + u"/receipts"_s, "a file where the folder belongs"));
        const QString why = u"Error: The service answered (%1), but the receipt was not saved: "_s + m_home.nivet()
            + u"/receipts is not a folder"_s;
        m_reply = result(R"({"receipts":[{"receipt_id":"r-1","created_at":"c"}]})");
        for (const bool registering : { true, false }) {
            const FileResult r = run(registering);
            QCOMPARE(r.status, why.arg(registering ? u"Registered"_s : u"Found"_s));
            QCOMPARE(r.kind, ResultKind::error);
            QCOMPARE(r.receiptId + r.createdAt, u"r-1c"_s);
        }
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
                  if (tool == u"verify"_s)
                      return ScriptedHttpServer::toolResult(
                          { { u"valid"_s, stamped.values().contains(args[u"receipt_id"_s].toString()) } });
                  if (tool == u"stamp"_s)
                      stamped.insert(sha, u"r%1"_s.arg(stamped.size() + 1));
                  const QJsonArray receipts { QJsonObject { { u"receipt_id"_s, stamped.value(sha) } } };
                  return ScriptedHttpServer::toolResult(
                      { { u"receipts"_s, stamped.contains(sha) ? receipts : QJsonArray() } });
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
        const auto runAll = [&](BatchRun::Action batch) {
            BatchRun run([timeoutMs](const QString &url) {
                auto client = std::make_unique<MCPClient>(url);
                client->setTransferTimeout(std::chrono::milliseconds(timeoutMs));
                return client;
            });
            auto task = run.run(batch, files, server.url().toString(), [] { return u"global"_s; });
            QCoro::waitFor(task);
            return run.results();
        };

        // A registered row's receipt is on disk; any other row is an error.
        const QList<FileResult> registered = runAll(BatchRun::Action::registerFiles);
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
        const QList<FileResult> verified = runAll(BatchRun::Action::verifyFiles);
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
        QVERIFY2(passed >= stamped.size() - (3 * kFiles / every + 1), qPrintable(QString::number(passed)));
        for (const QString &name : QDir(NivetPaths::receiptsDirectory()).entryList(QDir::Files))
            QVERIFY2(name.endsWith(u".json"_s) && digests.contains(name.chopped(5)), qPrintable(u"stray "_s + name));
    }
};

QTEST_GUILESS_MAIN(TestMcpClient)
#include "tst_mcpclient.moc"
