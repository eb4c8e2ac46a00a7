// nivet-stampd: its command line in process, then the service over loopback
// HTTP on raw connections: the request limits, connection cap and idle
// timeout, logins off the event loop, the request log.
#include "service/servicecommand.h"

#include "service/accounts/passwordhash.h"
#include "service/accounts/userdirectory.h"
#include "service/db/servicedatabase.h"
#include "service/http/workqueue.h"
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
};

QTEST_GUILESS_MAIN(TestStampd)
#include "tst_stampd.moc"
