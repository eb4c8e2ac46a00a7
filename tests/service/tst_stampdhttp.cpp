#include "service/stampserver.h"

#include "auth/authstore.h"
#include "mcp/mcpclient.h"
#include "service/receiptdatabase.h"
#include "servicetestkit.h"
#include "testenv.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSemaphore>
#include <QSet>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace McpRequests;

namespace {

// Saves a bearer token, as logging in does; every client sends it from then on.
bool saveToken(const QByteArray &token)
{
    AuthStore::shared().setAccessToken(QString::fromLatin1(token));
    return AuthStore::shared().save().ok();
}

// One tool call in a fresh session: what Register and Verify do per file.
QCoro::Task<Expected<QJsonObject>> callInSession(MCPClient *client, QString name, QJsonObject arguments)
{
    auto session = co_await client->openSession();
    if (!session)
        co_return session.error();
    const QString id = session.value();
    co_return co_await client->callToolRaw(id, name, arguments);
}

Expected<QJsonObject> callTool(MCPClient &client, const QString &name, const QJsonObject &arguments)
{
    auto task = callInSession(&client, name, arguments);
    return QCoro::waitFor(task);
}

// The failure text of a result, for QVERIFY2 (which always evaluates it).
QByteArray why(const Expected<QJsonObject> &result)
{
    return result.ok() ? QByteArray() : result.error().description.toUtf8();
}

QJsonObject stampArgs(const QString &digest, const QString &scope)
{
    return QJsonObject { { QStringLiteral("sha256"), digest }, { QStringLiteral("scope"), scope } };
}

struct RawReply {
    int status = 0;
    QByteArray contentType;
    QByteArray sessionId;
    QByteArray body;
};

RawReply send(QNetworkAccessManager &network, const QByteArray &verb, const QUrl &url, const QByteArray &body,
    const HeaderList &headers)
{
    QNetworkRequest request(url);
    for (const auto &[name, value] : headers)
        request.setRawHeader(name, value);
    std::unique_ptr<QNetworkReply> reply(network.sendCustomRequest(request, verb, body));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    if (!reply->isFinished())
        finished.wait(20'000);
    return RawReply { reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
        reply->rawHeader("Content-Type"), reply->rawHeader("Mcp-Session-Id"), reply->readAll() };
}

QUrl endpoint(const StampServer &server, const char *path)
{
    QUrl url = server.baseUrl();
    url.setPath(QString::fromLatin1(path));
    return url;
}

const HeaderList kJsonHeaders { { "Content-Type", "application/json" },
    { "Accept", "application/json, text/event-stream" } };

// Sends bytes on a raw connection and returns what comes back: one whole
// response (or a "100 Continue"), or all the server sent before it closed.
QByteArray exchange(QTcpSocket &socket, const QByteArray &bytes)
{
    socket.write(bytes);
    QByteArray received;
    [[maybe_unused]] const bool done = QTest::qWaitFor(
        [&] {
            received += socket.readAll();
            const qsizetype end = received.indexOf("\r\n\r\n");
            const qsizetype length = received.indexOf("\r\nContent-Length: ");
            const qsizetype body = length < 0 ? 0 : received.mid(length + 18, end - length - 18).toLongLong();
            return socket.state() == QAbstractSocket::UnconnectedState
                || (end >= 0 && (received.startsWith("HTTP/1.1 100 ") || received.size() >= end + 4 + body));
        },
        20'000);
    return received;
}

bool closedByServer(QTcpSocket &socket)
{
    return QTest::qWaitFor(
        [&] { return socket.readAll().isEmpty() && socket.state() == QAbstractSocket::UnconnectedState; }, 20'000);
}

const QByteArray kOtherPath = "GET /other HTTP/1.1\r\n\r\n";

} // namespace

class TestStampdHttp : public QObject {
    Q_OBJECT
    IsolatedDataHome m_home;
    QTemporaryDir m_dir;
    static constexpr qint64 kStart = 1738324800000; // 2025-01-31T12:00:00.000Z
    qint64 m_now = kStart;
    QStringList m_log;
    QNetworkAccessManager m_network;

    std::unique_ptr<StampServer> start(ServiceOptions options, const QString &folder)
    {
        options.dataDir = m_dir.filePath(folder);
        auto server = StampServer::start(
            options, QHostAddress::LocalHost, 0, [this](const QString &line) { m_log.append(line); },
            [this] { return m_now; });
        if (!server)
            qFatal("%s", qPrintable(server.error().description));
        return std::move(server).value();
    }

private Q_SLOTS:
    void init()
    {
        m_now = kStart;
        m_log.clear();
    }

    void clientRoundTrip_data()
    {
        QTest::addColumn<bool>("eventStream");
        QTest::newRow("JSON replies") << false;
        QTest::newRow("event-stream replies") << true;
    }

    // The project's own MCP client stamps, verifies and asks for a hash
    // report, one session per call, against the real service.
    void clientRoundTrip()
    {
        QFETCH(bool, eventStream);
        ServiceOptions options;
        options.eventStream = eventStream;
        auto server = start(options, QStringLiteral("roundtrip-%1").arg(eventStream));
        MCPClient client(server->mcpUrl().toString());
        const QString digest = digestOf("contract.pdf");

        const auto stamped = callTool(client, QStringLiteral("stamp"), stampArgs(digest, QStringLiteral("global")));
        QVERIFY2(stamped.ok(), why(stamped).constData());
        const QJsonObject receipt = stamped->value(QStringLiteral("receipts")).toArray().first().toObject();
        QCOMPARE(receipt.value(QStringLiteral("hash")).toString(), digest);
        QCOMPARE(receipt.value(QStringLiteral("created_at")).toString(), QStringLiteral("2025-01-31T12:00:00.000Z"));
        const QString id = receipt.value(QStringLiteral("receipt_id")).toString();

        const auto verified = callTool(client, QStringLiteral("verify"),
            QJsonObject {
                { QStringLiteral("receipt_id"), id }, { QStringLiteral("want_scope"), QStringLiteral("global") } });
        QVERIFY(verified.ok());
        QCOMPARE(verified->value(QStringLiteral("valid")), QJsonValue(true));
        QCOMPARE(verified->value(QStringLiteral("receipt")).toObject(), receipt);

        const auto report = callTool(client, QStringLiteral("hash_report"),
            QJsonObject {
                { QStringLiteral("sha256"), digest }, { QStringLiteral("want_scope"), QStringLiteral("global") } });
        QVERIFY(report.ok());
        QCOMPARE(report->value(QStringLiteral("receipts")).toArray(), QJsonArray { receipt });

        // A bad digest reaches the client as the service's own words.
        const auto refused = callTool(client, QStringLiteral("stamp"), stampArgs(QStringLiteral("abc"), QString()));
        QCOMPARE(
            refused.error().description, QStringLiteral("Invalid sha256: expected 64 hexadecimal characters, got 3"));

        // The reply form on the wire; the notification's 202 has no body.
        const RawReply init = send(m_network, "POST", server->mcpUrl(), initialize(), kJsonHeaders);
        HeaderList inSession = kJsonHeaders;
        inSession.append({ "Mcp-Session-Id", init.sessionId });
        const RawReply ack = send(m_network, "POST", server->mcpUrl(),
            R"({"jsonrpc":"2.0","method":"notifications/initialized"})", inSession);
        QCOMPARE(ack.status, 202);
        QCOMPARE(ack.body, QByteArray());
        const RawReply call
            = send(m_network, "POST", server->mcpUrl(), R"({"jsonrpc":"2.0","id":2,"method":"ping"})", inSession);
        QCOMPARE(call.status, 200);
        QCOMPARE(call.contentType, eventStream ? QByteArray("text/event-stream") : QByteArray("application/json"));
        QCOMPARE(call.body,
            eventStream ? QByteArray("event: message\ndata: {\"id\":2,\"jsonrpc\":\"2.0\",\"result\":{}}\n\n")
                        : QByteArray("{\"id\":2,\"jsonrpc\":\"2.0\",\"result\":{}}"));
        const RawReply ended = send(m_network, "DELETE", server->mcpUrl(), {}, inSession);
        QCOMPARE(ended.status, 200);
        QCOMPARE(
            send(m_network, "POST", server->mcpUrl(), R"({"jsonrpc":"2.0","id":2,"method":"ping"})", inSession).status,
            404);
    }

    // Every receipt's merkle is the root of the leaves so far, and its audit
    // path, checked by code that shares nothing with the service, leads there.
    void inclusionProofsCheckOut()
    {
        auto server = start({}, QStringLiteral("proofs"));
        MCPClient client(server->mcpUrl().toString());
        QList<QByteArray> leaves;
        for (int i = 0; i < 11; ++i) {
            const QString digest = digestOf("file " + QByteArray::number(i));
            leaves.append(QByteArray::fromHex(digest.toLatin1()));
            const auto stamped = callTool(client, QStringLiteral("stamp"), stampArgs(digest, QStringLiteral("audit")));
            QVERIFY(stamped.ok());
            const QJsonObject receipt = stamped->value(QStringLiteral("receipts")).toArray().first().toObject();
            const QByteArray root = ReferenceMerkle::root(leaves);
            QCOMPARE(receipt.value(QStringLiteral("merkle")).toString().toLatin1(), root.toHex());

            const auto proof = callTool(client, QStringLiteral("proof"),
                QJsonObject { { QStringLiteral("receipt_id"), receipt.value(QStringLiteral("receipt_id")) } });
            QVERIFY(proof.ok());
            QCOMPARE(proof->value(QStringLiteral("leaf_index")).toInt(), i);
            QCOMPARE(proof->value(QStringLiteral("tree_size")).toInt(), i + 1);
            QList<QByteArray> path;
            for (const QJsonValue &hash : proof->value(QStringLiteral("audit_path")).toArray())
                path.append(QByteArray::fromHex(hash.toString().toLatin1()));
            QVERIFY(ReferenceMerkle::verifyInclusion(i, i + 1, ReferenceMerkle::leafHash(leaves.last()), path,
                QByteArray::fromHex(receipt.value(QStringLiteral("merkle")).toString().toLatin1())));
        }
    }

    // A client that opens a session per file and never closes it: the table
    // stays within its bound, and after the idle time it is empty.
    void abandonedSessionsStayBounded()
    {
        ServiceOptions options;
        options.maxSessions = 1000;
        options.sessionTtlMs = 60'000;
        auto server = start(options, QStringLiteral("sessions"));
        QNetworkRequest request(server->mcpUrl());
        for (const auto &[name, value] : kJsonHeaders)
            request.setRawHeader(name, value);

        constexpr int kSessions = 5000;
        QSet<QByteArray> ids;
        QByteArray firstId;
        int ok = 0;
        int sent = 0;
        int pending = kSessions;
        QEventLoop loop;
        // A few requests in flight at a time, like a busy client would have.
        std::function<void()> sendNext = [&] {
            QNetworkReply *reply = m_network.post(request, initialize());
            ++sent;
            connect(reply, &QNetworkReply::finished, this, [&, reply] {
                if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200)
                    ++ok;
                ids.insert(reply->rawHeader("Mcp-Session-Id"));
                if (firstId.isEmpty())
                    firstId = reply->rawHeader("Mcp-Session-Id");
                reply->deleteLater();
                if (--pending == 0)
                    loop.quit();
                else if (sent < kSessions)
                    sendNext();
            });
        };
        for (int i = 0; i < 6; ++i)
            sendNext();
        loop.exec();
        QCOMPARE(ok, kSessions);
        QCOMPARE(ids.size(), kSessions);
        QCOMPARE(server->service().sessionCount(), 1000);

        m_now += 60'000;
        server->service().expireSessions(); // what the sweep timer does
        QCOMPARE(server->service().sessionCount(), 0);
        HeaderList inSession = kJsonHeaders;
        inSession.append({ "Mcp-Session-Id", firstId });
        QCOMPARE(
            send(m_network, "POST", server->mcpUrl(), R"({"jsonrpc":"2.0","id":2,"method":"ping"})", inSession).status,
            404);
    }

    void limitsAnswerAndClose_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("closed");
        QTest::addColumn<QByteArray>("logged"); // the request's log line: method, path, status
        const QByteArray post = "POST /mcp HTTP/1.1\r\nHost: t\r\nContent-Type: application/json\r\n";
        const QByteArray init = initialize();
        const QByteArray half = QByteArray(512 * 1024, ' ');
        const QByteArray chunked = post + "Transfer-Encoding: chunked\r\n\r\n";
        QTest::newRow("body of 1 MiB") << post + "Content-Length: 1048576\r\n\r\n"
                                       << init.leftJustified(1 << 20, ' ') << 200 << false
                                       << QByteArray("POST /mcp 200");
        QTest::newRow("declared body over 1 MiB") << post + "Content-Length: 1048577\r\n\r\n"
                                                  << QByteArray() << 413 << true << QByteArray("POST /mcp 413");
        QTest::newRow("chunked body") << chunked
                                      << "a\r\n" + init.left(10) + "\r\n" + QByteArray::number(init.size() - 10, 16)
                + ";x=y\r\n" + init.mid(10) + "\r\n0\r\nTrailer: t\r\n\r\n"
                                      << 200 << false << QByteArray("POST /mcp 200");
        QTest::newRow("chunked body over 1 MiB")
            << chunked << ("80000\r\n" + half + "\r\n").repeated(3) << 413 << true << QByteArray("POST /mcp 413");
        QTest::newRow("chunk size not hex")
            << chunked << QByteArray("\x11\r\n{}\r\n0\r\n\r\n") << 400 << true << QByteArray("POST /mcp 400");
        QTest::newRow("waits for 100 Continue")
            << post + "Expect: 100-continue\r\nContent-Length: " + QByteArray::number(init.size()) + "\r\n\r\n"
            << init << 200 << false << QByteArray("POST /mcp 200");
        QTest::newRow("no 100 Continue over 1 MiB") << post + "Expect: 100-continue\r\nContent-Length: 2000000\r\n\r\n"
                                                    << QByteArray() << 413 << true << QByteArray("POST /mcp 413");
        QTest::newRow("head over 16 KiB") << post + "X-Pad: " + QByteArray(16 * 1024, 'a') + "\r\n\r\n"
                                          << QByteArray() << 431 << true << QByteArray("- - 431");
        QTest::newRow("two framings") << post + "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n"
                                      << QByteArray() << 400 << true << QByteArray("POST /mcp 400");
        QTest::newRow("control bytes in the path")
            << QByteArray("GET /a%0d%1\x1b[2J\\ HTTP/1.1\r\n\r\n") << QByteArray() << 400 << true
            << QByteArray("GET /a%0d%1\\x1b[2J\\x5c 400");
        QTest::newRow("HTTP/1.0") << QByteArray("GET /mcp?password=x HTTP/1.0\r\n\r\n") << QByteArray() << 405 << true
                                  << QByteArray("GET /mcp 405");
    }

    // Requests past a limit are answered from what arrived so far, and their
    // connection closed; requests within the limits leave it open.
    void limitsAnswerAndClose()
    {
        QFETCH(QByteArray, head);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(bool, closed);
        QFETCH(QByteArray, logged);
        auto server = start({}, QStringLiteral("limits"));
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(server->baseUrl().port()));
        const bool waitsToSend = head.contains("Expect") && status == 200;
        QByteArray reply = exchange(socket, waitsToSend ? head : head + body);
        if (waitsToSend) {
            QCOMPARE(reply, QByteArray("HTTP/1.1 100 Continue\r\n\r\n"));
            reply = exchange(socket, body);
        }
        QVERIFY2(reply.startsWith("HTTP/1.1 " + QByteArray::number(status) + ' '), reply.left(300).constData());
        if (closed)
            QVERIFY(closedByServer(socket));
        else
            QVERIFY(exchange(socket, kOtherPath).startsWith("HTTP/1.1 404 "));
        QVERIFY2(m_log.value(0).section(QLatin1Char(' '), 1, 3).toUtf8() == logged, qPrintable(m_log.value(0)));
    }

