#include "auth/authclient.h"
#include "auth/credentialsfile.h"
#include "auth/tokensource.h"

#include "scriptedhttpserver.h"
#include "testenv.h"
#include "toolcalls.h"

#include <QDir>
#include <QtTest>

using namespace std::chrono_literals;
using Entries = QMap<QString, QString>;

namespace {

const QByteArray kHeader = "# Nivet auth credentials \xe2\x80\x94 mode 0600. Do not commit.\n";
const QDateTime kNow(QDate(2025, 1, 31), QTime(12, 0), Qt::UTC);
const QString kDots = QString::fromUtf8("\xe2\x80\xa2\xe2\x80\xa2\xe2\x80\xa2\xe2\x80\xa2");

QString u(const char *utf8)
{
    return QString::fromUtf8(utf8);
}

// Method, target, the headers that matter and the body of a request, as sent.
QByteArray wire(const HttpRequest &r)
{
    const QByteArray auth = r.hasHeader("Authorization") ? r.header("Authorization") : "";
    return r.method + ' ' + r.target + '|' + r.header("Content-Type") + '|' + r.header("Accept") + '|' + auth + '|'
        + r.body;
}

} // namespace

/// The credentials file, the Auth API client and the token source of MCP requests.
class TestAuth : public QObject {
    Q_OBJECT
    IsolatedDataHome m_home;
    AuthClient m_client;

    QString path() const { return m_home.nivet() + QStringLiteral("/auth.properties"); }

    // Writes content as the credentials file ("@server" stands for the
    // scripted server) and returns what it holds.
    Credentials saved(const ScriptedHttpServer &server, QByteArray content)
    {
        content.replace("@server", server.url(QString()).toString().toUtf8());
        writeFile(path(), content);
        return CredentialsFile::load();
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_client.setClock([] { return kNow; });
        m_client.setTransferTimeout(2s);
    }

    void init() { QDir(m_home.nivet()).removeRecursively(); }

    void writtenBytes()
    {
        // Fixed keys first, then by code point (UTF-16 order would put U+1F600 before U+FFFD).
        Entries entries { { u("zeta"), u("x\\y") }, { u("auth_url"), u("https://a") }, { u("password"), u("pw") },
            { u("username"), u("bob") }, { u("expires_at"), u("2025") }, { u("issuer"), u("iss") },
            { u("auth_token"), u("t") }, { u("id_token"), u("t") }, { u("access_token"), u("t") },
            { u("Beta"), u("l1\nback\\nslash") }, { u("\xf0\x9f\x98\x80"), u("1") }, { u("\xef\xbf\xbd"), u("  a=b") },
            { u("note"), QString() } };
        const auto bytes = CredentialsFile::encode(entries);
        QCOMPARE(bytes.value(),
            kHeader
                + "access_token=t\nid_token=t\nauth_token=t\nissuer=iss\nexpires_at=2025\nusername=bob\n"
                  "password=pw\nauth_url=https://a\nBeta=l1\\nback\\\\nslash\nzeta=x\\\\y\n\xef\xbf\xbd=  a=b\n"
                  "\xf0\x9f\x98\x80=1\n");
        entries.remove(u("note"));
        QCOMPARE(CredentialsFile::parseProperties(*bytes), entries); // every written value reads back unchanged
    }

