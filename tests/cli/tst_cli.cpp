#include "storage/receiptstore.h"

#include "clirun.h"

#include "scriptedhttpserver.h"
#include "testenv.h"
#include "toolcalls.h"

#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {

const QString kAlphaSha = u"b6a98d9ce9a2d9149288fa3df42d377c3e42737afdcdaf714e33c0a100b51060"_s;

// The save time is the one part of a record that differs from run to run.
QString recordText(const QString &sha)
{
    static const QRegularExpression stamp(u"\"updated_at\" : \"[-0-9T:]+Z\""_s);
    return QString::fromUtf8(readFile(ReceiptStore::receiptFileURL(sha)))
        .replace(stamp, u"\"updated_at\" : \"@UPDATED_AT@\""_s);
}

} // namespace

/// The command-line tool, in-process against a scripted service and Auth API.
class TestCli : public QObject {
    Q_OBJECT
    IsolatedDataHome m_home; // one for all: the shared credentials store keeps its path
    std::unique_ptr<QTemporaryDir> m_dir;
    ScriptedHttpServer m_server;
    std::function<HttpResponse(const QString &, const QJsonObject &)> m_tool;
    HttpResponse m_authReply; // what the Auth API says
    QString m_alpha, m_beta, m_missing;

    QString clientJson() const { return m_home.nivet() + u"/client.json"_s; }
    QString authFile() const { return m_home.nivet() + u"/auth.properties"_s; }

    void useServer(const QString &output = u"text"_s)
    {
        const QString json = u"{\"scope\":\"global\",\"url\":\"%1\",\"output\":\"%2\"}"_s;
        writeFile(clientJson(), json.arg(m_server.url().toString(), output).toUtf8());
    }

    // Golden texts name the files' folder @DIR@, or @JSONDIR@ with escaped solidi.
    QString golden(const QString &name) const
    {
        QString text = QString::fromUtf8(readFile(QStringLiteral(NIVET_TEST_DATA "/cli/") + name));
        text.replace(u"@JSONDIR@"_s, QString(m_dir->path()).replace(u'/', u"\\/"_s));
        return text.replace(u"@DIR@"_s, m_dir->path());
    }

private Q_SLOTS:
    void initTestCase()
    {
        const auto mcp = ScriptedHttpServer::mcp(
            [this](const QString &tool, const QJsonObject &args, const HttpRequest &) { return m_tool(tool, args); });
        m_server.setHandler([this, mcp](const HttpRequest &request) {
            return request.target.startsWith("/auth/") ? m_authReply : mcp(request);
        });
    }

    void init()
    {
        QDir(m_home.nivet()).removeRecursively();
        m_dir = std::make_unique<QTemporaryDir>();
        m_server.clearRequests();
        m_tool = [](const QString &, const QJsonObject &args) {
            const QString sha = args.value(u"sha256"_s).toString();
            return ScriptedHttpServer::toolResult(QJsonObject { { u"receipts"_s,
                QJsonArray { QJsonObject { { u"receipt_id"_s, u"r-"_s + sha.left(8) }, { u"hash"_s, sha },
                    { u"scope"_s, args.value(u"scope"_s) }, { u"created_at"_s, u"2026-12-05T06:50:30Z"_s },
                    { u"merkle"_s, u"m-"_s + sha.left(8) } } } } });
        };
        m_alpha = m_dir->filePath(u"alpha.txt"_s);
        m_beta = m_dir->filePath(u"beta.txt"_s);
        m_missing = m_dir->filePath(u"missing \"x\".txt"_s); // gives a failing row
        writeFile(m_alpha, "alpha\n");
        writeFile(m_beta, "beta\n");
    }

    void usageErrors_data()
    {
        QTest::addColumn<QString>("args");
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown command") << u"frobnicate"_s << u"unknown command \"frobnicate\""_s;
        QTest::newRow("set-auth, two secrets") << u"set-auth --password a --password-stdin"_s
                                               << u"set-auth: --password and --password-stdin cannot be combined"_s;
        QTest::newRow("no files") << u"verify --format json"_s << u"verify: no files given"_s;
        QTest::newRow("missing value") << u"register a -format"_s << u"register: option --format needs a value"_s;
        QTest::newRow("unknown format") << u"register --format xml a"_s
                                        << u"register: unknown format \"xml\" (json, csv, text or pdf)"_s;
        QTest::newRow("pdf without save")
            << u"register --format pdf a"_s << u"register: --format pdf needs --save PATH"_s;
        QTest::newRow("save, unknown extension") << u"register --save out.xml a"_s
                                                 << u"register: cannot tell the format of \"out.xml\": name it .json, "
                                                    ".csv, .txt or .pdf, or give --format"_s;
    }