    // A connection that sends no whole request in the idle time is closed;
    // past the cap the one idle the longest goes, and the newcomer is served.
    void idleAndSurplusConnectionsAreClosed()
    {
        ServiceOptions options;
        options.idleTimeoutMs = 50;
        auto hasty = start(options, QStringLiteral("idle"));
        QTcpSocket slow;
        slow.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(hasty->baseUrl().port()));
        slow.write("GET /other HTTP/1.1\r\nHost:");
        QVERIFY(closedByServer(slow));

        options = {};
        options.maxConnections = 3;
        auto server = start(options, QStringLiteral("capped"));
        QTcpSocket a, b, c, d;
        for (QTcpSocket *socket : { &a, &b, &c, &a, &d }) {
            if (socket->state() == QAbstractSocket::UnconnectedState)
                socket->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(server->baseUrl().port()));
            QVERIFY(exchange(*socket, kOtherPath).startsWith("HTTP/1.1 404 "));
        }
        QVERIFY(closedByServer(b));
        QCOMPARE(a.state(), QAbstractSocket::ConnectedState);
        QCOMPARE(c.state(), QAbstractSocket::ConnectedState);
    }

    // Password checks run on the workers: while logins wait for them, another
    // client is answered, and a connection waiting for its answer is not the
    // one closed to make room.
    void loginsWaitOffTheEventLoop()
    {
        ServiceOptions options;
        options.maxConnections = 4;
        auto server = start(options, QStringLiteral("logins"));
        QVERIFY(addTestUser(
            server->service().database(), QStringLiteral("ann"), QStringLiteral("user"), QStringLiteral("pw")));
        QThreadPool &workers = server->http().workers();
        QSemaphore gate;
        for (int i = 0; i < workers.maxThreadCount(); ++i)
            workers.start([&gate] { gate.acquire(); });
        const auto open = qScopeGuard([&] { gate.release(workers.maxThreadCount()); });

        const quint16 port = static_cast<quint16>(server->baseUrl().port());
        QTcpSocket logins[3];
        const QByteArray bodies[3] = { R"({"username":"ann","password":"pw"})", R"({"username":"ann","password":"no"})",
            R"({"username":"eve","password":"pw"})" };
        for (int i = 0; i < 3; ++i) {
            logins[i].connectToHost(QHostAddress::LocalHost, port);
            logins[i].write("POST /auth/login HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: "
                + QByteArray::number(bodies[i].size()) + "\r\n\r\n" + bodies[i]);
            QVERIFY(QTest::qWaitFor([&] { return logins[i].bytesToWrite() == 0; }, 20'000));
        }
        QTcpSocket other;
        other.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(exchange(other,
            "POST /mcp HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: "
                + QByteArray::number(initialize().size()) + "\r\n\r\n" + initialize())
                    .startsWith("HTTP/1.1 200 "));
        QTcpSocket late;
        late.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(exchange(late, kOtherPath).startsWith("HTTP/1.1 404 "));
        QVERIFY(closedByServer(other));
        for (const QTcpSocket &login : logins)
            QCOMPARE(login.bytesAvailable(), 0);

        gate.release(workers.maxThreadCount());
        QVERIFY(exchange(logins[0], {}).startsWith("HTTP/1.1 200 "));
        QVERIFY(exchange(logins[1], {}).startsWith("HTTP/1.1 401 "));
        QVERIFY(exchange(logins[2], {}).startsWith("HTTP/1.1 401 "));
    }

    // The two Auth API requests exactly as the app sends them, and the reply
    // members it reads.
    void loginAndValidate()
    {
        auto server = start({}, QStringLiteral("auth"));
        QVERIFY(addTestUser(
            server->service().database(), QStringLiteral("ann"), QStringLiteral("auditor"), QStringLiteral("pw")));
        const QUrl login = endpoint(*server, "/auth/login");
        const HeaderList loginHeaders { { "Content-Type", "application/json" }, { "Accept", "application/json" } };
        const RawReply reply = send(m_network, "POST", login, R"({"username":"ann","password":"pw"})", loginHeaders);
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.contentType, QByteArray("application/json"));
        const QJsonObject body = QJsonDocument::fromJson(reply.body).object();
        const QString token = body.value(QStringLiteral("token")).toString();
        QVERIFY(!token.isEmpty());
        QCOMPARE(body.value(QStringLiteral("expiresAt")).toString(), QStringLiteral("2025-01-31T13:00:00.000Z"));
        QCOMPARE(body.value(QStringLiteral("user")).toObject(),
            (QJsonObject { { QStringLiteral("username"), QStringLiteral("ann") },
                { QStringLiteral("role"), QStringLiteral("auditor") } }));

        const QUrl validate = endpoint(*server, "/auth/validate");
        const RawReply valid = send(m_network, "GET", validate, {},
            { { "Accept", "application/json" }, { "Authorization", "Bearer " + token.toLatin1() } });
        QCOMPARE(valid.status, 200);
        const QJsonObject user = QJsonDocument::fromJson(valid.body).object().value(QStringLiteral("user")).toObject();
        QCOMPARE(user.value(QStringLiteral("username")).toString(), QStringLiteral("ann"));
        QCOMPARE(user.value(QStringLiteral("role")).toString(), QStringLiteral("auditor"));

        const RawReply refused = send(m_network, "POST", login, R"({"username":"ann","password":"PW"})", loginHeaders);
        QCOMPARE(refused.status, 401);
        QCOMPARE(refused.body, QByteArray("Invalid user name or password"));
    }

    void requireAuthRefusesAnonymousClients()
    {
        ServiceOptions options;
        options.requireAuth = true;
        auto server = start(options, QStringLiteral("locked"));
        QVERIFY(addTestUser(
            server->service().database(), QStringLiteral("ann"), QStringLiteral("user"), QStringLiteral("pw")));
        MCPClient client(server->mcpUrl().toString());
        const auto refused = callTool(client, QStringLiteral("stamp"), stampArgs(digestOf("x"), QString()));
        QCOMPARE(refused.error().description, QStringLiteral("HTTP 401: Missing bearer token"));
        QVERIFY(saveToken("not.a.token"));
        QCOMPARE(callTool(client, QStringLiteral("stamp"), stampArgs(digestOf("x"), QString())).error().description,
            QStringLiteral("HTTP 401: Invalid or expired token"));

        const QUrl login = endpoint(*server, "/auth/login");
        const RawReply reply = send(m_network, "POST", login, R"({"username":"ann","password":"pw"})",
            { { "Content-Type", "application/json" } });
        QVERIFY(saveToken(
            QJsonDocument::fromJson(reply.body).object().value(QStringLiteral("token")).toString().toLatin1()));
        const auto stamped = callTool(client, QStringLiteral("stamp"), stampArgs(digestOf("x"), QString()));
        QVERIFY2(stamped.ok(), why(stamped).constData());
        const QString id = stamped->value(QStringLiteral("receipts"))[0][QStringLiteral("receipt_id")].toString();
        QCOMPARE(server->service().database().receipt(id).value()->stampedBy, QStringLiteral("ann"));
    }

    // One line per request with method, path, status and time, and nothing
    // of what travels in headers or bodies.
    void requestLogKeepsSecrets()
    {
        auto server = start({}, QStringLiteral("log"));
        QVERIFY(addTestUser(server->service().database(), QStringLiteral("ann"), QStringLiteral("user"),
            QStringLiteral("hunter2-secret")));
        m_log.clear();
        QUrl login = endpoint(*server, "/auth/login");
        login.setQuery(QStringLiteral("password=hunter2-secret"));
        const RawReply reply = send(m_network, "POST", login, R"({"username":"ann","password":"hunter2-secret"})",
            { { "Content-Type", "application/json" } });
        const QByteArray token
            = QJsonDocument::fromJson(reply.body).object().value(QStringLiteral("token")).toString().toLatin1();
        QVERIFY(saveToken(token));
        MCPClient client(server->mcpUrl().toString());
        QVERIFY(callTool(client, QStringLiteral("stamp"), stampArgs(digestOf("x"), QString())).ok());

        QCOMPARE(m_log.size(), 4);
        static const QRegularExpression line(
            QStringLiteral("^2025-01-31T12:00:00\\.000Z (POST|GET|DELETE) /[a-z/]* [0-9]{3} [0-9]+\\.[0-9] ms$"));
        for (const QString &entry : std::as_const(m_log)) {
            QVERIFY2(line.match(entry).hasMatch(), qPrintable(entry));
            QVERIFY(!entry.contains(QStringLiteral("hunter2")));
            QVERIFY(!entry.contains(QString::fromLatin1(token.left(20))));
        }
        QVERIFY(m_log[0].contains(QStringLiteral(" POST /auth/login 200 ")));
        QVERIFY(m_log[1].contains(QStringLiteral(" POST /mcp 200 ")));
        QVERIFY(m_log[2].contains(QStringLiteral(" POST /mcp 202 ")));
    }

    // The real binary: ready line on stdout, receipts kept across a restart,
    // a user added through standard input who can then log in.
    void binaryKeepsReceiptsAcrossRestarts()
    {
        const QString data = m_dir.filePath(QStringLiteral("binary"));
        const auto launch = [&](QProcess &process, const QStringList &extra) -> QUrl {
            process.start(QStringLiteral(NIVET_STAMPD_BINARY),
                QStringList {
                    QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--data"), data }
                    + extra);
            while (!process.canReadLine() && process.waitForReadyRead(20'000)) { }
            const QByteArray ready = process.readLine();
            const QRegularExpressionMatch match
                = QRegularExpression(QStringLiteral("^Listening on (http://127\\.0\\.0\\.1:[0-9]+)\n$"))
                      .match(QString::fromLatin1(ready));
            return match.hasMatch() ? QUrl(match.captured(1)) : QUrl();
        };
        const auto stop = [](QProcess &process) {
            process.terminate();
            return process.waitForFinished(20'000) && process.exitStatus() == QProcess::NormalExit
                && process.exitCode() == 0;
        };

        QProcess first;
        const QUrl base = launch(first, {});
        QVERIFY(base.isValid());
        MCPClient client(base.toString() + QStringLiteral("/mcp"));
        const auto stamped
            = callTool(client, QStringLiteral("stamp"), stampArgs(digestOf("kept"), QStringLiteral("global")));
        QVERIFY(stamped.ok());
        const QJsonObject receipt = stamped->value(QStringLiteral("receipts")).toArray().first().toObject();
        QVERIFY(stop(first));
        const QByteArray firstLog = first.readAllStandardError();
        QVERIFY2(firstLog.contains(" POST /mcp 202 "), firstLog.constData());

        QProcess addUser;
        addUser.start(QStringLiteral(NIVET_STAMPD_BINARY),
            { QStringLiteral("add-user"), QStringLiteral("demo"), QStringLiteral("--data"), data });
        addUser.write("demo\n");
        addUser.closeWriteChannel();
        QVERIFY(addUser.waitForFinished(20'000));
        QCOMPARE(
            addUser.readAllStandardOutput(), QStringLiteral("Added user demo (role user) in %1\n").arg(data).toUtf8());

        QProcess second;
        const QUrl again = launch(second, { QStringLiteral("--event-stream") });
        QVERIFY(again.isValid());
        MCPClient later(again.toString() + QStringLiteral("/mcp"));
        const auto verified = callTool(later, QStringLiteral("verify"),
            QJsonObject { { QStringLiteral("receipt_id"), receipt.value(QStringLiteral("receipt_id")) },
                { QStringLiteral("want_scope"), QStringLiteral("global") } });
        QVERIFY(verified.ok());
        QCOMPARE(verified->value(QStringLiteral("valid")), QJsonValue(true));
        QCOMPARE(verified->value(QStringLiteral("receipt")).toObject(), receipt);
        const auto report = callTool(later, QStringLiteral("hash_report"),
            QJsonObject {
                { QStringLiteral("sha256"), digestOf("kept") }, { QStringLiteral("want_scope"), QString() } });
        QCOMPARE(report->value(QStringLiteral("receipts")).toArray(), QJsonArray { receipt });

        QUrl login = again;
        login.setPath(QStringLiteral("/auth/login"));
        const RawReply reply = send(m_network, "POST", login, R"({"username":"demo","password":"demo"})",
            { { "Content-Type", "application/json" } });
        QCOMPARE(reply.status, 200);
        QVERIFY(stop(second));
        QVERIFY(!second.readAllStandardError().contains("demo"));
    }
};

QTEST_GUILESS_MAIN(TestStampdHttp)
#include "tst_stampdhttp.moc"