    void reading_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<Entries>("expected");
        QTest::newRow("ignored lines") << QByteArray("   # note\n! note\nnovalue\n=value\n  =x\nk=v")
                                       << Entries { { u("k"), u("v") } };
        QTest::newRow("blanks, second =, later wins")
            << QByteArray("\xc2\xa0\tkey\xc2\xa0=\xc2\xa0value\xe3\x80\x80\t\na=b=c\nk=1\nK=0\nk=2\n")
            << Entries { { u("key"), u("\xc2\xa0value") }, { u("a"), u("b=c") }, { u("K"), u("0") },
                   { u("k"), u("2") } };
        // One pass: an escaped backslash before "n" stays a backslash and an "n".
        QTest::newRow("escapes") << QByteArray("n=a\\nb\ne=a\\=b\nx=a\\xb\nt=a\\\nv=a\\\\nb\n")
                                 << Entries { { u("n"), u("a\nb") }, { u("e"), u("a=b") }, { u("x"), u("a\\xb") },
                                        { u("t"), u("a\\") }, { u("v"), u("a\\nb") } };
        QTest::newRow("not UTF-8") << QByteArray("a=1\nb=\xff\xfe\n") << Entries {};
    }

    void reading()
    {
        QFETCH(QByteArray, content);
        QFETCH(Entries, expected);
        QVERIFY(writeFile(path(), content));
        QCOMPARE(CredentialsFile::readProperties(path()), expected);
    }

    // 0600 whatever the umask, the folder made, a killed login's scratch
    // swept; a key that would read back as something else is refused.
    void savedSecretly()
    {
        const QString fresh = m_home.path() + QStringLiteral("/new/folder/auth.properties");
        QVERIFY(writeFile(fresh + QStringLiteral(".tmp-killed"), "password="));
        Credentials c;
        c.password = u("pw");
        {
            ScopedUmask open(0);
            QVERIFY(CredentialsFile::save(c, Credentials::allFields, fresh).ok());
        }
        QCOMPARE(fileMode(fresh), 0600);
        QCOMPARE(CredentialsFile::encode({ { u("a=b"), u("v") } }).error().describe(),
            u("The key \"a=b\" cannot be stored in the credentials file"));
        QCOMPARE(readFile(fresh), kHeader + "password=pw\n");
        QCOMPARE(QDir(m_home.path() + QStringLiteral("/new/folder")).entryList(QDir::Files | QDir::Hidden),
            (QStringList { u(".lock"), u("auth.properties") }));
    }

    void saveKeepsOtherKeys()
    {
        // Keys the sibling client wrote survive any number of saves.
        QVERIFY(writeFile(path(), "# theirs\nzz_profile=work\naccess_token=old\nissuer=iss\nauth_url=http://x\n"));
        Credentials c;
        c.username = u("alice");
        c.password = u("  pass=word");
        c.accessToken = u("  eyJ.header.sig-123456 \n");
        c.expiresAt = u("2025-01-31T12:00:00Z");
        c.issuer = QString(); // keeps the stored issuer
        c.authURL = Credentials::defaultAuthURL() + u(" "); // the default is not stored
        const QByteArray full = kHeader
            + "access_token=eyJ.header.sig-123456\nid_token=eyJ.header.sig-123456\n"
              "auth_token=eyJ.header.sig-123456\nissuer=iss\n";
        for (int i = 0; i < 2; ++i) {
            const auto saved = CredentialsFile::save(c, Credentials::allFields);
            QCOMPARE(readFile(path()),
                full + "expires_at=2025-01-31T12:00:00Z\nusername=alice\npassword=  pass=word\nzz_profile=work\n");
            QCOMPARE(saved->saveSummary(), u("Saved credentials for alice \xc2\xb7 \xe2\x80\xa6g-123456"));
        }
        // An empty token keeps the stored one; other empty fields clear theirs.
        // Fields not asked for stay as the file has them.
        const Credentials cleared;
        QVERIFY(CredentialsFile::save(cleared, Credentials::allFields & ~Credentials::Field::password).ok());
        QCOMPARE(readFile(path()), full + "password=  pass=word\nzz_profile=work\n");
    }

    void loginRequestAndResult()
    {
        ScriptedHttpServer server;
        server.enqueue(
            HttpResponse::json(jsonObject(R"({"token":" tok-new-123456 \n","expiresAt":"2025-01-31T13:00:00Z",)"
                                          R"("user":{"username":"Alice","role":"admin"}})")));
        Credentials c = saved(server, "issuer=iss\nsibling=1\n");
        const QString base = server.url(QString()).toString();
        c.authURL = u("  ") + base + u("//\n");
        c.username = u("  alice \n");
        c.password = u("  p\xc3\xa4ss=\"word\\");

        const auto result
            = QCoro::waitFor(m_client.login(c, Credentials::Field::password | Credentials::Field::authURL));
        QVERIFY(result.ok());
        QCOMPARE(result->name + QLatin1Char('|') + result->role, u("Alice|admin"));
        QCOMPARE(server.requests().size(), 1);
        QCOMPARE(wire(server.requests().first()),
            "POST /auth/login|application/json|application/json||{\"password\":\"  "
            "p\xc3\xa4ss=\\\"word\\\\\",\"username\":\"alice\"}");
        QCOMPARE(result->summary, u("Logged in as Alice (admin) \xc2\xb7 expires 2025-01-31T13:00:00Z"));
        QCOMPARE(readFile(path()),
            kHeader
                + "access_token=tok-new-123456\nid_token=tok-new-123456\n"
                  "auth_token=tok-new-123456\nissuer=iss\nexpires_at=2025-01-31T13:00:00Z\n"
                  "username=Alice\npassword=  p\xc3\xa4ss=\"word\\\\\nauth_url="
                + base.toUtf8() + "//\nsibling=1\n");
        QCOMPARE(*result->saved, CredentialsFile::load());
    }

    void loginFailures_data()
    {
        QTest::addColumn<QString>("username");
        QTest::addColumn<QString>("authURL");
        QTest::addColumn<HttpResponse>("reply");
        QTest::addColumn<QString>("message");
        const QString server = u("@server");
        const HttpResponse none;
        const QString required = u("Username and password are required to generate a token");
        const auto reply = [](const char *json) { return HttpResponse::json(jsonObject(json)); };
        QTest::newRow("blank user name") << u(" \t\xe2\x80\xa8") << server << none << required;
        QTest::newRow("relative URL") << u("alice") << u("/api") << none << u("Invalid Auth API URL");
        QTest::newRow("401 echoing secrets")
            << u("alice") << server << HttpResponse::text("no pw for old-token", 401)
            << u("Login failed HTTP 401: no ") + kDots + u(" for \xe2\x80\xa6ld-token");
        // Error bodies: trimmed, cut after 200 characters (é is one), hidden when they look like a token.
        const QString accented = u("e\xcc\x81"); // one cluster, two code units
        QTest::newRow("error body trimmed")
            << u("alice") << server << HttpResponse::text("\n  bad request \t\xe2\x80\xa9", 401)
            << u("Login failed HTTP 401: bad request");
        QTest::newRow("error body of 201 clusters")
            << u("alice") << server << HttpResponse::text(accented.repeated(201).toUtf8(), 401)
            << u("Login failed HTTP 401: ") + accented.repeated(200) + u("\xe2\x80\xa6");
        QTest::newRow("error body of 41 characters, 3 pieces")
            << u("alice") << server << HttpResponse::text("aaaaaaaaaaaaa.bbbbbbbbbbbbb.ccccccccccccc", 401)
            << u("Login failed HTTP 401: (redacted error body)");
        QTest::newRow("header line break in token")
            << u("alice") << server << reply(R"({"token":"new\nX-Evil: 1"})")
            << u("The token in the login response contains white space or a control character");
        // A token that cannot be saved fails the login; the file stays as it was.
        QTest::newRow("unsavable user name")
            << u("alice") << server << reply(R"({"token":"new-token","user":{"username":"al\rice"}})")
            << u("Logged in, but the token could not be saved: "
                 "The user name contains a line break that cannot be stored");
    }

    void loginFailures()
    {
        QFETCH(QString, username);
        QFETCH(QString, authURL);
        QFETCH(HttpResponse, reply);
        QFETCH(QString, message);
        ScriptedHttpServer server;
        server.enqueue(reply);
        Credentials c = saved(
            server, kHeader + "access_token=old-token\nexpires_at=old-exp\nauth_url=" + authURL.toUtf8() + "\n");
        const QByteArray before = readFile(path());
        c.username = username;
        c.password = u("pw");

        const auto result = QCoro::waitFor(m_client.login(c));
        QCOMPARE(result.ok() ? QString() : result.error().description, message);
        QCOMPARE(readFile(path()), before);
        const bool sent = authURL == u("@server") && !username.trimmed().isEmpty();
        QCOMPARE(server.requests().size(), sent ? 1 : 0);
    }

    void validate_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<HttpResponse>("reply");
        QTest::addColumn<QString>("shown"); // the summary, or the error text
        const QByteArray fresh = "access_token=tok-abcdefghijkl\nexpires_at=2025-01-31T18:00:00Z\n"
                                 "username=alice\nauth_url=@server\n";
        const QString ok = u("Session OK \xc2\xb7 ");
        const QString tail = u("\xe2\x80\xa6") + u("efghijkl");
        const QString hint = u(" \xc2\xb7 ") + tail + u(" \xc2\xb7 expires ");
        const auto reply = [](const char *json) { return HttpResponse::json(jsonObject(json)); };
        QTest::newRow("nested user") << fresh << reply(R"({"user":{"username":"bob","role":"admin"},"expiresAt":"E1"})")
                                     << ok + u("bob (admin)") + hint + u("E1");
        QTest::newRow("token echoed") << fresh << reply(R"({"username":"tok-abcdefghijkl"})")
                                      << ok + tail + hint + u("2025-01-31T18:00:00Z");
        // A short token's hint would be the token itself: both show as dots.
        QTest::newRow("short token echoed") << QByteArray("access_token=tok-abc\nauth_url=@server\n")
                                            << reply(R"({"username":"tok-abc","role":"x tok-abc"})")
                                            << ok + kDots + u(" (x ") + kDots + u(") \xc2\xb7 ") + kDots;
        // The hint counts characters, not code units: é is one.
        QTest::newRow("hint of 8 clusters")
            << QByteArray("access_token=abc" + QByteArray("e\xcc\x81").repeated(8) + "\nauth_url=@server\n")
            << reply(R"({"username":"bob"})") << ok + u("bob \xc2\xb7 \xe2\x80\xa6") + u("e\xcc\x81").repeated(8);
        QTest::newRow("no token") << QByteArray("access_token=\\n\nauth_url=@server\n") << HttpResponse()
                                  << u("!No access token to validate");
        QTest::newRow("401") << fresh << HttpResponse::text("expired", 401) << u("!Validate failed HTTP 401: expired");
        // The refresh runs first; its failure is the validation's.
        QTest::newRow("failed renewal") << QByteArray("access_token=tok\nexpires_at=2025-01-31T12:04:00Z\n"
                                                      "username=alice\npassword=pw\nauth_url=@server\n")
                                        << HttpResponse::text("nope", 401) << u("!Login failed HTTP 401: nope");
    }

    void validate()
    {
        QFETCH(QByteArray, file);
        QFETCH(HttpResponse, reply);
        QFETCH(QString, shown);
        ScriptedHttpServer server;
        server.enqueue(reply);
        const Credentials c = saved(server, file);
        const QByteArray before = readFile(path());
        const auto result = QCoro::waitFor(m_client.validate(c));
        QCOMPARE(result.ok() ? result->summary : u("!") + result.error().description, shown);
        QCOMPARE(readFile(path()), before); // a new expiry is not saved
        if (result.ok())
            QCOMPARE(wire(server.requests().first()),
                "GET /auth/validate||application/json|Bearer " + c.accessToken.toUtf8() + '|');
    }

    void tokenSource_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<bool>("logsIn");
        const QByteArray creds = "username=alice\npassword=pw\nauth_url=@server\naccess_token=old-token\n";
        QTest::newRow("5 minutes 1 second left") << creds + "expires_at=2025-01-31T12:05:01Z\n" << false;
        QTest::newRow("exactly 5 minutes left") << creds + "expires_at=2025-01-31T12:05:00Z\n" << true;
        QTest::newRow("4 minutes, in milliseconds") << creds + "expires_at=1738325040000\n" << true;
        QTest::newRow("fraction cut to milliseconds") << creds + "expires_at=2025-01-31T12:05:00.999999Z\n" << false;
        QTest::newRow("no token") << QByteArray("username=alice\npassword=pw\nauth_url=@server\n") << true;
        QTest::newRow("Auth API unreachable: the saved token")
            << QByteArray(creds + "expires_at=2025-01-31T12:04:00Z\n").replace("@server", "http://127.0.0.1:9")
            << false;
        QTest::newRow("expiring, no password")
            << QByteArray("username=alice\nauth_url=@server\naccess_token=old\nexpires_at=2025-01-31T12:04:00Z\n")
            << false;
    }

    // What MCP requests carry: the saved token, renewed first when due.
    void tokenSource()
    {
        QFETCH(QByteArray, file);
        QFETCH(bool, logsIn);
        ScriptedHttpServer server;
        server.enqueue(HttpResponse::json(jsonObject(R"({"token":"new-token","expiresAt":"2025-01-31T13:00:00Z"})")));
        const Credentials c = saved(server, file);
        TokenSource tokens;
        tokens.client().setClock([] { return kNow; });
        QCOMPARE(QCoro::waitFor(tokens.bearerToken()), logsIn ? u("new-token") : c.accessToken);
        QCOMPARE(server.requests().size(), logsIn ? 1 : 0);
        QCOMPARE(CredentialsFile::load().accessToken, logsIn ? u("new-token") : c.accessToken);
    }
};

QTEST_GUILESS_MAIN(TestAuth)
#include "tst_auth.moc"
