#include "service/stampdcommand.h"

#include "service/passwordhash.h"
#include "service/receiptdatabase.h"
#include "testenv.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QtTest>

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

    QString data() const { return m_dir.filePath(QStringLiteral("data")); }

private Q_SLOTS:
    void durations_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("ms");
        QTest::newRow("bare seconds") << QStringLiteral("90") << qint64(90'000);
        QTest::newRow("seconds") << QStringLiteral("90s") << qint64(90'000);
        QTest::newRow("milliseconds") << QStringLiteral("500ms") << qint64(500);
        QTest::newRow("minutes") << QStringLiteral("15m") << qint64(900'000);
        QTest::newRow("hours") << QStringLiteral(" 2h ") << qint64(7'200'000);
        QTest::newRow("days") << QStringLiteral("1d") << qint64(86'400'000);
        QTest::newRow("zero") << QStringLiteral("0s") << qint64(-1);
        QTest::newRow("negative") << QStringLiteral("-5s") << qint64(-1);
        QTest::newRow("fraction") << QStringLiteral("1.5h") << qint64(-1);
        QTest::newRow("unknown unit") << QStringLiteral("3w") << qint64(-1);
        QTest::newRow("empty") << QString() << qint64(-1);
    }

    void durations()
    {
        QFETCH(QString, text);
        QFETCH(qint64, ms);
        QCOMPARE(Stampd::parseDuration(text).value_or(-1), ms);
    }

    void usageErrors_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown option") << QStringList { QStringLiteral("--port"), QStringLiteral("1") }
                                        << QStringLiteral("unknown option --port");
        QTest::newRow("listen without port") << QStringList { QStringLiteral("--listen"),
            QStringLiteral("127.0.0.1") } << QStringLiteral("--listen needs HOST:PORT, e.g. 127.0.0.1:8787 or [::1]:0");
        QTest::newRow("listen on a name") << QStringList { QStringLiteral("--listen=example.org:80") }
                                          << QStringLiteral("--listen needs HOST:PORT, e.g. 127.0.0.1:8787 or [::1]:0");
        QTest::newRow("port too big") << QStringList { QStringLiteral("--listen=127.0.0.1:70000") }
                                      << QStringLiteral("--listen needs HOST:PORT, e.g. 127.0.0.1:8787 or [::1]:0");
        QTest::newRow("bad ttl") << QStringList { QStringLiteral("--session-ttl"), QStringLiteral("soon") }
                                 << QStringLiteral("--session-ttl needs a duration such as 90s, 15m or 1h");
        QTest::newRow("tiny token ttl") << QStringList { QStringLiteral("--token-ttl=500ms") }
                                        << QStringLiteral("--token-ttl must be at least one second");
        QTest::newRow("no sessions") << QStringList { QStringLiteral("--max-sessions"), QStringLiteral("0") }
                                     << QStringLiteral("--max-sessions needs a positive number");
        QTest::newRow("bad connection cap") << QStringList { QStringLiteral("--max-connections=many") }
                                            << QStringLiteral("--max-connections needs a positive number");
        QTest::newRow("flag with value") << QStringList { QStringLiteral("--require-auth=yes") }
                                         << QStringLiteral("--require-auth takes no value");
        QTest::newRow("missing value") << QStringList { QStringLiteral("--data") }
                                       << QStringLiteral("--data needs a value");
        QTest::newRow("stray word") << QStringList { QStringLiteral("serve") }
                                    << QStringLiteral("unexpected argument serve");
        QTest::newRow("add-user, no name")
            << QStringList { QStringLiteral("add-user") } << QStringLiteral("add-user needs exactly one user name");
        QTest::newRow("add-user, two names") << QStringList { QStringLiteral("add-user"), QStringLiteral("a"),
            QStringLiteral("b") } << QStringLiteral("add-user needs exactly one user name");
        QTest::newRow("padded name") << QStringList { QStringLiteral("add-user"), QStringLiteral(" ann") }
                                     << QStringLiteral("the user name starts or ends with white space");
        QTest::newRow("empty role") << QStringList { QStringLiteral("add-user"), QStringLiteral("ann"),
            QStringLiteral("--role=") }
                                    << QStringLiteral("the role is empty");
    }

    void usageErrors()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        const QStringList dataOption { QStringLiteral("--data"), data() };
        const bool addUser = args.value(0) == QLatin1String("add-user");
        const Run r = runStampd(addUser ? args + dataOption : dataOption + args, "pw\n");
        QCOMPARE(r.status, 2);
        QVERIFY2(r.err.startsWith(QStringLiteral("nivet-stampd: ") + message + QStringLiteral("\nUsage:\n")),
            qPrintable(r.err));
        QVERIFY(r.out.isEmpty());
        QVERIFY(!r.server);
        QVERIFY(!QFile::exists(data()));
    }

    void helpAndVersion()
    {
        const Run help = runStampd({ QStringLiteral("--data"), QStringLiteral("x"), QStringLiteral("--help") });
        QCOMPARE(help.status, 0);
        QVERIFY(help.out.startsWith(QStringLiteral("Usage:\n")));
        QVERIFY(help.out.contains(QStringLiteral("(default %1/nivet-stampd)").arg(m_home.path())));
        QCOMPARE(runStampd({ QStringLiteral("--version") }).out, QStringLiteral("nivet-stampd 0.2.0\n"));
    }

    void addUser_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("password");
        QTest::newRow("echo") << QByteArray("s3cret\n") << QStringLiteral("s3cret");
        QTest::newRow("CRLF") << QByteArray("s3cret\r\n") << QStringLiteral("s3cret");
        QTest::newRow("spaces kept, UTF-8") << QByteArray("  p\xc3\xa4ss word ") << QStringLiteral("  p\u00e4ss word ");
    }

    void addUser()
    {
        QFETCH(QByteArray, input);
        QFETCH(QString, password);
        const Run added = runStampd({ QStringLiteral("add-user"), QStringLiteral("ann"), QStringLiteral("--role"),
                                        QStringLiteral("auditor"), QStringLiteral("--data"), data() },
            input);
        QCOMPARE(added.err, QString());
        QCOMPARE(added.out, QStringLiteral("Added user ann (role auditor) in %1\n").arg(data()));
        QCOMPARE(added.status, 0);
        const auto user = ReceiptDatabase::open(data()).value()->user(QStringLiteral("ann")).value();
        QVERIFY(user.has_value());
        QCOMPARE(user->role, QStringLiteral("auditor"));
        QVERIFY(user->passwordHash.startsWith(QStringLiteral("pbkdf2-sha256$600000$")));
        QVERIFY(PasswordHash::verify(password, user->passwordHash));
        QDir(data()).removeRecursively();
    }

    void addUserTwiceUpdates()
    {
        const QStringList add { QStringLiteral("add-user"), QStringLiteral("ann"), QStringLiteral("--data=") + data() };
        QCOMPARE(runStampd(add + QStringList { QStringLiteral("--role=admin") }, "first\n").status, 0);
        const Run again = runStampd(add, "second\n");
        QCOMPARE(again.out, QStringLiteral("Updated user ann (role user) in %1\n").arg(data()));
        const auto user = ReceiptDatabase::open(data()).value()->user(QStringLiteral("ann")).value();
        QCOMPARE(user->role, QStringLiteral("user"));
        QVERIFY(PasswordHash::verify(QStringLiteral("second"), user->passwordHash));
        QDir(data()).removeRecursively();
    }

    void addUserRefusals_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("error");
        QTest::newRow("nothing") << QByteArray() << QStringLiteral("Error: No password on standard input\n");
        QTest::newRow("blank line") << QByteArray("\n") << QStringLiteral("Error: No password on standard input\n");
        QTest::newRow("two lines") << QByteArray("a\nb\n")
                                   << QStringLiteral("Error: The password must be a single line\n");
    }

    void addUserRefusals()
    {
        QFETCH(QByteArray, input);
        QFETCH(QString, error);
        const Run r
            = runStampd({ QStringLiteral("add-user"), QStringLiteral("ann"), QStringLiteral("--data"), data() }, input);
        QCOMPARE(r.status, 1);
        QCOMPARE(r.err, error);
        QVERIFY(!QFile::exists(data()));
    }

    void passwordHashes()
    {
        const QString a = PasswordHash::create(QStringLiteral("pw"), 1000);
        const QString b = PasswordHash::create(QStringLiteral("pw"), 1000);
        QVERIFY(a != b); // salted
        QVERIFY(PasswordHash::verify(QStringLiteral("pw"), a));
        QVERIFY(!PasswordHash::verify(QStringLiteral("pw "), a));
        const QStringList parts = a.split(QLatin1Char('$'));
        QCOMPARE(parts.size(), 4);
        QCOMPARE(QByteArray::fromBase64(parts[2].toLatin1()).size(), 16);
        QCOMPARE(QByteArray::fromBase64(parts[3].toLatin1()).size(), 32);
        // A known derivation, so a change of algorithm cannot slip through.
        QVERIFY(PasswordHash::verify(QStringLiteral("password"),
            QStringLiteral("pbkdf2-sha256$1$") + QString::fromLatin1(QByteArray("salt").toBase64()) + QLatin1Char('$')
                + QString::fromLatin1(QByteArray::fromHex("120fb6cffcf8b32c43e7225256c4f837a86548c9"
                                                          "2ccc35480805987cb70be17b")
                                          .toBase64())));
        for (const QString &broken : { QString(), QStringLiteral("pbkdf2-sha256$x$AA==$AA=="),
                 QStringLiteral("pbkdf2-sha256$0$AA==$AA=="), QStringLiteral("md5$1$AA==$AA==") })
            QVERIFY(!PasswordHash::verify(QStringLiteral("pw"), broken));
    }

    void serveInProcess()
    {
        const Run r = runStampd({ QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--data"),
            data(), QStringLiteral("--session-ttl"), QStringLiteral("2m"), QStringLiteral("--max-sessions"),
            QStringLiteral("7"), QStringLiteral("--event-stream"), QStringLiteral("--max-user-sessions=3"),
            QStringLiteral("--idle-timeout=5s"), QStringLiteral("--max-connections=9") });
        QCOMPARE(r.status, 0);
        QVERIFY(r.server);
        const quint16 port = static_cast<quint16>(r.server->baseUrl().port());
        QVERIFY(port != 0);
        QCOMPARE(r.out, QStringLiteral("Listening on http://127.0.0.1:%1\n").arg(port));
        QCOMPARE(r.server->mcpUrl().toString(), QStringLiteral("http://127.0.0.1:%1/mcp").arg(port));
        const ServiceOptions &options = r.server->service().options();
        QCOMPARE(options.sessionTtlMs, qint64(120'000));
        QCOMPARE(options.maxSessions, 7);
        QCOMPARE(options.maxSessionsPerUser, 3);
        QCOMPARE(options.idleTimeoutMs, qint64(5'000));
        QCOMPARE(options.maxConnections, 9);
        QVERIFY(options.eventStream);
        QVERIFY(!options.requireAuth);
        QCOMPARE(options.tokenTtlMs, qint64(3'600'000));
    }

    // Nothing found in the way is overwritten.
    void serveRefusesUnusableData_data()
    {
        QTest::addColumn<QString>("file"); // relative to the data folder argument
        QTest::addColumn<QString>("message"); // %1: the data folder
        QTest::newRow("data folder is a file") << QString() << QStringLiteral("Cannot create the data folder %1");
        QTest::newRow("database is not one")
            << QStringLiteral("/nivet-stampd.sqlite")
            << QStringLiteral("Cannot use %1/nivet-stampd.sqlite: Database error while preparing the database: "
                              "file is not a database Unable to execute statement");
    }

    void serveRefusesUnusableData()
    {
        QFETCH(QString, file);
        QFETCH(QString, message);
        const QString folder = m_dir.filePath(QStringLiteral("unusable"));
        const QByteArray content = QByteArray("not a database, but somebody's notes\n").repeated(20);
        QVERIFY(writeFile(folder + file, content));
        const Run r = runStampd({ QStringLiteral("--listen=127.0.0.1:0"), QStringLiteral("--data"), folder });
        QCOMPARE(r.status, 1);
        QCOMPARE(r.err, QStringLiteral("Error: ") + message.arg(folder) + QLatin1Char('\n'));
        QCOMPARE(readFile(folder + file), content);
        QVERIFY(QFile::remove(folder + file));
    }
};

QTEST_GUILESS_MAIN(TestStampdCommand)
#include "tst_stampdcommand.moc"
