// The HTTP server alone, over loopback, with a handler of the test's own:
// the wire rules, half-closed requests, the connection cap and slow work.
#include "service/http/httpserver.h"

#include "service/http/workqueue.h"
#include "servicetestkit.h"

#include <QRegularExpression>
#include <QSemaphore>
#include <QTcpSocket>
#include <QtTest>

#include <atomic>
#include <sys/socket.h>

using namespace Qt::StringLiterals;

class TestHttpServer : public QObject {
    Q_OBJECT

    qint64 m_now = 0;
    std::unique_ptr<HttpServer> m_server;
    quint16 m_port = 0;
    QStringList m_log;
    QList<QByteArray> m_handled; // method and path of each request the handler answered
    QSemaphore m_gate; // slow work waits here
    std::atomic<int> m_worked = 0;

    static QByteArray get(const QByteArray &path) { return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"; }

    // A server on a free loopback port with one worker; the time is 2025-01-31T12:00:00.000Z.
    void start(HttpServer::Limits limits)
    {
        m_now = 1738324800000;
        HttpServer::Handlers handlers {
            [](const ServiceRequest &) { return qsizetype(1024); },
            [this](const ServiceRequest &request) -> ServiceReply {
                m_handled.append(request.method + ' ' + request.path);
                if (request.path == "/slow")
                    return ServiceReply(
                        [this] { return m_gate.acquire(), ++m_worked, ServiceResponse::text(200, u"worked"_s); });
                return ServiceResponse::text(200,
                    QString::fromLatin1(request.method + ' ' + request.clientAddress.toLatin1() + ' ' + request.body));
            },
            {},
        };
        const auto log = [this](const QString &line) { m_log.append(line); };
        m_server = HttpServer::create(handlers, limits, log, [this] { return m_now; }).value();
        m_server->work().pool().setMaxThreadCount(1);
        m_port = m_server->listen(QHostAddress::LocalHost, 0).value();
    }

    void connect(QTcpSocket &socket)
    {
        socket.connectToHost(QHostAddress::LocalHost, m_port);
        QVERIFY(socket.waitForConnected(20'000));
    }

private Q_SLOTS:
    void cleanup()
    {
        m_gate.release(100);
        m_server.reset();
        m_gate.acquire(m_gate.available());
        m_log.clear();
        m_handled.clear();
        m_worked = 0;
    }

    // What strict servers refuse, RFC 9112 and 9110 in hand; the status, and
    // the request log line when the request reached the handler.
    void wireRules_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<QString>("logged");
        const auto row = [](const char *name, const QByteArray &request, const char *status, const QString &logged) {
            QTest::newRow(name) << request << QByteArray(status) << logged;
        };
        const QByteArray post = "POST /e HTTP/1.1\r\nHost: h\r\n";
        const QByteArray chunked = post + "Transfer-Encoding: chunked\r\n\r\n";
        const QString refused = u"POST /e 400"_s;
        row("no Host", "GET /e HTTP/1.1\r\n\r\n", "400", {});
        row("two Hosts", post + "Host: i\r\nContent-Length: 0\r\n\r\n", "400", refused);
        row("vertical tab before chunked", post + "Transfer-Encoding: \vchunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", "400",
            refused);
        row("space in a field name", post + "X : a\r\nContent-Length: 0\r\n\r\n", "400", refused);
        row("two lengths", post + "Content-Length: 1\r\nContent-Length: 2\r\n\r\nab", "400", refused);
        row("length and chunked", post + "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
            "400", refused);
        row("another coding", post + "Transfer-Encoding: gzip, chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", "501",
            u"POST /e 501"_s);
        row("space after a chunk size", chunked + "3 \r\nabc\r\n0\r\n\r\n", "400", refused);
        row("control byte in a trailer", chunked + "3\r\nabc\r\n0\r\nT: \x01\r\n\r\n", "400", refused);
        row("body over the limit", post + "Content-Length: 1025\r\n\r\n",
            "413 The request body is larger than 1024 bytes", u"POST /e 413"_s);
        // No answer can go out while a body arrives: the connection is closed.
        row("chunked body over the limit", chunked + "401\r\n" + QByteArray(1025, 'x') + "\r\n0\r\n\r\n", "", {});
        row("chunked with extension and trailer", chunked + "3;x=y\r\nabc\r\n0\r\nT: t\r\n\r\n", "200",
            u"POST /e 200"_s);
        row("escaped path, query not logged", "GET /a%0d%1b[2J\\?password=x HTTP/1.1\r\nHost: h\r\n\r\n", "200",
            u"GET /a\\x0d\\x1b[2J\\x5c 200"_s);
    }

    void wireRules()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, status);
        QFETCH(QString, logged);
        start({});
        QTcpSocket socket;
        connect(socket);
        const QByteArray reply = exchange(socket, request);
        // A status may come with the end of its answer.
        const QByteArray text = status.mid(4);
        status.truncate(3);
        QVERIFY2(
            status.isEmpty() ? reply.isEmpty() : reply.startsWith("HTTP/1.1 " + status + ' ') && reply.endsWith(text),
            reply.left(200).constData());
        if (status != "200")
            QVERIFY(closedByServer(socket));
        const QRegularExpression line(
            u"^2025-01-31T12:00:00\\.000Z "_s + QRegularExpression::escape(logged) + u" [0-9]+\\.[0-9] ms$"_s);
        QVERIFY2(logged.isEmpty() ? m_handled.isEmpty() : m_log.indexOf(line) >= 0, qPrintable(m_log.join(u'\n')));
    }

