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
    QStringList filesInFolder() const { return QDir(m_home.nivet()).entryList(QDir::Files | QDir::Hidden); }

private Q_SLOTS:
    void init() { QDir(m_home.nivet()).removeRecursively(); }

    void writtenBytes_data()
    {
        QTest::addColumn<Entries>("entries");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("worked example") << Entries { { u("username"), u("alice") }, { u("note"), u("two words") },
            { u("alpha"), u("a=b") }, { u("issuer"), QString() } }
                                        << kHeader + "username=alice\nalpha=a=b\nnote=two words\n";
        // Fixed keys first, then by code point (UTF-16 order would put U+1F600 before U+FFFD).
        QTest::newRow("key order") << Entries { { u("zeta"), u("z") }, { u("auth_url"), u("https://a") },
            { u("password"), u("pw") }, { u("username"), u("bob") }, { u("expires_at"), u("2025") },
            { u("issuer"), u("iss") }, { u("auth_token"), u("t") }, { u("id_token"), u("t") },
            { u("access_token"), u("t") }, { u("Beta"), u("b") }, { u("\xf0\x9f\x98\x80"), u("1") },
            { u("\xef\xbf\xbd"), u("2") } }
                                   << kHeader
                + "access_token=t\nid_token=t\nauth_token=t\nissuer=iss\nexpires_at=2025\nusername=bob\npassword=pw\n"
                  "auth_url=https://a\nBeta=b\nzeta=z\n\xef\xbf\xbd=2\n\xf0\x9f\x98\x80=1\n";
        QTest::newRow("escapes") << Entries { { u("a"), u("x\\y") }, { u("b"), u("l1\nl2") },
            { u("c"), u("back\\nslash") }, { u("d"), u("\\=\\") }, { u("e"), u("  lead \xe2\x80\x94") } }
                                 << kHeader
                + "a=x\\\\y\nb=l1\\nl2\nc=back\\\\nslash\nd=\\\\=\\\\\ne=  lead \xe2\x80\x94\n";
        QTest::newRow("only empty values")
            << Entries { { u("username"), QString() }, { u("x"), QString() } } << kHeader;
    }

    void writtenBytes()
    {
        QFETCH(Entries, entries);
        QFETCH(QByteArray, expected);
        QVERIFY(CredentialsFile::writeProperties(entries, path()).ok());
        QCOMPARE(readFile(path()), expected);
        entries.removeIf([](const auto &entry) { return entry.value().isEmpty(); });
        QCOMPARE(CredentialsFile::readProperties(path()), entries); // every written value reads back unchanged
    }

    void reading_data()
    {
        QTest::addColumn<QByteArray>("content"); // null: no file at all
        QTest::addColumn<Entries>("expected");
        QTest::newRow("no file") << QByteArray() << Entries {};
        QTest::newRow("comments only") << QByteArray("# a\n! b\n   # c\n\n") << Entries {};
        QTest::newRow("ignored lines") << QByteArray("   # note\n! note\nnovalue\n=value\n  =x\nk=v")
                                       << Entries { { u("k"), u("v") } };
        QTest::newRow("spaces, second =")
            << QByteArray("key = value\nt=value   \na=b=c\n")
            << Entries { { u("key"), u(" value") }, { u("t"), u("value") }, { u("a"), u("b=c") } };
        QTest::newRow("later wins, case kept")
            << QByteArray("k=1\nK=0\nk=2\n") << Entries { { u("K"), u("0") }, { u("k"), u("2") } };
        QTest::newRow("CRLF") << QByteArray("# h\r\na=1\r\nb=2\r\n")
                              << Entries { { u("a"), u("1") }, { u("b"), u("2") } };
        QTest::newRow("lone CR") << QByteArray("# h\ra=1\rb=2\r") << Entries { { u("a"), u("1") }, { u("b"), u("2") } };
        QTest::newRow("VT FF NEL LS PS") << QByteArray("a=1\vb=2\fc=3\xc2\x85"
                                                       "d=4\xe2\x80\xa8"
                                                       "e=5\xe2\x80\xa9"
                                                       "f=6")
                                         << Entries { { u("a"), u("1") }, { u("b"), u("2") }, { u("c"), u("3") },
                                                { u("d"), u("4") }, { u("e"), u("5") }, { u("f"), u("6") } };
        QTest::newRow("tab and Unicode spaces") << QByteArray("\xc2\xa0\tkey\xc2\xa0=\xc2\xa0value\xe3\x80\x80\t\n")
                                                << Entries { { u("key"), u("\xc2\xa0value") } };
        // One pass: an escaped backslash before "n" stays a backslash and an "n".
        QTest::newRow("escapes") << QByteArray("n=a\\nb\ne=a\\=b\nb=a\\\\b\nx=a\\xb\nt=a\\\nv=a\\\\nb\n")
                                 << Entries { { u("n"), u("a\nb") }, { u("e"), u("a=b") }, { u("b"), u("a\\b") },
                                        { u("x"), u("a\\xb") }, { u("t"), u("a\\") }, { u("v"), u("a\\nb") } };
        QTest::newRow("not UTF-8") << QByteArray("a=1\nb=\xff\xfe\n") << Entries {};
    }

    void reading()
    {
        QFETCH(QByteArray, content);
        QFETCH(Entries, expected);
        if (!content.isNull())
            QVERIFY(writeFile(path(), content));
        QCOMPARE(CredentialsFile::readProperties(path()), expected);
    }

    void refusedValues_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("message");
        QTest::newRow("CR in password") << u("password") << u("pa\rss")
                                        << u("The password contains a line break that cannot be stored");
        QTest::newRow("VT in token") << u("access_token") << u("a\vb")
                                     << u("The token contains a line break that cannot be stored");
        QTest::newRow("LS, other key") << u("note") << u("\xe2\x80\xa8")
                                       << u("The value of \"note\" contains a line break that cannot be stored");
        QTest::newRow("trailing space") << u("username") << u("bob ")
                                        << u("The user name ends with a space or tab that cannot be stored");
        QTest::newRow("key with =") << u("a=b") << u("v")
                                    << u("The key \"a=b\" cannot be stored in the credentials file");
    }

    void refusedValues()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QString, message);
        const QByteArray old = kHeader + "username=alice\nsibling=keep\n";
        QVERIFY(writeFile(path(), old));
        const auto result = CredentialsFile::writeProperties({ { u("issuer"), u("iss") }, { key, value } }, path());
        QVERIFY(!result.ok());
        QCOMPARE(result.error().description, message);
        QCOMPARE(readFile(path()), old);
        QCOMPARE(filesInFolder(), QStringList { u("auth.properties") });
    }

    void secretModeUnderOpenUmask()
    {
        QVERIFY(writeFile(path(), "old"));
        ::chmod(QFile::encodeName(path()).constData(), 0644);
        const QString fresh = m_home.path() + QStringLiteral("/new/folder/auth.properties");
        QVERIFY(writeFile(fresh + QStringLiteral(".tmp-killed"), "password=")); // a killed login's
        {
            ScopedUmask open(0);
            QVERIFY(CredentialsFile::writeProperties({ { u("password"), u("pw") } }, path()).ok());
            QVERIFY(CredentialsFile::writeProperties({ { u("password"), u("pw") } }, fresh).ok());
        }
        QCOMPARE(fileMode(path()), 0600);
        QCOMPARE(fileMode(fresh), 0600);
        QCOMPARE(filesInFolder(), (QStringList { u(".lock"), u("auth.properties") }));
        QCOMPARE(QDir(m_home.path() + QStringLiteral("/new/folder")).entryList(QDir::Files | QDir::Hidden),
            (QStringList { u(".lock"), u("auth.properties") }));
    }

    void failedWriteKeepsOldFile()
    {
        // A file-size limit makes the write fail part-way, even for root.
        const QByteArray old = kHeader + "username=alice\npassword=old\n";
        QVERIFY(writeFile(path(), old));
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit saved {};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        rlimit small = saved;
        small.rlim_cur = 1024;
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        const auto result = CredentialsFile::writeProperties(
            { { u("username"), u("bob") }, { u("note"), QString(5000, u'x') } }, path());
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);

        QVERIFY(!result.ok());
        QVERIFY2(result.error().description.contains(path()), qPrintable(result.error().description));
        QCOMPARE(readFile(path()), old);
        QCOMPARE(filesInFolder(), (QStringList { u(".lock"), u("auth.properties") }));
    }
};

QTEST_GUILESS_MAIN(TestCredentialsFile)
#include "tst_credentialsfile.moc"
