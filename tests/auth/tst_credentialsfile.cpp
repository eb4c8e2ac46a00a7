#include "auth/credentialsfile.h"

#include "authtesting.h"
#include "testenv.h"

#include <QDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

using Entries = QMap<QString, QString>;

class TestCredentialsFile : public QObject {
    Q_OBJECT
    IsolatedDataHome m_home;

    QString path() const { return m_home.nivet() + QStringLiteral("/auth.properties"); }

private Q_SLOTS:
    void init() { QDir(m_home.nivet()).removeRecursively(); }

    void header()
    {
        QCOMPARE(CredentialsFile::headerLine().size(), 52);
        QCOMPARE(CredentialsFile::headerLine().toUtf8().size(), 54);
        QCOMPARE(CredentialsFile::headerLine().toUtf8() + '\n', kHeader);
    }

    void writtenBytes_data()
    {
        QTest::addColumn<Entries>("entries");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("worked example") << Entries{{u("username"), u("alice")}, {u("note"), u("two words")},
                                                   {u("alpha"), u("a=b")}, {u("issuer"), QString()}}
                                        << kHeader + "username=alice\nalpha=a=b\nnote=two words\n";
        QTest::newRow("fixed order, then code points")
            << Entries{{u("zeta"), u("z")},         {u("auth_url"), u("https://a")}, {u("password"), u("pw")},
                       {u("username"), u("bob")},   {u("expires_at"), u("2025")},    {u("issuer"), u("iss")},
                       {u("auth_token"), u("t")},   {u("id_token"), u("t")},         {u("access_token"), u("t")},
                       {u("Beta"), u("b")},         {u("\xef\xbf\xbd"), u("fffd")},  {u("\xf0\x9f\x98\x80"), u("smile")}}
            << kHeader
                + "access_token=t\nid_token=t\nauth_token=t\nissuer=iss\nexpires_at=2025\nusername=bob\npassword=pw\n"
                  "auth_url=https://a\nBeta=b\nzeta=z\n\xef\xbf\xbd=fffd\n\xf0\x9f\x98\x80=smile\n";
        QTest::newRow("escapes") << Entries{{u("a"), u("x\\y")}, {u("b"), u("line1\nline2")},
                                            {u("c"), u("back\\nslash")}, {u("d"), u("\\=")}, {u("e"), u("  lead")}}
                                 << kHeader + "a=x\\\\y\nb=line1\\nline2\nc=back\\\\nslash\nd=\\\\=\ne=  lead\n";
        QTest::newRow("only empty values") << Entries{{u("username"), QString()}, {u("x"), QString()}} << kHeader;
        QTest::newRow("empty map") << Entries{} << kHeader;
        QTest::newRow("non-ASCII value") << Entries{{u("password"), u("p\xc3\xa4ss \xe2\x80\x94 \xf0\x9f\x94\x91")}}
                                         << kHeader + "password=p\xc3\xa4ss \xe2\x80\x94 \xf0\x9f\x94\x91\n";
    }