    void usageErrors()
    {
        QFETCH(QString, args);
        QFETCH(QString, message);
        useServer();
        const QByteArray config = readFile(clientJson());
        const CliRun r = runCli(args.split(u' '));
        QCOMPARE(r.status, 2);
        QVERIFY(r.out.isEmpty());
        QCOMPARE(r.err, u"nivet-timestamp: "_s + message + u'\n' + Cli::usage());
        QVERIFY(m_server.requests().isEmpty());
        QCOMPARE(readFile(clientJson()), config);
        QVERIFY(!QFile::exists(authFile()));
    }

    // What each command says of itself, as written.
    void helpTexts()
    {
        QString shown;
        for (const char *command :
            { "--help", "register --help", "verify --help", "set-defaults --help", "set-auth --help", "login --help",
                "check --help", "key accept --help", "evidence update --help", "evidence export --help" })
            shown += runCli(QString::fromLatin1(command).split(u' ')).out;
        QCOMPARE(shown, golden(u"help.txt"_s));
    }

    void setAuth()
    {
        const CliRun r = runCli({ u"set-auth"_s, u"--username"_s, u"alice"_s, u"--password-stdin"_s, u"--token"_s,
                                    u"old-token-1234"_s, u"--auth-url"_s, m_server.url(QString()).toString() },
            "s3cret pass\n");
        QCOMPARE(r.out, u"Saved credentials for alice \u00b7 \u2026ken-1234\n"_s);
        const QByteArray saved = "# Nivet auth credentials \xe2\x80\x94 mode 0600. Do not commit.\n"
                                 "access_token=old-token-1234\nid_token=old-token-1234\nauth_token=old-token-1234\n"
                                 "username=alice\npassword=s3cret pass\nauth_url="
            + m_server.url(QString()).toString().toUtf8() + "\n";
        QCOMPARE(readFile(authFile()), saved);
        // A token with white space inside would split the Authorization header.
        const CliRun refused = runCli({ u"set-auth"_s, u"--token-stdin"_s, u"--username"_s, u"bob"_s }, "new tok\n");
        QCOMPARE(refused.status, 1);
        QCOMPARE(refused.err, u"Error: The token contains white space or a control character\n"_s);
        QCOMPARE(readFile(authFile()), saved);
        // Server text cannot drive the terminal: retitle the window, clear the screen.
        m_authReply = HttpResponse::text("\x1b]0;owned\x07\x1b[2J\x7f\xc2\x9b\tno", 401);
        const CliRun login = runCli({ u"login"_s });
        QCOMPARE(login.status, 1);
        QCOMPARE(login.out, QString());
        QCOMPARE(login.err, u"Error: Login failed HTTP 401: \\x1B]0;owned\\x07\\x1B[2J\\x7F\\x9B\tno\n"_s);
        QCOMPARE(readFile(authFile()), saved);
    }

    // The service answered but the receipt has nowhere to go: the row fails
    // and the exit status says so.
    void unsavedReceiptFails()
    {
        useServer(u"csv"_s);
        QVERIFY(writeFile(m_home.nivet() + u"/receipts"_s, "not a folder"));
        const CliRun r = runCli({ u"register"_s, m_alpha });
        QCOMPARE(r.status, 1);
        QVERIFY2(r.out.contains(u"\"Error: The service answered (Registered), but the receipt was not saved: "_s
                     + m_home.nivet() + u"/receipts is not a folder\",error\n"_s),
            qPrintable(r.out));
        QCOMPARE(r.err, u"Done — 0 registered/ok, 1 failed (1 total).\n"_s);
    }

