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

    void fileLocation()
    {
        AuthStore store;
        QCOMPARE(store.fileURL(), path());
        QCOMPARE(AuthStore::defaultAuthURL(), QStringLiteral("https://auth.nivet.example"));
    }

    void loading_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("username");
        QTest::addColumn<QString>("authURL");
        QTest::addColumn<QString>("summary");

        const QString def = AuthStore::defaultAuthURL();
        QTest::newRow("no file") << QByteArray() << QString() << QString() << def << u("No credentials on disk");
        QTest::newRow("auth_token before id_token")
            << QByteArray("id_token=idtok-123456789\nauth_token=authtok-12345678\n") << u("authtok-12345678") << QString()
            << def << u("Token on disk \xc2\xb7 \xe2\x80\xa6" "12345678");
        QTest::newRow("empty access_token wins") << QByteArray("access_token=\nauth_token=abcdefghijk\n") << QString()
                                                 << QString() << def << u("No credentials on disk");
        QTest::newRow("user name") << QByteArray("username=alice\n") << QString() << u("alice") << def
                                   << u("Loaded credentials for alice");
        QTest::newRow("user name and expiry")
            << QByteArray("username=alice\nexpires_at=2025-01-31T12:00:00Z\naccess_token=tok\n") << u("tok") << u("alice")
            << def << u("Loaded credentials for alice \xc2\xb7 expires 2025-01-31T12:00:00Z");
        QTest::newRow("short token and expiry") << QByteArray("access_token=short\nexpires_at=soon\n") << u("short")
                                                << QString() << def
                                                << u("Token on disk \xc2\xb7 \xe2\x80\xa2\xe2\x80\xa2\xe2\x80\xa2\xe2\x80\xa2"
                                                     " \xc2\xb7 expires soon");
        QTest::newRow("empty auth_url") << QByteArray("auth_url=\n") << QString() << QString() << def
                                        << u("No credentials on disk");
        QTest::newRow("own auth_url") << QByteArray("auth_url=http://127.0.0.1:9\n") << QString() << QString()
                                      << u("http://127.0.0.1:9") << u("No credentials on disk");
    }

    void loading()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, token);
        QFETCH(QString, username);
        QFETCH(QString, authURL);
        QFETCH(QString, summary);
        if (!content.isEmpty())
            QVERIFY(writeFile(path(), content));
        AuthStore store;
        QCOMPARE(store.accessToken(), token);
        QCOMPARE(store.username(), username);
        QCOMPARE(store.authURL(), authURL);
        QCOMPARE(store.sessionSummary(), summary);
    }

    void reloadReplacesEveryField()
    {
        QVERIFY(writeFile(path(), "username=alice\npassword=pw\nissuer=iss\nexpires_at=e\naccess_token=t\n"));
        AuthStore store;
        QCOMPARE(store.password(), u("pw"));
        QCOMPARE(store.issuer(), u("iss"));
        QCOMPARE(store.expiresAt(), u("e"));
        store.setPassword(u("typed"));
        store.setAuthURL(u("http://typed"));
        QVERIFY(writeFile(path(), "username=bob\n"));
        store.reloadFromDisk();
        QCOMPARE(store.username(), u("bob"));
        QCOMPARE(store.password(), QString());
        QCOMPARE(store.issuer(), QString());
        QCOMPARE(store.expiresAt(), QString());
        QCOMPARE(store.accessToken(), QString());
        QCOMPARE(store.authURL(), AuthStore::defaultAuthURL());
    }

    void saveWritesFieldsAndKeepsSiblingKeys()
    {
        // Keys the sibling client wrote survive any number of saves.
        QVERIFY(writeFile(path(), "# theirs\nzz_profile=work\naccess_token=old\nissuer=iss\nauth_url=http://x\ncli_mode=a\\\\nb\n"));
        AuthStore store;
        store.setUsername(u("alice"));
        store.setPassword(u("  pass=word"));
        store.setAccessToken(u("  eyJ.header.sig-123456 \n"));
        store.setExpiresAt(u("2025-01-31T12:00:00Z"));
        store.setIssuer(QString()); // clearing the issuer keeps the stored one
        store.setAuthURL(AuthStore::defaultAuthURL() + u(" "));
        for (int i = 0; i < 3; ++i) {
            QVERIFY(store.save().ok());
            QCOMPARE(readFile(path()), kHeader
                         + "access_token=eyJ.header.sig-123456\nid_token=eyJ.header.sig-123456\n"
                           "auth_token=eyJ.header.sig-123456\nissuer=iss\nexpires_at=2025-01-31T12:00:00Z\n"
                           "username=alice\npassword=  pass=word\ncli_mode=a\\\\nb\nzz_profile=work\n");
        }
        QCOMPARE(fileMode(path()), 0600);
        QCOMPARE(store.sessionSummary(), u("Saved credentials for alice \xc2\xb7 \xe2\x80\xa6g-123456"));
        // The field keeps what was typed; only the file gets the trimmed token.
        QCOMPARE(store.accessToken(), u("  eyJ.header.sig-123456 \n"));
    }

    void saveSummaries_data()
    {
        QTest::addColumn<QString>("username");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("summary");
        QTest::newRow("nothing") << QString() << QString() << u("Saved credentials (no token)");
        QTest::newRow("white-space token") << QString() << u(" \t\n") << u("Saved credentials (no token)");
        QTest::newRow("user, no token") << u("alice") << QString() << u("Saved credentials for alice (no token)");
        QTest::newRow("12-character token") << u("alice") << u("abcd12345678")
                                            << u("Saved credentials for alice \xc2\xb7 \xe2\x80\xa6" "12345678");
        QTest::newRow("token only") << QString() << u("abc") << u("Saved credentials \xc2\xb7 \xe2\x80\xa2\xe2\x80\xa2\xe2\x80\xa2\xe2\x80\xa2");
    }

    void saveSummaries()
    {
        QFETCH(QString, username);
        QFETCH(QString, token);
        QFETCH(QString, summary);
        AuthStore store;
        store.setUsername(username);
        store.setAccessToken(token);
        QVERIFY(store.save().ok());
        QCOMPARE(store.sessionSummary(), summary);
    }

    void emptyFieldsRemoveOrKeep()
    {
        QVERIFY(writeFile(path(), "access_token=keep-me\nusername=alice\npassword=pw\nexpires_at=e\nissuer=iss\n"
                                  "auth_url=http://own\n"));
        AuthStore store;
        store.setAccessToken(QString());
        store.setUsername(QString());
        store.setPassword(QString());
        store.setExpiresAt(QString());
        store.setIssuer(QString());
        store.setAuthURL(QString());
        QVERIFY(store.save().ok());
        // An empty token field keeps the stored token; the others are removed,
        // except the issuer, which is only ever replaced.
        QCOMPARE(readFile(path()), kHeader + "access_token=keep-me\nissuer=iss\n");
        QCOMPARE(store.sessionSummary(), u("Saved credentials (no token)"));
    }

    void failedSaveChangesNothing()
    {
        const QByteArray old = kHeader + "username=alice\npassword=old\n";
        QVERIFY(writeFile(path(), old));
        AuthStore store;
        const QString summary = store.sessionSummary();
        store.setPassword(u("new\rpassword"));
        QSignalSpy summaries(&store, &AuthStore::sessionSummaryChanged);
        const auto result = store.save();
        QVERIFY(!result.ok());
        QCOMPARE(result.error().description, u("The password contains a line break that cannot be stored"));
        QCOMPARE(readFile(path()), old);
        QCOMPARE(store.sessionSummary(), summary);
        QCOMPARE(summaries.count(), 0);
        QCOMPARE(store.password(), u("new\rpassword"));
    }

    void tokenHint_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("hint");
        const QString dots = u("\xe2\x80\xa2\xe2\x80\xa2\xe2\x80\xa2\xe2\x80\xa2");
        QTest::newRow("empty") << QString() << u("(empty)");
        QTest::newRow("white space") << u(" \n\t\xe2\x80\xa8") << u("(empty)");
        QTest::newRow("1 character") << u("x") << dots;
        QTest::newRow("7 characters") << u("1234567") << dots;
        QTest::newRow("8 characters") << u("12345678") << u("\xe2\x80\xa6" "12345678");
        QTest::newRow("trimmed first") << u("  abcdefghij\n") << u("\xe2\x80\xa6" "cdefghij");
        // User-perceived characters, not code units: e + combining acute is one.
        const QString accented = u("e\xcc\x81");
        QTest::newRow("7 clusters, 14 code units") << accented.repeated(7) << dots;
        QTest::newRow("clusters kept whole") << u("abc") + accented.repeated(8) << u("\xe2\x80\xa6") + accented.repeated(8);
        const QString family = u("\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x91\xa7"); // woman ZWJ girl
        QTest::newRow("emoji sequences") << u("x") + family.repeated(8) << u("\xe2\x80\xa6") + family.repeated(8);
    }

    void tokenHint()
    {
        QFETCH(QString, token);
        QFETCH(QString, hint);
        QCOMPARE(AuthStore::tokenHint(token), hint);
    }

    void currentBearerTokenReadsTheFile()
    {
        QCOMPARE(AuthStore::currentBearerToken(), QString());
        QVERIFY(writeFile(path(), "id_token=id\nauth_token=  auth-tok\n"));
        AuthStore store;
        store.setAccessToken(u("unsaved edit"));
        QCOMPARE(AuthStore::currentBearerToken(), u("  auth-tok")); // untrimmed, file not fields
        QVERIFY(writeFile(path(), "access_token=a\\n\nauth_token=b\n"));
        QCOMPARE(AuthStore::currentBearerToken(), u("a\n"));
    }

    void propertiesNotify()
    {
        AuthStore store;
        QSignalSpy user(&store, &AuthStore::usernameChanged);
        QSignalSpy url(&store, &AuthStore::authURLChanged);
        QVERIFY(store.setProperty("username", u("alice")));
        QCOMPARE(store.username(), u("alice"));
        QCOMPARE(user.count(), 1);
        store.setUsername(u("alice"));
        QCOMPARE(user.count(), 1); // no change, no signal
        QCOMPARE(store.property("authURL").toString(), AuthStore::defaultAuthURL());
        QVERIFY(writeFile(path(), "username=bob\nauth_url=http://own\n"));
        store.reloadFromDisk();
        QCOMPARE(user.count(), 2);
        QCOMPARE(url.count(), 1);
        const QStringList names{u("accessToken"), u("username"), u("password"), u("expiresAt"),
                                u("authURL"),     u("issuer"),   u("sessionSummary")};
        for (const QString &name : names) {
            const QMetaProperty p = store.metaObject()->property(store.metaObject()->indexOfProperty(name.toLatin1()));
            QVERIFY2(p.isWritable() && p.hasNotifySignal(), qPrintable(name));
        }
    }
};

QTEST_GUILESS_MAIN(TestAuthStore)
#include "tst_authstore.moc"