    void writtenBytes()
    {
        QFETCH(Entries, entries);
        QFETCH(QByteArray, expected);
        QVERIFY(CredentialsFile::writeProperties(entries, path()).ok());
        QCOMPARE(readFile(path()), expected);
        // What was written reads back as the non-empty entries.
        Entries nonEmpty;
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            if (!it.value().isEmpty())
                nonEmpty.insert(it.key(), it.value());
        }
        QCOMPARE(CredentialsFile::readProperties(path()), nonEmpty);
    }

    void reading_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<Entries>("expected");

        QTest::newRow("empty file") << QByteArray() << Entries{};
        QTest::newRow("comments only") << QByteArray("# a\n! b\n   # c\n\n") << Entries{};
        QTest::newRow("ignored lines") << QByteArray("   # note\n! note\nnovalue\n=value\n  =x\nk=v\n")
                                       << Entries{{u("k"), u("v")}};
        QTest::newRow("space after =") << QByteArray("key = value\n") << Entries{{u("key"), u(" value")}};
        QTest::newRow("trailing spaces") << QByteArray("key=value   \n") << Entries{{u("key"), u("value")}};
        QTest::newRow("second =") << QByteArray("a=b=c") << Entries{{u("a"), u("b=c")}};
        QTest::newRow("later wins") << QByteArray("k=1\nk=2\n") << Entries{{u("k"), u("2")}};
        QTest::newRow("keys are case-sensitive") << QByteArray("K=1\nk=2\n") << Entries{{u("K"), u("1")}, {u("k"), u("2")}};
        QTest::newRow("CRLF") << QByteArray("# h\r\na=1\r\nb=2\r\n") << Entries{{u("a"), u("1")}, {u("b"), u("2")}};
        QTest::newRow("lone CR") << QByteArray("# h\ra=1\rb=2\r") << Entries{{u("a"), u("1")}, {u("b"), u("2")}};
        QTest::newRow("VT FF") << QByteArray("a=1\vb=2\fc=3") << Entries{{u("a"), u("1")}, {u("b"), u("2")}, {u("c"), u("3")}};
        QTest::newRow("NEL LS PS") << QByteArray("a=1\xc2\x85" "b=2\xe2\x80\xa8" "c=3\xe2\x80\xa9" "d=4")
                                   << Entries{{u("a"), u("1")}, {u("b"), u("2")}, {u("c"), u("3")}, {u("d"), u("4")}};
        QTest::newRow("tab and Unicode spaces trimmed")
            << QByteArray("\xc2\xa0\tkey\xc2\xa0=\xc2\xa0value\xe3\x80\x80\t\n")
            << Entries{{u("key"), u("\xc2\xa0value")}};
        QTest::newRow("escapes") << QByteArray("n=a\\nb\ne=a\\=b\nb=a\\\\b\nx=a\\xb\nt=a\\\n")
                                 << Entries{{u("n"), u("a\nb")}, {u("e"), u("a=b")}, {u("b"), u("a\\b")},
                                            {u("x"), u("a\\xb")}, {u("t"), u("a\\")}};
        // One pass: an escaped backslash before "n" stays a backslash and an "n".
        QTest::newRow("escaped backslash then n") << QByteArray("v=a\\\\nb\n") << Entries{{u("v"), u("a\\nb")}};
        QTest::newRow("not UTF-8") << QByteArray("a=1\nb=\xff\xfe\n") << Entries{};
        QTest::newRow("no final line break") << QByteArray("a=1") << Entries{{u("a"), u("1")}};
    }

    void reading()
    {
        QFETCH(QByteArray, content);
        QFETCH(Entries, expected);
        QVERIFY(writeFile(path(), content));
        QCOMPARE(CredentialsFile::readProperties(path()), expected);
    }

    void missingFileReadsEmpty()
    {
        QCOMPARE(CredentialsFile::readProperties(path()), Entries{});
        QCOMPARE(CredentialsFile::readProperties(m_home.path()), Entries{}); // a folder
    }

    void everyWrittenValueReadsBack()
    {
        const QStringList values{u("\\n"), u("a\\\\nb"), u("=\\="), u("\nlead"), u(" x"), u("\\"),
                                 u("end\\"), u("a\n\nb"), u("\\\\n\\"), u("\xe2\x80\xa2\\n\xe2\x80\xa2")};
        Entries entries;
        for (qsizetype i = 0; i < values.size(); ++i)
            entries.insert(QStringLiteral("k%1").arg(i), values[i]);
        QVERIFY(CredentialsFile::writeProperties(entries, path()).ok());
        QCOMPARE(CredentialsFile::readProperties(path()), entries);
    }

    void refusedValues_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("message");
        const QString breakMessage = QStringLiteral("%1 contains a line break that cannot be stored");
        QTest::newRow("CR in password") << u("password") << u("pa\rss") << breakMessage.arg(u("The password"));
        QTest::newRow("VT in token") << u("access_token") << u("a\vb") << breakMessage.arg(u("The token"));
        QTest::newRow("FF in user name") << u("username") << u("a\fb") << breakMessage.arg(u("The user name"));
        QTest::newRow("NEL in expiry") << u("expires_at") << u("a\xc2\x85") << breakMessage.arg(u("The expiry"));
        QTest::newRow("LS in URL") << u("auth_url") << u("a\xe2\x80\xa8") << breakMessage.arg(u("The Auth API URL"));
        QTest::newRow("PS in other key") << u("note") << u("\xe2\x80\xa9") << breakMessage.arg(u("The value of \"note\""));
        QTest::newRow("trailing space") << u("password") << u("secret ")
                                        << u("The password ends with a space or tab that cannot be stored");
        QTest::newRow("trailing tab") << u("issuer") << u("iss\t")
                                      << u("The issuer ends with a space or tab that cannot be stored");
        QTest::newRow("key with =") << u("a=b") << u("v") << u("The key \"a=b\" cannot be stored in the credentials file");
        QTest::newRow("key with #") << u("#k") << u("v") << u("The key \"#k\" cannot be stored in the credentials file");
        QTest::newRow("key with space") << u("k ") << u("v") << u("The key \"k \" cannot be stored in the credentials file");
    }

    void refusedValues()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QString, message);
        const QByteArray old = kHeader + "username=alice\nsibling=keep\n";
        QVERIFY(writeFile(path(), old));
        const auto result = CredentialsFile::writeProperties({{u("username"), u("bob")}, {key, value}}, path());
        QVERIFY(!result.ok());
        QCOMPARE(result.error().description, message);
        QCOMPARE(readFile(path()), old);
        QCOMPARE(QDir(m_home.nivet()).entryList(QDir::Files | QDir::Hidden), QStringList{u("auth.properties")});
    }

    void secretModeUnderOpenUmask()
    {
        QVERIFY(writeFile(path(), "old"));
        ::chmod(QFile::encodeName(path()).constData(), 0644);
        const mode_t old = ::umask(0);
        const auto first = CredentialsFile::writeProperties({{u("password"), u("pw")}}, path());
        const QString fresh = m_home.path() + QStringLiteral("/new/folder/auth.properties");
        const auto second = CredentialsFile::writeProperties({{u("password"), u("pw")}}, fresh);
        ::umask(old);
        QVERIFY(first.ok());
        QVERIFY(second.ok());
        QCOMPARE(fileMode(path()), 0600);
        QCOMPARE(fileMode(fresh), 0600);
        QCOMPARE(QDir(m_home.nivet()).entryList(QDir::Files | QDir::Hidden), QStringList{u("auth.properties")});
    }

    void failedWriteKeepsOldFile()
    {
        // A file-size limit makes the write fail part-way, even for root.
        const QByteArray old = kHeader + "username=alice\npassword=old\n";
        QVERIFY(writeFile(path(), old));
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        rlimit small = saved;
        small.rlim_cur = 1024;
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        const auto result =
            CredentialsFile::writeProperties({{u("username"), u("bob")}, {u("note"), QString(5000, u'x')}}, path());
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);

        QVERIFY(!result.ok());
        QVERIFY2(result.error().description.contains(path()), qPrintable(result.error().description));
        QCOMPARE(readFile(path()), old);
        QCOMPARE(QDir(m_home.nivet()).entryList(QDir::Files | QDir::Hidden), QStringList{u("auth.properties")});
    }

    void folderThatCannotBeCreated()
    {
        QVERIFY(writeFile(m_home.path() + QStringLiteral("/plain"), "x"));
        const auto result =
            CredentialsFile::writeProperties({{u("a"), u("b")}}, m_home.path() + QStringLiteral("/plain/sub/auth.properties"));
        QVERIFY(!result.ok());
        QCOMPARE(result.error().description, QStringLiteral("Cannot create the folder %1/plain/sub").arg(m_home.path()));
    }
};

QTEST_GUILESS_MAIN(TestCredentialsFile)
#include "tst_credentialsfile.moc"