    // Without the app beside it or on the PATH, --gui says so.
    void guiWithoutTheApp()
    {
        const QString alone = m_dir->filePath(u"nivet-timestamp"_s);
        QVERIFY(QFile::copy(QStringLiteral(NIVET_CLI_BINARY), alone));
        QProcess tool;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"PATH"_s, m_dir->path());
        tool.setProcessEnvironment(env);
        tool.start(alone, { u"--gui"_s });
        QVERIFY(tool.waitForFinished(30000));
        QCOMPARE(tool.exitCode(), 1);
        QCOMPARE(tool.readAllStandardError(),
            QByteArray("Error: cannot find the app nivet-timestamping beside this tool or on the PATH\n"));
    }

    void registerRenderings_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("outputDefault");
        QTest::addColumn<QString>("shown"); // golden of stdout
        QTest::addColumn<QString>("saved"); // golden of the saved file, or empty
        QTest::addColumn<QString>("exported"); // the line after the summary
        const QString json = u"register-two.json"_s, csv = u"register-two.csv"_s, text = u"register-two.txt"_s;
        QTest::newRow("output csv") << QStringList {} << u"csv"_s << csv << QString() << QString();
        QTest::newRow("output pdf shows text") << QStringList {} << u"pdf"_s << text << QString() << QString();
        QTest::newRow("save json") << QStringList { u"--save"_s, u"@/out.json"_s } << u"text"_s << text << json
                                   << u"Exported JSON → out.json\n"_s;
        QTest::newRow("save, --format wins") << QStringList { u"--format"_s, u"csv"_s, u"--save"_s, u"@/out.txt"_s }
                                             << u"json"_s << csv << csv << u"Exported CSV → out.txt\n"_s;
    }

    void registerRenderings()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, outputDefault);
        QFETCH(QString, shown);
        QFETCH(QString, saved);
        QFETCH(QString, exported);
        useServer(outputDefault);
        options.replaceInStrings(u"@"_s, m_dir->path());
        const CliRun r = runCli(QStringList { u"register"_s } + options + QStringList { m_alpha, m_missing });
        QCOMPARE(r.status, 1);
        QCOMPARE(r.out, golden(shown) + u'\n');
        QCOMPARE(r.err, u"Done — 1 registered/ok, 1 failed (2 total).\n"_s + exported);
        if (!saved.isEmpty())
            QCOMPARE(QString::fromUtf8(readFile(options.last().section(u'=', -1))), golden(saved));
        const QList<ToolCall> calls = toolCalls(m_server.requests());
        QCOMPARE(calls.size(), 1);
        QCOMPARE(calls[0].arguments, (QJsonObject { { u"sha256"_s, kAlphaSha }, { u"scope"_s, u"global"_s } }));
        QCOMPARE(recordText(kAlphaSha), golden(u"record-alpha.json"_s));
    }

    void saveFailureIsReported()
    {
        useServer();
        const QString target = m_dir->filePath(u"no-such-folder/out.json"_s);
        const CliRun r = runCli({ u"register"_s, u"--save"_s, target, m_alpha });
        QCOMPARE(r.status, 1);
        QVERIFY(r.err.startsWith(u"Done — 1 registered/ok, 0 failed (1 total).\nExport failed: "_s));
        QVERIFY(!QFileInfo::exists(target));
    }

    void progressOnlyOnATerminal()
    {
        useServer();
        const QString done = u"Done — 2 registered/ok, 0 failed (2 total).\n"_s;
        const CliRun quiet = runCli({ u"register"_s, m_alpha, m_beta });
        // Beta is hashed while alpha's requests are out: when its bytes show
        // depends on the two threads, not the order of the files.
        const CliRun shown = runCli({ u"register"_s, m_alpha, m_beta }, {}, true);
        QVERIFY2(shown.err.startsWith(u"\r\x1b[K[1/2] alpha.txt  0/11 bytes\r\x1b[K[1/2] alpha.txt  6/11 bytes"_s)
                && shown.err.endsWith(u"\r\x1b[K[2/2] beta.txt  11/11 bytes\r\x1b[K"_s + done),
            qPrintable(shown.err));
        QCOMPARE(shown.out, quiet.out);
    }

    void ctrlCStopsAfterTheFileInHand()
    {
        useServer();
        const auto stamp = m_tool;
        m_tool = [stamp](const QString &tool, const QJsonObject &args) {
            ::raise(SIGINT); // while alpha's stamp is in flight
            return stamp(tool, args);
        };
        const QString saved = m_dir->filePath(u"partial.csv"_s);
        const CliRun r = runCli({ u"register"_s, u"--save"_s, saved, m_alpha, m_beta });
        QCOMPARE(r.status, 130);
        QCOMPARE(r.err, u"Stopping…\nStopped — 1 registered/ok, 0 failed (1 total).\nExported CSV → partial.csv\n"_s);
        QCOMPARE(r.out, golden(u"register-two.txt"_s).section(u"\n\n"_s, 0, 0) + u'\n');
        QCOMPARE(readFile(saved).count('\n'), 1); // header and alpha's row
        // Alpha's receipt is kept; beta was never sent.
        QCOMPARE(recordText(kAlphaSha), golden(u"record-alpha.json"_s));
        QCOMPARE(toolCalls(m_server.requests()).size(), 1);
    }

    void setDefaults()
    {
        // Without a file, the built-ins are the starting point.
        CliRun r = runCli({ u"set-defaults"_s, u"--output"_s, u"pdf"_s });
        QCOMPARE(r.out, u"url: https://mcp.nivet.example/mcp\nscope: global\noutput: pdf\n"_s);
        r = runCli({ u"set-defaults"_s, u"--url"_s, u"http://127.0.0.1:9/mcp"_s, u"--scope="_s });
        r = runCli({});
        QCOMPARE(r.out, u"url: http://127.0.0.1:9/mcp\nscope: \noutput: pdf\n\n"_s + Cli::usage());

        const QByteArray before = readFile(clientJson());
        r = runCli({ u"set-defaults"_s, u"--url"_s, u"localhost:8080"_s, u"--scope"_s, u"x"_s });
        QCOMPARE(r.status, 1);
        QCOMPARE(r.err, u"Error: Invalid MCP URL: \"localhost:8080\" is not an http or https URL\n"_s);
        QCOMPARE(readFile(clientJson()), before);
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