    // A client that shuts its sending side after its requests still gets every answer.
    void halfClosedRequestIsAnswered()
    {
        start({});
        QTcpSocket socket;
        connect(socket);
        socket.write(postRequest("/e", "one") + postRequest("/e", "two"));
        QVERIFY(socket.waitForBytesWritten(20'000));
        ::shutdown(static_cast<int>(socket.socketDescriptor()), SHUT_WR);
        QByteArray replies;
        QTRY_VERIFY_WITH_TIMEOUT(
            (replies += socket.readAll(), socket.state() == QAbstractSocket::UnconnectedState), 20'000);
        QCOMPARE(replies.count("HTTP/1.1 200 OK"), 2);
        QVERIFY(replies.endsWith("POST 127.0.0.1 two"));
    }

    // Past the cap the connection idle the longest makes room; one in the
    // middle of a request never does: then newcomers wait for a place.
    void connectionCap()
    {
        start({ .maxConnections = 2 });
        // The answer to "Expect" shows the head was read: the request has begun.
        const QByteArray head = "POST /e HTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\nContent-Length: 600\r\n\r\n";
        const QByteArray goAhead = "HTTP/1.1 100 Continue\r\n\r\n";
        QTcpSocket idle, uploading, newcomer, waiting, late;
        connect(idle);
        QVERIFY(exchange(idle, get("/first")).startsWith("HTTP/1.1 200 "));
        connect(uploading);
        QCOMPARE(exchange(uploading, head), goAhead);
        uploading.write(QByteArray(300, 'u'));

        connect(newcomer); // the idle one makes room
        QVERIFY(closedByServer(idle));
        QCOMPARE(exchange(newcomer, head), goAhead);
        connect(waiting); // none idle: it waits for one that closes
        waiting.write(head);
        QTRY_COMPARE(m_server->waitingConnections(), 1);
        newcomer.abort();
        QCOMPARE(exchange(waiting, {}), goAhead);
        connect(late); // or for one that finishes its request
        late.write(get("/late"));
        QTRY_COMPARE(m_server->waitingConnections(), 1);

        QVERIFY(exchange(uploading, QByteArray(300, 'u')).startsWith("HTTP/1.1 200 OK"));
        QVERIFY(exchange(late, {}).endsWith("GET 127.0.0.1 "));
        QVERIFY(closedByServer(uploading));
        QCOMPARE(waiting.state(), QAbstractSocket::ConnectedState);
    }

    // Slow work is queued boundedly: past the bound it is refused at once,
    // other requests are answered meanwhile, and work whose client has gone is
    // dropped before it runs. A connection on which no whole request arrives
    // in the idle time is closed; one whose request waits for a worker is not.
    void slowWorkIsBounded()
    {
        start({ .maxQueuedWork = 3, .maxQueuedWorkPerAddress = 2 });
        QTcpSocket running, queued, refused, other, trickle, again;
        for (QTcpSocket *socket : { &running, &queued, &refused, &other, &trickle })
            connect(*socket);
        running.write(get("/slow"));
        QTRY_COMPARE(m_server->queuedWork(), 1);
        queued.write(get("/slow"));
        QTRY_COMPARE(m_server->queuedWork(), 2);
        const QByteArray busy = exchange(refused, get("/slow")); // two from this address
        QVERIFY2(busy.startsWith("HTTP/1.1 503 ") && busy.contains("\r\nRetry-After: 1\r\n"), busy.constData());
        const auto gated = [this] { return m_gate.acquire(), ++m_worked, ServiceResponse::empty(200); };
        QVERIFY(m_server->work().submit(u"192.0.2.1"_s, gated)); // another address, three in all
        QVERIFY(!m_server->work().submit(u"192.0.2.2"_s, gated));
        QVERIFY(exchange(other, get("/other")).startsWith("HTTP/1.1 200 "));
        trickle.write("GET /e HTTP/1.1\r\n");
        QVERIFY(trickle.waitForBytesWritten(20'000));
        m_now += 30'000; // the idle time is up
        QVERIFY(closedByServer(trickle));

        queued.abort();
        QTRY_COMPARE(m_server->queuedWork(), 2);
        m_gate.release(2);
        QVERIFY(exchange(running, {}).endsWith("worked"));
        connect(again); // room again: it waits for the gate
        again.write(get("/slow"));
        QTRY_COMPARE(m_server->queuedWork(), 1);
        m_gate.release();
        QVERIFY(exchange(again, {}).endsWith("worked"));
        QCOMPARE(m_worked.load(), 3);
    }
};

QTEST_GUILESS_MAIN(TestHttpServer)
#include "tst_httpserver.moc"
