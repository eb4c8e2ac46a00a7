// nivet-stampd as operators meet it, in process: its command line and flags,
// add-user, key, backup, and the running service over loopback HTTP:
// /healthz, /metrics, HEAD, /log/key, a full session table, anchoring.
#include "service/servicecommand.h"

#include "evidence/evidencecheck.h"
#include "evidence/logpublickey.h"
#include "scriptedhttpserver.h"
#include "service/accounts/passwordhash.h"
#include "service/accounts/userdirectory.h"
#include "service/db/servicedatabase.h"
#include "service/log/receiptlog.h"
#include "service/runningservice.h"
#include "servicetestkit.h"
#include "testauthority.h"
#include "testenv.h"
#include "toolcalls.h"

#include <QBuffer>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace McpRequests;

using namespace Qt::StringLiterals;

namespace {

struct Run : ProgramRun {
    std::unique_ptr<RunningService> server;
};

Run runStampd(const QStringList &args, QByteArray input = {})
{
    Run r;
    QTextStream out(&r.out), err(&r.err);
    QBuffer in(&input);
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
    QStringList m_log;

    std::unique_ptr<RunningService> start(ServiceOptions options, const QString &folder)
    {
        options.dataDir = m_dir.filePath(folder);
        auto server = RunningService::start(
            options, QHostAddress::LocalHost, 0, [this](const QString &line) { m_log.append(line); },
            [] { return qint64(1738324800000); }); // time stands still: no anchoring interval passes
        if (!server)
            qFatal("%s", qPrintable(server.error().description));
        return std::move(server).value();
    }

    QString data() const { return m_dir.filePath(u"data"_s); }

private Q_SLOTS:
    // A refusal writes no file; a usage error (status 2) comes with the usage.
    void refusalsAndAddUser()
    {
        using Refusal = std::tuple<QString, QByteArray, int, QString>; // arguments, standard input, status, error
        for (const auto &[args, input, status, message] : std::initializer_list<Refusal> {
                 { u"--port 1"_s, {}, 2, u"nivet-stampd: unknown option --port\nUsage:\n"_s },
                 { u"--max-body-size 1GB"_s, {}, 2,
                     u"nivet-stampd: --max-body-size needs a size such as 4096, 64KiB or 1MiB\nUsage:\n"_s },
                 { u"--connection-memory=4095"_s, {}, 2,
                     u"nivet-stampd: --connection-memory must be at least 4KiB\nUsage:\n"_s },
                 { u"add-user ann"_s, "a\nb\n", 1, u"Error: The password must be a single line\n"_s },
                 { u"add-user ann"_s, QByteArray(1025, 'p'), 1,
                     u"Error: The password is longer than 1024 bytes; logins refuse such passwords\n"_s },
                 { u"backup "_s + m_dir.filePath(u"copy"_s), {}, 1,
                     u"Error: There is no database in %1\n"_s.arg(data()) },
                 { u"backup copy --database postgresql://127.0.0.1/x"_s, {}, 1,
                     u"Error: backup copies the SQLite database only; back up PostgreSQL with its own tool, pg_dump "
                     "(for example: pg_dump --format=custom --file=FILE DBNAME)\n"_s },
                 { u"--database mysql://nivet@127.0.0.1/stamps"_s, {}, 1,
                     u"Error: The database must be a postgresql:// URL, such as "
                     "postgresql://nivet@db.example:5432/nivet\n"_s },
                 { u"--database postgresql://nivet:pw@127.0.0.1:5432"_s, {}, 1,
                     u"Error: postgresql://nivet@127.0.0.1:5432 names no database\n"_s },
                 { u"--database postgresql://127.0.0.1/x?options=-c%20a=b"_s, {}, 1,
                     u"Error: The option \"options\" of the database URL holds a blank, quote, backslash or "
                     "semicolon\n"_s },
             }) {
            const Run r = runStampd(args.split(u' ') + QStringList { u"--data"_s, data() }, input);
            QCOMPARE(r.status, status);
            QVERIFY2(r.err.startsWith(message), qPrintable(r.err));
            QVERIFY(
                r.out.isEmpty() && !r.server && QDir(data()).isEmpty() && !QFile::exists(m_dir.filePath(u"copy"_s)));
        }

        // The password comes as one line on standard input, kept as typed.
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
            u"--max-sessions"_s, u"7"_s, u"--max-user-sessions=3"_s, u"--idle-timeout=5s"_s, u"--max-connections=9"_s,
            u"--max-body-size"_s, u"64KiB"_s, u"--max-queued-logins-per-address"_s, u"2"_s });
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out, u"Listening on http://127.0.0.1:%1\n"_s.arg(r.server->baseUrl().port()));
        const ServiceOptions &o = r.server->service().options();
        QCOMPARE((QList<qint64> { o.sessionTtlMs, o.maxSessions, o.maxSessionsPerUser, o.idleTimeoutMs,
                     o.maxConnections, o.maxBodyBytes, o.maxQueuedLoginsPerAddress }),
            (QList<qint64> { 120'000, 7, 3, 5'000, 9, 64 * 1024, 2 }));

        // A file in the way of the database is refused, not overwritten.
        const QString file = m_dir.filePath(u"unusable/nivet-stampd.sqlite"_s);
        const QByteArray content = QByteArray("not a database, but somebody's notes\n").repeated(20);
        QVERIFY(writeFile(file, content));
        const Run refused = runStampd({ u"--listen=127.0.0.1:0"_s, u"--data"_s, m_dir.filePath(u"unusable"_s) });
        QCOMPARE(refused.status, 1);
        QVERIFY2(refused.err.startsWith(u"Error: Cannot use "_s + file), qPrintable(refused.err));
        QCOMPARE(readFile(file), content);
    }

    // A backup taken while the service runs holds what it acknowledged, is
    // private, and replaces an older backup; it never replaces the database.
    void backupWhileRunning()
    {
        auto server = start({}, u"live"_s);
        const QString copy = m_dir.filePath(u"restored/nivet-stampd.sqlite"_s);
        QVERIFY(writeFile(copy, "an older backup"));
        const QString receiptId = stampNow(server->service(), digestOf("kept"), u"s"_s).receiptId;
        const Run r = runStampd({ u"backup"_s, copy, u"--data"_s, m_dir.filePath(u"live"_s) });
        QCOMPARE(r.err, QString());
        QCOMPARE(r.out,
            u"Backed up %1 to %2\n"_s.arg(
                m_dir.filePath(u"live/nivet-stampd.sqlite"_s), QFileInfo(copy).absoluteFilePath()));
        QCOMPARE(fileMode(copy), 0600);
        QCOMPARE(QDir(m_dir.filePath(u"restored"_s)).entryList(QDir::Hidden | QDir::Files),
            QStringList { u"nivet-stampd.sqlite"_s });
        auto restored = ServiceDatabase::open(m_dir.filePath(u"restored"_s)).value();
        QCOMPARE(ReceiptLog(*restored).receipt(receiptId).value()->hash, digestOf("kept"));

        const QString live = m_dir.filePath(u"live/nivet-stampd.sqlite"_s);
        const Run itself = runStampd({ u"backup"_s, live, u"--data"_s, m_dir.filePath(u"live"_s) });
        QCOMPARE(itself.err, u"Error: The backup cannot replace the database itself\n"_s);
    }

    // /healthz says whether a stamp could be committed; HEAD answers like GET
    // without the body; /metrics counts what happened, in the exposition
    // format; /log/key serves the key that `key` printed, made private on
    // first use; with the session table full, a client with no session of
    // its own to give up is told so.
    void operatorEndpoints()
    {
        const Run printed = runStampd({ u"key"_s, u"--data"_s, m_dir.filePath(u"ops"_s) });
        QCOMPARE(printed.status, 0);
        QCOMPARE(fileMode(m_dir.filePath(u"ops/log-key.pem"_s)), 0600);
        ServiceOptions options;
        options.maxSessions = 1;
        auto server = start(options, u"ops"_s);
        QVERIFY(addTestUser(server->service().users(), u"ann"_s, u"user"_s, u"pw"_s));
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(server->baseUrl().port()));
        const auto request = [&](const QByteArray &method, const QByteArray &path) {
            return exchange(socket, method + ' ' + path + " HTTP/1.1\r\nHost: h\r\n\r\n");
        };
        QVERIFY(request("GET", "/healthz").endsWith("\r\nContent-Length: 2\r\n\r\nok"));
        QVERIFY(request("HEAD", "/healthz").endsWith("\r\nContent-Length: 2\r\n\r\n"));
        QVERIFY(request("HEAD", "/auth/validate").startsWith("HTTP/1.1 401 "));
        QVERIFY(exchange(socket, postRequest("/auth/login", R"({"username":"ann","password":"pw"})"))
                    .startsWith("HTTP/1.1 200 "));
        QVERIFY(exchange(socket, postRequest("/auth/login", R"({"username":"ann","password":"no"})"))
                    .startsWith("HTTP/1.1 401 "));
        stampNow(server->service(), digestOf("m"), u"s"_s);

        const QByteArray metrics = request("GET", "/metrics");
        QVERIFY(metrics.contains("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"));
        const QByteArrayList lines = metrics.mid(metrics.indexOf("\r\n\r\n") + 4).trimmed().split('\n');
        for (const char *expected : { "http_requests_total{route=\"/healthz\",status=\"200\"} 2",
                 "http_requests_total{route=\"/auth/validate\",status=\"401\"} 1",
                 "logins_total{outcome=\"accepted\"} 1", "logins_total{outcome=\"refused\"} 1", "stamps_total 1",
                 "commit_seconds_bucket{le=\"+Inf\"} 1", "scopes 1", "tree_leaves 1", "connections 1" })
            QVERIFY2(lines.contains("nivet_stampd_" + QByteArray(expected)), expected);
        // Each sample is a name of a family typed before it, labels, and a number.
        const QRegularExpression sample(
            u"^(nivet_stampd_[a-z_]+?)(_bucket|_sum|_count)?(\\{[a-z]+=\"[^\"]*\"(,[a-z]+=\"[^\"]*\")*\\})? [0-9.e+-]+$"_s);
        QStringList typed;
        for (const QByteArray &line : lines) {
            if (line.startsWith("# TYPE "))
                typed << QString::fromLatin1(line.split(' ').value(2));
            else if (!line.startsWith("# HELP "))
                QVERIFY2(typed.contains(sample.match(QString::fromLatin1(line)).captured(1)), line.constData());
        }

        const QByteArray served = request("GET", "/log/key");
        QVERIFY2(served.contains("\r\nContent-Type: application/x-pem-file\r\n"), served.constData());
        const QByteArray pem = served.mid(served.indexOf("\r\n\r\n") + 4);
        const auto key = LogPublicKey::fromPem(pem);
        QVERIFY(key && pem.startsWith("-----BEGIN PUBLIC KEY-----\n"));
        QCOMPARE(printed.out, QString::fromLatin1(pem) + u"Key id: "_s + key->keyId() + u'\n');

        ServiceRequest elsewhere = post(initialize());
        elsewhere.clientAddress = u"192.0.2.1"_s;
        QCOMPARE(server->service().handle(elsewhere).status, 200);
        const QByteArray refused = exchange(socket, postRequest("/mcp", initialize()));
        QVERIFY2(refused.startsWith("HTTP/1.1 503 "), refused.constData());
        QVERIFY(refused.endsWith(
            R"({"code":-32002,"message":"Too many sessions; try again later"},"id":1,"jsonrpc":"2.0"})"));
    }

    // After a commit each authority is asked, at its URL alone, for a token
    // over the new head; the evidence then carries the first anchored head
    // that holds the leaf, and checks with the authority's CA.
    void anchoring()
    {
        TestAuthority authority;
        ScriptedHttpServer tsa;
        tsa.setHandler(authority.handler());
        ScriptedHttpServer moved;
        moved.setHandler([&](const HttpRequest &) {
            return HttpResponse::text({}, 302).withHeader("Location", tsa.url(u"/stolen"_s).toEncoded());
        });
        ServiceOptions options;
        options.tsaUrls = { tsa.url(u"/tsa"_s), moved.url(u"/tsa"_s) };
        auto server = start(options, u"anchored"_s);
        ServiceHandler &service = server->service();
        const QString digest = digestOf("anchored");
        const QString id = stampNow(service, digest, u"s"_s).receiptId;
        const auto evidence = [&] {
            const QJsonObject result = jsonBody(service.handle(post(call(2, u"evidence"_s, { { u"receipt_id"_s, id } }),
                service.handle(post(initialize())).header("Mcp-Session-Id"))));
            return result[u"result"_s][u"structuredContent"_s][u"receipt"_s][u"evidence"_s];
        };
        QTRY_VERIFY(evidence()[u"anchor"_s].isObject());
        QTRY_COMPARE(m_log.filter(u"Timestamp from"_s),
            QStringList {
                u"Timestamp from %1 failed: the authority answered HTTP 302"_s.arg(moved.url(u"/tsa"_s).toString()) });

        const QByteArray key = service.handle({ "GET", "/log/key", {}, {}, {} }).body;
        const auto read = Evidence::fromJson(evidence());
        const auto checked = read ? checkEvidence(digest, *read, key, QList { authority.caPem() })
                                  : Expected<EvidenceCheck>(read.error());
        QVERIFY2(checked, checked ? "" : qPrintable(checked.error().description));
        QVERIFY(checked->anchored && checked->anchorTreeSize == 1);
        QCOMPARE(checked->timestamps.size(), 1);
        QCOMPARE(checked->timestamps[0].url, tsa.url(u"/tsa"_s).toString());
        QCOMPARE(checked->timestamps[0].authority, authority.tsaName());
        QCOMPARE(tsa.requests().size(), 1);
        QCOMPARE(tsa.requests()[0].target, "/tsa");
        QCOMPARE(tsa.requests()[0].header("Content-Type"), "application/timestamp-query");
        // The next commit's head waits for the interval (a minute by default).
        stampNow(service, digestOf("later"), u"s"_s);
        QVERIFY(!QTest::qWaitFor([&] { return tsa.requests().size() > 1; }, 300));
        const QByteArray metrics = service.handle({ "GET", "/metrics", {}, {}, {} }).body;
        QVERIFY(metrics.contains("\nnivet_stampd_anchors_total{outcome=\"ok\"} 1\n"));
        QVERIFY(metrics.contains("\nnivet_stampd_anchors_total{outcome=\"failed\"} 1\n"));
    }
};

QTEST_GUILESS_MAIN(TestStampd)
#include "tst_stampd.moc"
