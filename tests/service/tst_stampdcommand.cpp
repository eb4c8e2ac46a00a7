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
    void usageErrors_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown option") << QStringList { u"--port"_s, u"1"_s } << u"unknown option --port"_s;
        QTest::newRow("listen without port") << QStringList { u"--listen"_s, u"127.0.0.1"_s }
                                             << u"--listen needs HOST:PORT, e.g. 127.0.0.1:8787 or [::1]:0"_s;
        QTest::newRow("fractional ttl") << QStringList { u"--session-ttl"_s, u"1.5h"_s }
                                        << u"--session-ttl needs a duration such as 90s, 15m or 1h"_s;
        QTest::newRow("tiny token ttl") << QStringList { u"--token-ttl=500ms"_s }
                                        << u"--token-ttl must be at least one second"_s;
        QTest::newRow("bad connection cap")
            << QStringList { u"--max-connections=many"_s } << u"--max-connections needs a positive number"_s;
        QTest::newRow("stray word") << QStringList { u"serve"_s } << u"unexpected argument serve"_s;
        QTest::newRow("add-user, no name")
            << QStringList { u"add-user"_s } << u"add-user needs exactly one user name"_s;
        QTest::newRow("padded name") << QStringList { u"add-user"_s, u" ann"_s }
                                     << u"the user name starts or ends with white space"_s;
        QTest::newRow("empty role") << QStringList { u"add-user"_s, u"ann"_s, u"--role="_s } << u"the role is empty"_s;
    }

    void usageErrors()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        const QStringList dataOption { u"--data"_s, data() };
        const bool addUser = args.value(0) == QLatin1String("add-user");
        const Run r = runStampd(addUser ? args + dataOption : dataOption + args, "pw\n");
        QCOMPARE(r.status, 2);
        QVERIFY2(r.err.startsWith(u"nivet-stampd: "_s + message + u"\nUsage:\n"_s), qPrintable(r.err));
        QVERIFY(r.out.isEmpty() && !r.server && !QFile::exists(data()));
    }

    // The password comes as one line on standard input, kept as typed.
    void addUser_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("password"); // empty: refused with the error
        QTest::addColumn<QString>("error");
        QTest::newRow("CRLF") << QByteArray("s3cret\r\n") << u"s3cret"_s << QString();
        QTest::newRow("spaces kept, UTF-8") << QByteArray("  p\xc3\xa4ss word ") << u"  p\u00e4ss word "_s << QString();
        QTest::newRow("nothing") << QByteArray() << QString() << u"Error: No password on standard input\n"_s;
        QTest::newRow("two lines") << QByteArray("a\nb\n") << QString()
                                   << u"Error: The password must be a single line\n"_s;
    }

    void addUser()
    {
        QFETCH(QByteArray, input);
        QFETCH(QString, password);
        QFETCH(QString, error);
        const Run added = runStampd({ u"add-user"_s, u"ann"_s, u"--role"_s, u"auditor"_s, u"--data"_s, data() }, input);
        QCOMPARE(added.err, error);
        QCOMPARE(added.status, error.isEmpty() ? 0 : 1);
        QCOMPARE(QFile::exists(data()), error.isEmpty());
        if (!error.isEmpty())
            return;
        QCOMPARE(added.out, u"Added user ann (role auditor) in %1\n"_s.arg(data()));
        const auto user = ReceiptDatabase::open(data()).value()->user(u"ann"_s).value();
        QCOMPARE(user->role, u"auditor"_s);
        QVERIFY(user->passwordHash.startsWith(u"pbkdf2-sha256$600000$"_s));
        QVERIFY(PasswordHash::verify(password, user->passwordHash));
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

    // Nothing found in the way is overwritten.
    void serveRefusesUnusableData_data()
    {
        QTest::addColumn<QString>("file"); // relative to the data folder argument
        QTest::addColumn<QString>("message"); // %1: the data folder
        QTest::newRow("data folder is a file") << QString() << u"Cannot create the data folder %1"_s;
        QTest::newRow("database is not one")
            << u"/nivet-stampd.sqlite"_s
            << QStringLiteral("Cannot use %1/nivet-stampd.sqlite: Database error while preparing the database: "
                              "file is not a database Unable to execute statement");
    }

    void serveRefusesUnusableData()
    {
        QFETCH(QString, file);
        QFETCH(QString, message);
        const QString folder = m_dir.filePath(u"unusable"_s);
        const QByteArray content = QByteArray("not a database, but somebody's notes\n").repeated(20);
        QVERIFY(writeFile(folder + file, content));
        const Run r = runStampd({ u"--listen=127.0.0.1:0"_s, u"--data"_s, folder });
        QCOMPARE(r.status, 1);
        QCOMPARE(r.err, u"Error: "_s + message.arg(folder) + QLatin1Char('\n'));
        QCOMPARE(readFile(folder + file), content);
        QVERIFY(QFile::remove(folder + file));
    }
};

QTEST_GUILESS_MAIN(TestStampdCommand)
#include "tst_stampdcommand.moc"
