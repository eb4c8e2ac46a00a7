// nivet-stampd: its command line in process, then the service over loopback
// HTTP on raw connections: the request limits, connection cap and idle
// timeout, logins off the event loop, the request log.
#include "service/servicecommand.h"

#include "service/accounts/passwordhash.h"
#include "service/accounts/userdirectory.h"
#include "service/db/servicedatabase.h"
#include "service/runningservice.h"
#include "servicetestkit.h"
#include "testenv.h"

#include <QBuffer>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSemaphore>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace McpRequests;

using namespace Qt::StringLiterals;

namespace {

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

QByteArray postRequest(const QByteArray &path, const QByteArray &body)
{
    return "POST " + path + " HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

struct Run {
    int status = -1;
    QString out;
    QString err;
    std::unique_ptr<RunningService> server;
};

Run runStampd(const QStringList &args, const QByteArray &input = {})
{
    Run r;
    QTextStream out(&r.out);
    QTextStream err(&r.err);
    QBuffer in;
    in.setData(input);
    in.open(QIODevice::ReadOnly);
    ServiceCommand::Outcome outcome = ServiceCommand::run(args, ServiceCommand::Io { out, err, in, false });
    out.flush();
    err.flush();
    r.status = outcome.exitCode;
    r.server = std::move(outcome.server);
    return r;
}

} // namespace

class TestStampd : public QObject {
    Q_OBJECT
    IsolatedDataHome m_home;
    QTemporaryDir m_dir;
    static constexpr qint64 kStart = 1738324800000; // 2025-01-31T12:00:00.000Z
    qint64 m_now = kStart;
    QStringList m_log;

    std::unique_ptr<RunningService> start(ServiceOptions options, const QString &folder)
    {
        options.dataDir = m_dir.filePath(folder);
        auto server = RunningService::start(
            options, QHostAddress::LocalHost, 0, [this](const QString &line) { m_log.append(line); },
            [this] { return m_now; });
        if (!server)
            qFatal("%s", qPrintable(server.error().description));
        return std::move(server).value();
    }

    QString data() const { return m_dir.filePath(u"data"_s); }

private Q_SLOTS:
    void init()
    {
        m_now = kStart;
        m_log.clear();
    }

    // A refusal creates nothing; a usage error (status 2) comes with the usage.
    void refusals()
    {
        for (const auto &[args, status, message] :
            { std::tuple(QStringList { u"--port"_s, u"1"_s }, 2, u"nivet-stampd: unknown option --port\nUsage:\n"_s),
                std::tuple(
                    QStringList { u"add-user"_s, u"ann"_s }, 1, u"Error: The password must be a single line\n"_s) }) {
            const Run r = runStampd(args + QStringList { u"--data"_s, data() }, "a\nb\n");
            QCOMPARE(r.status, status);
            QVERIFY2(r.err.startsWith(message), qPrintable(r.err));
            QVERIFY(r.out.isEmpty() && !r.server && !QFile::exists(data()));
        }
    }

    // The password comes as one line on standard input, kept as typed.
    void addUser()
    {
        const Run added = runStampd(
            { u"add-user"_s, u"ann"_s, u"--role"_s, u"auditor"_s, u"--data"_s, data() }, "  p\xc3\xa4ss word \r\n");
        QCOMPARE(added.err, QString());
        QCOMPARE(added.out, u"Added user ann (role auditor) in %1\n"_s.arg(data()));
        const auto user = UserDirectory(*ServiceDatabase::open(data()).value()).user(u"ann"_s).value();
        QCOMPARE(user->role, u"auditor"_s);
        QVERIFY(user->passwordHash.startsWith(u"pbkdf2-sha256$600000$"_s));
        QVERIFY(PasswordHash::verify(u"  p\u00e4ss word "_s, user->passwordHash));
        QDir(data()).removeRecursively();
    }

    void serveInProcess()
    {
        const Run r = runStampd({ u"--listen"_s, u"127.0.0.1:0"_s, u"--data"_s, data(), u"--session-ttl"_s, u" 2m "_s,
            u"--max-sessions"_s, u"7"_s, u"--event-stream"_s, u"--max-user-sessions=3"_s, u"--idle-timeout=5s"_s,
            u"--max-connections=9"_s });
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out, u"Listening on http://127.0.0.1:%1\n"_s.arg(r.server->baseUrl().port()));
        const ServiceOptions &options = r.server->service().options();
        QCOMPARE(options.sessionTtlMs, qint64(120'000));
        QCOMPARE(options.maxSessions, 7);
        QCOMPARE(options.maxSessionsPerUser, 3);
        QCOMPARE(options.idleTimeoutMs, qint64(5'000));
        QCOMPARE(options.maxConnections, 9);
        QVERIFY(options.eventStream && !options.requireAuth);
    }

    // A file in the way of the database is refused, not overwritten.
    void serveRefusesUnusableData()
    {
        const QString file = m_dir.filePath(u"unusable/nivet-stampd.sqlite"_s);
        const QByteArray content = QByteArray("not a database, but somebody's notes\n").repeated(20);
        QVERIFY(writeFile(file, content));
        const Run r = runStampd({ u"--listen=127.0.0.1:0"_s, u"--data"_s, m_dir.filePath(u"unusable"_s) });
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.startsWith(u"Error: Cannot use "_s + file), qPrintable(r.err));
        QCOMPARE(readFile(file), content);
    }

    void limitsAnswerAndClose_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("closed");
        // The request's log line holds method, path and status, nothing of
        // the query, headers or body.
        QTest::addColumn<QByteArray>("logged");
        const QByteArray post
            = "POST /mcp HTTP/1.1\r\nAuthorization: Bearer s3cret\r\nContent-Type: application/json\r\n";
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
        auto server = start({}, u"limits"_s);
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
        QVERIFY2(QRegularExpression(u"^2025-01-31T12:00:00\\.000Z "_s
                     + QRegularExpression::escape(QString::fromUtf8(logged)) + u" [0-9]+\\.[0-9] ms$"_s)
                     .match(m_log.value(0))
                     .hasMatch(),
            qPrintable(m_log.value(0)));
    }

    // A connection that sends no whole request in the idle time is closed;
    // past the cap the one idle the longest goes, and the newcomer is served.
    void idleAndSurplusConnectionsAreClosed()
    {
        ServiceOptions options;
        options.idleTimeoutMs = 50;
        auto hasty = start(options, u"idle"_s);
        QTcpSocket slow;
        slow.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(hasty->baseUrl().port()));
        slow.write("GET /other HTTP/1.1\r\nHost:");
        QVERIFY(closedByServer(slow));

        options = {};
        options.maxConnections = 3;
        auto server = start(options, u"capped"_s);
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
        auto server = start(options, u"logins"_s);
        QVERIFY(addTestUser(server->service().users(), u"ann"_s, u"user"_s, u"pw"_s));
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
            logins[i].write(postRequest("/auth/login", bodies[i]));
            QVERIFY(QTest::qWaitFor([&] { return logins[i].bytesToWrite() == 0; }, 20'000));
        }
        QTcpSocket other;
        other.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(exchange(other, postRequest("/mcp", initialize())).startsWith("HTTP/1.1 200 "));
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
};

QTEST_GUILESS_MAIN(TestStampd)
#include "tst_stampd.moc"
