#include "service/stampdcommand.h"

#include "service/passwordhash.h"
#include "service/receiptdatabase.h"
#include "testenv.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

struct Run {
    int status = -1;
    QString out;
    QString err;
    std::unique_ptr<StampServer> server;
};

Run runStampd(const QStringList &args, const QByteArray &input = {})
{
    Run r;
    QTextStream out(&r.out);
    QTextStream err(&r.err);
    QBuffer in;
    in.setData(input);
    in.open(QIODevice::ReadOnly);
    Stampd::Outcome outcome = Stampd::run(args, Stampd::Io { out, err, in, false });
    out.flush();
    err.flush();
    r.status = outcome.exitCode;
    r.server = std::move(outcome.server);
    return r;
}

} // namespace

class TestStampdCommand : public QObject {
    Q_OBJECT
    IsolatedDataHome m_home;
    QTemporaryDir m_dir;

    QString data() const { return m_dir.filePath(u"data"_s); }

private Q_SLOTS:
    // A refusal creates nothing; a usage error (status 2) comes with the usage.
    void refusals_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        const QByteArray pw = "pw\n";
        QTest::newRow("unknown option") << QStringList { u"--port"_s, u"1"_s } << pw << 2
                                        << u"nivet-stampd: unknown option --port\nUsage:\n"_s;
        QTest::newRow("listen without port")
            << QStringList { u"--listen"_s, u"127.0.0.1"_s } << pw << 2
            << u"nivet-stampd: --listen needs HOST:PORT, e.g. 127.0.0.1:8787 or [::1]:0\nUsage:\n"_s;
        QTest::newRow("fractional ttl") << QStringList {
            u"--session-ttl"_s, u"1.5h"_s
        } << pw << 2 << u"nivet-stampd: --session-ttl needs a duration such as 90s, 15m or 1h\nUsage:\n"_s;
        QTest::newRow("bad connection cap") << QStringList { u"--max-connections=many"_s } << pw << 2
                                            << u"nivet-stampd: --max-connections needs a positive number\nUsage:\n"_s;
        QTest::newRow("padded name") << QStringList { u"add-user"_s, u" ann"_s } << pw << 2
                                     << u"nivet-stampd: the user name starts or ends with white space\nUsage:\n"_s;
        QTest::newRow("two password lines") << QStringList { u"add-user"_s, u"ann"_s } << QByteArray("a\nb\n") << 1
                                            << u"Error: The password must be a single line\n"_s;
    }

    void refusals()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, input);
        QFETCH(int, status);
        QFETCH(QString, message);
        const Run r = runStampd(args + QStringList { u"--data"_s, data() }, input);
        QCOMPARE(r.status, status);
        QVERIFY2(r.err.startsWith(message), qPrintable(r.err));
        QVERIFY(r.out.isEmpty() && !r.server && !QFile::exists(data()));
    }

    // The password comes as one line on standard input, kept as typed.
    void addUser()
    {
        const Run added = runStampd(
            { u"add-user"_s, u"ann"_s, u"--role"_s, u"auditor"_s, u"--data"_s, data() }, "  p\xc3\xa4ss word \r\n");
        QCOMPARE(added.err, QString());
        QCOMPARE(added.out, u"Added user ann (role auditor) in %1\n"_s.arg(data()));
        const auto user = ReceiptDatabase::open(data()).value()->user(u"ann"_s).value();
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

QTEST_GUILESS_MAIN(TestStampdCommand)
#include "tst_stampdcommand.moc"
