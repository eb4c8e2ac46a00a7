#include "auth/authstore.h"

#include "authtesting.h"
#include "testenv.h"

#include <QDir>
#include <QSignalSpy>
#include <QtTest>

class TestAuthStore : public QObject {
    Q_OBJECT
    IsolatedDataHome m_home;

    QString path() const { return m_home.nivet() + QStringLiteral("/auth.properties"); }

private Q_SLOTS:
    void init() { QDir(m_home.nivet()).removeRecursively(); }

    void loading_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("authURL");
        QTest::addColumn<QString>("summary");
        const QString def = u("https://auth.nivet.example");
        QTest::newRow("no file") << QByteArray() << QString() << def << u("No credentials on disk");
        QTest::newRow("auth_token before id_token")
            << QByteArray("id_token=idtok-123456789\nauth_token=authtok-12345678\n") << u("authtok-12345678") << def
            << u("Token on disk \xc2\xb7 \xe2\x80\xa6"
                 "12345678");
        QTest::newRow("empty access_token wins") << QByteArray("access_token=\nauth_token=abcdefghijk\nauth_url=\n")
                                                 << QString() << def << u("No credentials on disk");
        QTest::newRow("user name and expiry")
            << QByteArray("username=alice\nexpires_at=2025-01-31T12:00:00Z\naccess_token=tok\nauth_url=http://own\n")
            << u("tok") << u("http://own") << u("Loaded credentials for alice \xc2\xb7 expires 2025-01-31T12:00:00Z");
        QTest::newRow("short token and expiry")
            << QByteArray("access_token=short\nexpires_at=soon\n") << u("short") << def
            << u("Token on disk \xc2\xb7 \xe2\x80\xa2\xe2\x80\xa2\xe2\x80\xa2\xe2\x80\xa2 \xc2\xb7 expires soon");
    }

    void loading()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, token);
        QFETCH(QString, authURL);
        QFETCH(QString, summary);
        if (!content.isEmpty())
            QVERIFY(writeFile(path(), content));
        AuthStore store;
        QCOMPARE(store.fileURL(), path());
        QCOMPARE(store.accessToken(), token);
        QCOMPARE(store.authURL(), authURL);
        QCOMPARE(store.sessionSummary(), summary);
    }

    void saveKeepsOtherKeys()
    {
        // Keys the sibling client wrote survive any number of saves.
        QVERIFY(writeFile(
            path(), "# theirs\nzz_profile=work\naccess_token=old\nissuer=iss\nauth_url=http://x\ncli_mode=a\\\\nb\n"));
        AuthStore store;
        store.setUsername(u("alice"));
        store.setPassword(u("  pass=word"));
        store.setAccessToken(u("  eyJ.header.sig-123456 \n"));
        store.setExpiresAt(u("2025-01-31T12:00:00Z"));
        store.setIssuer(QString()); // keeps the stored issuer
        store.setAuthURL(AuthStore::defaultAuthURL() + u(" ")); // the default is not stored
        for (int i = 0; i < 2; ++i) {
            QVERIFY(store.save().ok());
            QCOMPARE(readFile(path()),
                kHeader
                    + "access_token=eyJ.header.sig-123456\nid_token=eyJ.header.sig-123456\n"
                      "auth_token=eyJ.header.sig-123456\nissuer=iss\nexpires_at=2025-01-31T12:00:00Z\n"
                      "username=alice\npassword=  pass=word\ncli_mode=a\\\\nb\nzz_profile=work\n");
        }
        QCOMPARE(fileMode(path()), 0600);
        QCOMPARE(store.sessionSummary(), u("Saved credentials for alice \xc2\xb7 \xe2\x80\xa6g-123456"));
        QCOMPARE(store.accessToken(), u("  eyJ.header.sig-123456 \n")); // the field keeps what was typed
    }

    void saveWithEmptyFields()
    {
        QVERIFY(writeFile(path(),
            "access_token=keep-me\nusername=alice\npassword=pw\nexpires_at=e\nissuer=iss\n"
            "auth_url=http://own\n"));
        AuthStore store;
        for (const char *field : { "accessToken", "username", "password", "expiresAt", "issuer", "authURL" })
            QVERIFY(store.setProperty(field, QString()));
        QVERIFY(store.save().ok());
        // An empty token field keeps the stored token; an empty issuer keeps the stored one.
        QCOMPARE(readFile(path()), kHeader + "access_token=keep-me\nissuer=iss\n");
        QCOMPARE(store.sessionSummary(), u("Saved credentials (no token)"));
    }

    void failedSaveChangesNothing()
    {
        const QByteArray old = kHeader + "username=alice\npassword=old\n";
        QVERIFY(writeFile(path(), old));
        AuthStore store;
        store.setPassword(u("new\rpassword"));
        QSignalSpy summaries(&store, &AuthStore::sessionSummaryChanged);
        const auto result = store.save();
        QVERIFY(!result.ok());
        QCOMPARE(result.error().description, u("The password contains a line break that cannot be stored"));
        QCOMPARE(readFile(path()), old);
        QCOMPARE(summaries.count(), 0);
    }

    void tokenHint_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("hint");
        const QString dots = u("\xe2\x80\xa2\xe2\x80\xa2\xe2\x80\xa2\xe2\x80\xa2");
        const QString accented = u("e\xcc\x81"); // one cluster, two code units
        const QString family = u("\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x91\xa7"); // woman ZWJ girl
        QTest::newRow("empty") << QString() << u("(empty)");
        QTest::newRow("white space") << u(" \n\t\xe2\x80\xa8") << u("(empty)");
        QTest::newRow("7 characters") << u("1234567") << dots;
        QTest::newRow("8 characters, trimmed") << u(" 12345678\n")
                                               << u("\xe2\x80\xa6"
                                                    "12345678");
        QTest::newRow("7 clusters, 14 code units") << accented.repeated(7) << dots;
        QTest::newRow("clusters kept whole")
            << u("abc") + accented.repeated(8) << u("\xe2\x80\xa6") + accented.repeated(8);
        QTest::newRow("emoji sequences") << u("x") + family.repeated(8) << u("\xe2\x80\xa6") + family.repeated(8);
    }

    void tokenHint()
    {
        QFETCH(QString, token);
        QFETCH(QString, hint);
        QCOMPARE(AuthStore::tokenHint(token), hint);
    }

    void fieldsNotifyOnChange()
    {
        AuthStore store;
        QSignalSpy user(&store, &AuthStore::usernameChanged);
        QSignalSpy url(&store, &AuthStore::authURLChanged);
        QVERIFY(store.setProperty("username", u("alice")));
        store.setUsername(u("alice")); // no change, no signal
        QVERIFY(writeFile(path(), "username=bob\nauth_url=http://own\n"));
        store.reloadFromDisk();
        QCOMPARE(user.count(), 2);
        QCOMPARE(url.count(), 1);
        QCOMPARE(store.property("username").toString(), u("bob"));
    }
};

QTEST_GUILESS_MAIN(TestAuthStore)
#include "tst_authstore.moc"
