#include "mcp/mcpclient.h"

#include "auth/authstore.h"
#include "authtesting.h"
#include "scriptedhttpserver.h"
#include "testenv.h"

#include <QDir>
#include <QtTest>

namespace {

// One Register-shaped exchange: initialize, notification, tool call.
QCoro::Task<Expected<QJsonObject>> openAndCall(MCPClient &client)
{
    auto opening = client.openSession();
    auto session = co_await opening;
    if (!session)
        co_return session.error();
    const QString tool = QStringLiteral("stamp");
    const QJsonObject args { { QStringLiteral("sha256"), QStringLiteral("ab") } };
    auto calling = client.callToolRaw(session.value(), tool, args);
    co_return co_await calling;
}

} // namespace

/// The bearer token on MCP requests, with the renewal that runs before each.
class TestRequestAuthorization : public QObject {
    Q_OBJECT
    IsolatedDataHome m_home;
    ScriptedHttpServer m_server; // plays the Auth API and the MCP endpoint
    int m_logins = 0;

    QString path() const { return m_home.nivet() + QStringLiteral("/auth.properties"); }

    QList<HttpRequest> mcpRequests() const
    {
        QList<HttpRequest> out;
        for (const HttpRequest &r : m_server.requests()) {
            if (r.target == "/mcp")
                out.append(r);
        }
        return out;
    }

private Q_SLOTS:
    void initTestCase()
    {
        AuthStore::shared().setClock([] { return kNow; });
        const auto mcp = ScriptedHttpServer::mcp([](const QString &, const QJsonObject &, const HttpRequest &) {
            return ScriptedHttpServer::toolResult(QJsonObject { { QStringLiteral("ok"), true } });
        });
        m_server.setHandler([this, mcp](const HttpRequest &request) {
            if (request.target == "/auth/login") {
                ++m_logins;
                return HttpResponse::json(
                    QJsonObject { { u("token"), u("new-token") }, { u("expiresAt"), u("2025-01-31T13:00:00Z") } });
            }
            return mcp(request);
        });
    }

    void init()
    {
        QDir(m_home.nivet()).removeRecursively();
        m_server.clearRequests();
        m_logins = 0;
    }

    void bearerOnEveryRequest_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("authorization"); // empty: no header
        QTest::addColumn<int>("logins");

        const QByteArray creds = "username=alice\npassword=pw\nauth_url=@server\n";
        QTest::newRow("expiring in 4 minutes: renewed before initialize")
            << creds + "access_token=old-token\nexpires_at=2025-01-31T12:04:00Z\n"
            << QByteArray("Bearer new-token") << 1;
        QTest::newRow("expiring in 10 minutes: kept")
            << creds + "access_token=old-token\nexpires_at=2025-01-31T12:10:00Z\n"
            << QByteArray("Bearer old-token") << 0;
        QTest::newRow("Auth API unreachable: old token")
            << QByteArray("username=alice\npassword=pw\nauth_url=@closed\naccess_token=old-token\n"
                          "expires_at=2025-01-31T12:04:00Z\n")
            << QByteArray("Bearer old-token") << 0;
        QTest::newRow("expiring, no password: old token")
            << QByteArray("username=alice\nauth_url=@server\naccess_token=old-token\nexpires_at=2025-01-31T12:04:00Z\n")
            << QByteArray("Bearer old-token") << 0;
        QTest::newRow("blank token: no header") << QByteArray("access_token=  \\n\n") << QByteArray() << 0;
        QTest::newRow("no file: no header") << QByteArray() << QByteArray() << 0;
        QTest::newRow("trailing line break trimmed")
            << QByteArray("access_token=abc.def.ghi\\n\n") << QByteArray("Bearer abc.def.ghi") << 0;
        QTest::newRow("Unicode blanks trimmed")
            << QByteArray("access_token=\xe3\x80\x80tok en\xc2\xa0\\n\n") << QByteArray("Bearer tok en") << 0;
        QTest::newRow("auth_token when access_token absent")
            << QByteArray("id_token=id\nauth_token=auth\n") << QByteArray("Bearer auth") << 0;
    }

    void bearerOnEveryRequest()
    {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, authorization);
        QFETCH(int, logins);
        file.replace("@server", m_server.url(QString()).toString().toUtf8());
        file.replace("@closed", QByteArray("http://127.0.0.1:") + QByteArray::number(ScriptedHttpServer::unusedPort()));
        if (!file.isEmpty())
            QVERIFY(writeFile(path(), file));
        AuthStore::shared().reloadFromDisk();

        MCPClient client(m_server.url().toString());
        auto task = openAndCall(client);
        const auto result = QCoro::waitFor(task);
        QVERIFY(result.ok());

        QCOMPARE(m_logins, logins);
        if (logins > 0) // the renewal comes first, before any MCP request
            QCOMPARE(m_server.requests().first().target, QByteArray("/auth/login"));
        const auto requests = mcpRequests();
        QCOMPARE(requests.size(), 3);
        for (const HttpRequest &request : requests) {
            QCOMPARE(request.header("Authorization"), authorization);
            QCOMPARE(request.hasHeader("Authorization"), !authorization.isEmpty());
        }
    }

    void serverTextHidesTheToken()
    {
        QVERIFY(writeFile(path(), "access_token=tok-abcdefghijkl\n"));
        m_server.enqueue(HttpResponse::text("tok-abcdefghijkl is revoked", 401));
        MCPClient client(m_server.url().toString());
        auto task = client.openSession();
        const auto result = QCoro::waitFor(task);
        QVERIFY(!result.ok());
        QCOMPARE(result.error().description,
            u("HTTP 401: \xe2\x80\xa6"
              "efghijkl is revoked"));
    }
};

QTEST_GUILESS_MAIN(TestRequestAuthorization)
#include "tst_requestauthorization.moc"
