#include "cli/cli.h"
#include "storage/configstore.h"
#include "storage/receiptstore.h"

#include "clirun.h"
#include "scriptedhttpserver.h"
#include "testenv.h"
#include "toolcalls.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {

const QString kAlphaSha = u"b6a98d9ce9a2d9149288fa3df42d377c3e42737afdcdaf714e33c0a100b51060"_s;
const QString kBetaSha = u"f2c82decdd7181cf98945929a62598db7e6b477e11f6e0eb0ae97020eff151ad"_s;
const QString kGammaSha = u"ae9a6306a205417afddd14316cc1d0d5e04a98f1be10865dce643925ee070ce2"_s;
const QString kCsvHeader = u"path,sha256,scope,receipt_id,created_at,merkle,status,kind\n"_s;

// What the scripted service stamps: one receipt derived from the digest.
QJsonObject stamped(const QString &sha, const QString &scope)
{
    return QJsonObject { { u"receipt_id"_s, u"r-"_s + sha.left(8) }, { u"hash"_s, sha }, { u"scope"_s, scope },
        { u"created_at"_s, u"2026-12-05T06:50:30Z"_s }, { u"merkle"_s, u"m-"_s + sha.left(8) } };
}

HttpResponse receiptsReply(const QJsonArray &list)
{
    return ScriptedHttpServer::toolResult(QJsonObject { { u"receipts"_s, list } });
}

QString golden(const QString &name)
{
    return QString::fromUtf8(readFile(QStringLiteral(NIVET_TEST_DATA "/cli/") + name));
}

// The save time is the one part of a record that differs from run to run.
QString withoutUpdatedAt(QString record)
{
    static const QRegularExpression stamp(u"\"updated_at\" : \"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ\""_s);
    return record.replace(stamp, u"\"updated_at\" : \"@UPDATED_AT@\""_s);
}

QString recordText(const QString &sha)
{
    return withoutUpdatedAt(QString::fromUtf8(readFile(ReceiptStore::receiptFileURL(sha))));
}

} // namespace

class TestCliBatch : public QObject {
    Q_OBJECT

    std::unique_ptr<IsolatedDataHome> m_home;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ScriptedHttpServer> m_server;
    std::function<HttpResponse(const QString &, const QJsonObject &)> m_tool;
    QString m_alpha, m_beta, m_gamma;

    QString clientJson() const { return m_home->nivet() + u"/client.json"_s; }

    void setDefaults(const QString &url, const QString &scope, const QString &output)
    {
        const QJsonObject defaults { { u"url"_s, url }, { u"scope"_s, scope }, { u"output"_s, output } };
        writeFile(clientJson(), QJsonDocument(defaults).toJson(QJsonDocument::Compact));
    }

    void useServer(const QString &output = u"text"_s, const QString &scope = u"global"_s)
    {
        setDefaults(m_server->url().toString(), scope, output);
    }

    // Golden texts name the files' folder @DIR@, or @JSONDIR@ with escaped solidi.
    QString expand(QString text) const
    {
        text.replace(u"@JSONDIR@"_s, QString(m_dir->path()).replace(u'/', u"\\/"_s));
        return text.replace(u"@DIR@"_s, m_dir->path());
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<IsolatedDataHome>();
        m_dir = std::make_unique<QTemporaryDir>();
        m_server = std::make_unique<ScriptedHttpServer>();
        m_tool = [](const QString &tool, const QJsonObject &args) {
            if (tool == u"stamp"_s)
                return receiptsReply(
                    { stamped(args.value(u"sha256"_s).toString(), args.value(u"scope"_s).toString()) });
            return ScriptedHttpServer::toolResult(jsonObject(R"({"valid":true})"));
        };
        m_server->setHandler(ScriptedHttpServer::mcp(
            [this](const QString &tool, const QJsonObject &args, const HttpRequest &) { return m_tool(tool, args); }));
        m_alpha = m_dir->filePath(u"alpha.txt"_s);
        m_beta = m_dir->filePath(u"beta.txt"_s);
        m_gamma = m_dir->filePath(u"gamma.txt"_s);
        writeFile(m_alpha, "alpha\n");
        writeFile(m_beta, "beta\n");
        writeFile(m_gamma, "gamma\n");
    }

    void cleanup()
    {
        m_server.reset();
        m_dir.reset();
        m_home.reset();
    }

    void registerThreeFiles()
    {
        useServer();
        const CliRun r = runCli({ u"register"_s, m_alpha, m_beta, m_gamma });
        QCOMPARE(r.status, 0);
        QCOMPARE(r.err, u"Done — 3 registered/ok, 0 failed (3 total).\n"_s);
        QCOMPARE(r.out, expand(golden(u"register-three.txt"_s)) + u'\n');

        QCOMPARE(m_server->requests().size(), 9);
        const QList<ToolCall> calls = toolCalls(m_server->requests());
        const QStringList shas { kAlphaSha, kBetaSha, kGammaSha };
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(calls[i].name, u"stamp"_s);
            QCOMPARE(calls[i].arguments, (QJsonObject { { u"sha256"_s, shas[i] }, { u"scope"_s, u"global"_s } }));
        }
        QCOMPARE(recordText(kAlphaSha), expand(golden(u"record-alpha.json"_s)));
        QCOMPARE(recordText(kBetaSha), expand(golden(u"record-beta.json"_s)));
        QCOMPARE(recordText(kGammaSha), expand(golden(u"record-gamma.json"_s)));
        QCOMPARE(fileMode(ReceiptStore::receiptFileURL(kAlphaSha)), 0600);
    }

    void renderings_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("outputDefault");
        QTest::addColumn<QString>("goldenName");
        QTest::newRow("--format json") << QStringList { u"--format"_s, u"json"_s } << u"text"_s
                                       << u"register-two.json"_s;
        QTest::newRow("--format=csv") << QStringList { u"--format=csv"_s } << u"json"_s << u"register-two.csv"_s;
        QTest::newRow("--format text") << QStringList { u"--format"_s, u"text"_s } << u"csv"_s << u"register-two.txt"_s;
        QTest::newRow("output json") << QStringList {} << u"json"_s << u"register-two.json"_s;
        QTest::newRow("output csv") << QStringList {} << u"csv"_s << u"register-two.csv"_s;
        QTest::newRow("output pdf shows text") << QStringList {} << u"pdf"_s << u"register-two.txt"_s;
        QTest::newRow("unknown output shows text") << QStringList {} << u"JSON"_s << u"register-two.txt"_s;
    }

    void renderings()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, outputDefault);
        QFETCH(QString, goldenName);
        useServer(outputDefault);
        // A file that cannot be read gives the second, failing row.
        const QString missing = m_dir->filePath(u"missing \"x\".txt"_s);
        const CliRun r = runCli(QStringList { u"register"_s } + options + QStringList { m_alpha, missing });
        QCOMPARE(r.status, 1);
        QCOMPARE(r.out, expand(golden(goldenName)) + u'\n');
        QCOMPARE(r.err, u"Done — 1 registered/ok, 1 failed (2 total).\n"_s);
    }

    void registerWithTwoReceipts()
    {
        useServer(u"csv"_s, u"shared"_s);
        m_tool = [](const QString &, const QJsonObject &args) {
            const QString sha = args.value(u"sha256"_s).toString();
            QJsonObject second = stamped(sha, u"shared"_s);
            second.insert(u"receipt_id"_s, u"r-second"_s);
            second.insert(u"merkle"_s, u"m-second"_s);
            return receiptsReply({ stamped(sha, u"shared"_s), second });
        };
        const CliRun r = runCli({ u"register"_s, m_alpha });
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out,
            kCsvHeader
                + expand(u"\"@DIR@/alpha.txt\",%1,shared,r-b6a98d9c,2026-12-05T06:50:30Z,"
                         "m-b6a98d9c,\"Registered\",registered\n"_s)
                      .arg(kAlphaSha));
        QCOMPARE(recordText(kAlphaSha), expand(golden(u"record-two-receipts.json"_s)));
    }

    void verifyByReceiptId()
    {
        useServer();
        QCOMPARE(runCli({ u"register"_s, m_alpha }).status, 0);
        m_server->clearRequests();
        m_tool = [](const QString &, const QJsonObject &) {
            return ScriptedHttpServer::toolResult(jsonObject(R"({"valid":true,"blockHash":"0xfeed"})"));
        };
        const CliRun r = runCli({ u"verify"_s, u"--format"_s, u"text"_s, m_alpha });
        QCOMPARE(r.status, 0);
        QCOMPARE(r.err, u"Done — 1 found/valid, 0 not found, 0 failed (1 total).\n"_s);
        QCOMPARE(r.out,
            expand(u"File: @DIR@/alpha.txt\nSHA-256: %1\nScope: global\nReceipt: r-b6a98d9c\n"
                   "Original timestamp: 2026-12-05T06:50:30Z\nMerkle: 0xfeed\nStatus: Valid (PASS)\n"_s)
                .arg(kAlphaSha));
        const QList<ToolCall> calls = toolCalls(m_server->requests());
        QCOMPARE(calls.size(), 1);
        QCOMPARE(calls[0].name, u"verify"_s);
        QCOMPARE(calls[0].arguments, jsonObject(R"({"receipt_id":"r-b6a98d9c","want_scope":"global"})"));
    }

    void verifyByHashReport()
    {
        useServer(u"json"_s, u"local"_s);
        m_tool = [](const QString &, const QJsonObject &args) {
            QJsonObject e
                = jsonObject(R"({"receipt_id":"hr-1","timestamp":"2026-11-30T12:00:00Z","blockHash":"0xb10c"})");
            e.insert(u"hash"_s, args.value(u"sha256"_s));
            return receiptsReply({ e });
        };
        const CliRun r = runCli({ u"verify"_s, m_beta });
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out, expand(golden(u"verify-hash-report.json"_s)) + u'\n');
        const QList<ToolCall> calls = toolCalls(m_server->requests());
        QCOMPARE(calls[0].name, u"hash_report"_s);
        QCOMPARE(calls[0].arguments, (QJsonObject { { u"sha256"_s, kBetaSha }, { u"want_scope"_s, u"local"_s } }));
        QCOMPARE(recordText(kBetaSha), expand(golden(u"record-hash-report.json"_s)));
    }

    void errorRows_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<HttpResponse>("reply");
        QTest::addColumn<bool>("refuseSession");
        QTest::addColumn<QString>("status");
        const HttpResponse none = HttpResponse::text("", 500);
        const QString reg = u"register"_s;
        QTest::newRow("no receipt") << reg << receiptsReply({}) << false << u"Error: no receipt in MCP response"_s;
        QTest::newRow("HTTP 500") << reg << HttpResponse::text("broken", 500) << false << u"Error: HTTP 500: broken"_s;
        QTest::newRow("missing result") << reg << HttpResponse::json(jsonObject(R"({"id":2})")) << false
                                        << u"Error: Missing result"_s;
        QTest::newRow("session refused") << reg << none << true << u"Error: HTTP 401: token expired"_s;
        QTest::newRow("verify: session refused") << u"verify"_s << none << true << u"Error: HTTP 401: token expired"_s;
        QTest::newRow("verify: not found") << u"verify"_s << receiptsReply({}) << false << u"Not found"_s;
        QTest::newRow("verify: failing report")
            << u"verify"_s << HttpResponse::text("down", 500) << false << u"Not found"_s;
    }

    void errorRows()
    {
        QFETCH(QString, command);
        QFETCH(HttpResponse, reply);
        QFETCH(bool, refuseSession);
        QFETCH(QString, status);
        useServer(u"csv"_s);
        m_tool = [reply](const QString &, const QJsonObject &) { return reply; };
        if (refuseSession)
            m_server->setHandler([](const HttpRequest &) { return HttpResponse::text("token expired", 401); });
        const CliRun r = runCli({ command, m_alpha });
        QCOMPARE(r.status, 1);
        const QString kind = status.startsWith(u"Error"_s) ? u"error"_s : u"not_found"_s;
        QCOMPARE(
            r.out, kCsvHeader + expand(u"\"@DIR@/alpha.txt\",%1,global,,,,\"%2\",%3\n"_s).arg(kAlphaSha, status, kind));
        QVERIFY(!QFileInfo::exists(ReceiptStore::receiptFileURL(kAlphaSha)));
    }

    void verifyCountsEveryOutcome()
    {
        useServer();
        QCOMPARE(runCli({ u"register"_s, m_alpha, m_beta }).status, 0);
        m_tool = [](const QString &tool, const QJsonObject &args) {
            if (tool == u"hash_report"_s)
                return receiptsReply({});
            const bool alpha = args.value(u"receipt_id"_s).toString() == u"r-b6a98d9c"_s;
            return ScriptedHttpServer::toolResult(
                jsonObject(alpha ? R"({"valid":true})" : R"({"valid":false,"error":"revoked"})"));
        };
        const QString missing = m_dir->filePath(u"nope.txt"_s);
        const CliRun r = runCli({ u"verify"_s, u"--format"_s, u"csv"_s, m_alpha, m_beta, m_gamma, missing });
        QCOMPARE(r.status, 1);
        QCOMPARE(r.err, u"Done — 1 found/valid, 1 not found, 3 failed (4 total).\n"_s);
        const QStringList lines = r.out.split(u'\n');
        QCOMPARE(lines.size(), 6);
        QVERIFY(lines[1].endsWith(u"\"Valid\",valid"_s));
        QVERIFY(lines[2].endsWith(u"\"Invalid: revoked\",invalid"_s));
        QVERIFY(lines[3].endsWith(u",,,,\"Not found\",not_found"_s));
        QVERIFY(lines[4].startsWith(expand(u"\"@DIR@/nope.txt\",,global,,,,\"Error: Cannot open "_s)));
    }

    void usageErrors_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        const QString reg = u"register"_s;
        const QString set = u"set-defaults"_s;
        QTest::newRow("no files") << QStringList { reg } << u"register: no files given"_s;
        QTest::newRow("only options") << QStringList { u"verify"_s, u"--format"_s, u"json"_s }
                                      << u"verify: no files given"_s;
        QTest::newRow("unknown option") << QStringList { reg, u"--fast"_s, u"a"_s }
                                        << u"register: unknown option \"--fast\""_s;
        QTest::newRow("short option") << QStringList { reg, u"-f"_s, u"a"_s } << u"register: unknown option \"-f\""_s;
        QTest::newRow("missing value") << QStringList { reg, u"a"_s, u"--format"_s }
                                       << u"register: option --format needs a value"_s;
        QTest::newRow("unknown format") << QStringList { reg, u"--format"_s, u"xml"_s, u"a"_s }
                                        << u"register: unknown format \"xml\" (json, csv, text or pdf)"_s;
        QTest::newRow("pdf without save")
            << QStringList { reg, u"--format"_s, u"pdf"_s, u"a"_s } << u"register: --format pdf needs --save PATH"_s;
        QTest::newRow("format twice") << QStringList { reg, u"--format=csv"_s, u"--format=json"_s, u"a"_s }
                                      << u"register: option --format given twice"_s;
        QTest::newRow("save, unknown extension") << QStringList {
            reg, u"--save"_s, u"out.xml"_s, u"a"_s
        } << u"register: cannot tell the format of \"out.xml\": name it .json, .csv, .txt or .pdf, or give --format"_s;
        QTest::newRow("empty save path") << QStringList { reg, u"--save="_s, u"a"_s }
                                         << u"register: --save needs a file name"_s;
        QTest::newRow("set-defaults operand")
            << QStringList { set, u"x"_s } << u"set-defaults: unexpected argument \"x\""_s;
        QTest::newRow("set-defaults output") << QStringList { set, u"--output"_s, u"xml"_s }
                                             << u"set-defaults: unknown output \"xml\" (text, json, csv or pdf)"_s;
        QTest::newRow("set-defaults option")
            << QStringList { set, u"--colour"_s, u"red"_s } << u"set-defaults: unknown option \"--colour\""_s;
    }

    void usageErrors()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        useServer();
        const QByteArray config = readFile(clientJson());
        const CliRun r = runCli(args);
        QCOMPARE(r.status, 2);
        QVERIFY(r.out.isEmpty());
        QCOMPARE(r.err, u"nivet-timestamp: "_s + message + u'\n' + Cli::usage());
        QVERIFY(m_server->requests().isEmpty());
        QCOMPARE(readFile(clientJson()), config);
    }

    void relativeNamesAndDoubleDash()
    {
        useServer(u"csv"_s);
        const QString odd = m_dir->filePath(u"--odd"_s);
        writeFile(odd, "alpha\n");
        QDir::setCurrent(m_dir->path());
        const CliRun r = runCli({ u"register"_s, u"--"_s, u"--odd"_s });
        QCOMPARE(r.status, 0);
        QVERIFY(r.out.contains(expand(u"\"@DIR@/--odd\",%1,"_s).arg(kAlphaSha)));
        QCOMPARE(ReceiptStore::read(kAlphaSha)->sourcePaths, QStringList { odd });
    }

    void save_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("goldenName");
        QTest::addColumn<QString>("message");
        QTest::newRow("json") << QStringList {} << u"out.json"_s << u"register-two.json"_s
                              << u"Exported JSON → out.json"_s;
        QTest::newRow("csv, upper-case extension")
            << QStringList {} << u"out.CSV"_s << u"register-two.csv"_s << u"Exported CSV → out.CSV"_s;
        QTest::newRow("text") << QStringList {} << u"notes.txt"_s << u"register-two.txt"_s
                              << u"Exported TEXT → notes.txt"_s;
        QTest::newRow("--format wins") << QStringList { u"--format"_s, u"csv"_s } << u"out.txt"_s
                                       << u"register-two.csv"_s << u"Exported CSV → out.txt"_s;
        QTest::newRow("--format, no extension") << QStringList { u"--format=json"_s } << u"report"_s
                                                << u"register-two.json"_s << u"Exported JSON → report"_s;
    }

    void save()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, fileName);
        QFETCH(QString, goldenName);
        QFETCH(QString, message);
        useServer(u"text"_s);
        QDir().mkpath(m_dir->filePath(u"exports"_s));
        const QString target = m_dir->filePath(u"exports/"_s + fileName);
        const QString missing = m_dir->filePath(u"missing \"x\".txt"_s);
        const CliRun r
            = runCli(QStringList { u"register"_s, u"--save"_s, target } + options + QStringList { m_alpha, missing });
        QCOMPARE(r.status, 1);
        QCOMPARE(r.err, u"Done — 1 registered/ok, 1 failed (2 total).\n"_s + message + u'\n');
        QCOMPARE(QString::fromUtf8(readFile(target)), expand(golden(goldenName)));
        // stdout follows --format (else the output default), not the saved file.
        const QString shown = options.isEmpty() ? u"register-two.txt"_s : goldenName;
        QCOMPARE(r.out, expand(golden(shown)) + u'\n');
    }

    void saveFailureIsReported()
    {
        useServer();
        const QString target = m_dir->filePath(u"no-such-folder/out.json"_s);
        const CliRun r = runCli({ u"register"_s, u"--save"_s, target, m_alpha });
        QCOMPARE(r.status, 1);
        QVERIFY(r.err.startsWith(u"Done — 1 registered/ok, 0 failed (1 total).\nExport failed: "_s));
        QVERIFY(!r.out.isEmpty());
        QVERIFY(!QFileInfo::exists(target));
    }

    void progressOnlyOnATerminal()
    {
        useServer();
        const CliRun quiet = runCli({ u"register"_s, m_alpha, m_beta });
        QCOMPARE(quiet.err, u"Done — 2 registered/ok, 0 failed (2 total).\n"_s);
        const CliRun shown = runCli({ u"register"_s, m_alpha, m_beta }, {}, true);
        QCOMPARE(shown.err,
            u"\r\x1b[K[1/2] alpha.txt  0/11 bytes\r\x1b[K[1/2] alpha.txt  6/11 bytes"
            "\r\x1b[K[2/2] beta.txt  6/11 bytes\r\x1b[K[2/2] beta.txt  11/11 bytes"
            "\r\x1b[KDone — 2 registered/ok, 0 failed (2 total).\n"_s);
        QCOMPARE(shown.out, quiet.out);
    }

    void ctrlCStopsAfterTheFileInHand()
    {
        useServer();
        m_tool = [](const QString &, const QJsonObject &args) {
            ::raise(SIGINT); // while alpha's stamp is in flight
            return receiptsReply({ stamped(args.value(u"sha256"_s).toString(), u"global"_s) });
        };
        const QString saved = m_dir->filePath(u"partial.csv"_s);
        const CliRun r = runCli({ u"register"_s, u"--save"_s, saved, m_alpha, m_beta });
        QCOMPARE(r.status, 130);
        QCOMPARE(r.err,
            u"Stopping after the current file…\nStopped — 1 registered/ok, 0 failed (1 total).\n"
            "Exported CSV → partial.csv\n"_s);
        QCOMPARE(r.out, expand(golden(u"register-three.txt"_s)).section(u"\n\n"_s, 0, 0) + u'\n');
        QCOMPARE(readFile(saved).count('\n'), 1); // header and alpha's row
        // Alpha's receipt is kept; beta was never sent.
        QCOMPARE(recordText(kAlphaSha), expand(golden(u"record-alpha.json"_s)));
        QCOMPARE(toolCalls(m_server->requests()).size(), 1);
    }

    void setDefaults()
    {
        // Without a file, the built-ins are the starting point.
        CliRun r = runCli({ u"set-defaults"_s, u"--output"_s, u"pdf"_s });
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out, u"url: https://mcp.nivet.example/mcp\nscope: global\noutput: pdf\n"_s);

        r = runCli({ u"set-defaults"_s, u"--url"_s, u"http://127.0.0.1:9/mcp"_s, u"--scope=shared"_s });
        QCOMPARE(r.out, u"url: http://127.0.0.1:9/mcp\nscope: shared\noutput: pdf\n"_s);
        QCOMPARE(readFile(clientJson()),
            QByteArray(R"({"output":"pdf","scope":"shared","url":"http:\/\/127.0.0.1:9\/mcp"})"));

        r = runCli({ u"set-defaults"_s, u"--scope="_s });
        QCOMPARE(r.status, 0);
        QCOMPARE(ConfigStore().defaults().scope, QString());

        r = runCli({});
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out, u"url: http://127.0.0.1:9/mcp\nscope: \noutput: pdf\n\n"_s + Cli::usage());
    }

    void setDefaultsRefusals()
    {
        setDefaults(u"http://127.0.0.1:9/mcp"_s, u"global"_s, u"text"_s);
        const QByteArray before = readFile(clientJson());
        CliRun r = runCli({ u"set-defaults"_s, u"--url"_s, u"localhost:8080"_s, u"--scope"_s, u"x"_s });
        QCOMPARE(r.status, 1);
        QCOMPARE(r.err, u"Error: Invalid MCP URL: \"localhost:8080\" is not an http or https URL\n"_s);
        QCOMPARE(readFile(clientJson()), before);

        // A folder where client.json should be: the save cannot replace it.
        QFile::remove(clientJson());
        QDir().mkpath(clientJson());
        r = runCli({ u"set-defaults"_s, u"--scope"_s, u"x"_s });
        QCOMPARE(r.status, 1);
        QCOMPARE(r.err, u"Error: could not save the defaults to "_s + clientJson() + u'\n');
        QVERIFY(r.out.isEmpty());
    }

    void realBinaryRegisters()
    {
        useServer(u"json"_s);
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"XDG_DATA_HOME"_s, m_home->path());
        p.setProcessEnvironment(env);
        QSignalSpy finished(&p, &QProcess::finished);
        p.start(QStringLiteral(NIVET_CLI_BINARY), { u"register"_s, u"--format"_s, u"csv"_s, m_alpha });
        // The scripted server answers from this event loop, so wait in it.
        QVERIFY(finished.wait(20000));
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(p.readAllStandardError()), u"Done — 1 registered/ok, 0 failed (1 total).\n"_s);
        QCOMPARE(QString::fromUtf8(p.readAllStandardOutput()),
            kCsvHeader
                + expand(u"\"@DIR@/alpha.txt\",%1,global,r-b6a98d9c,2026-12-05T06:50:30Z,m-b6a98d9c,"
                         "\"Registered\",registered\n"_s)
                      .arg(kAlphaSha));
        QCOMPARE(recordText(kAlphaSha), expand(golden(u"record-alpha.json"_s)));
    }

    void realBinarySavesPdf()
    {
        useServer(u"json"_s);
        const QString pdf = m_home->path() + u"/out.pdf"_s;
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"XDG_DATA_HOME"_s, m_home->path());
        env.remove(u"QT_QPA_PLATFORM"_s); // the tool needs no display for a PDF
        env.remove(u"DISPLAY"_s);
        p.setProcessEnvironment(env);
        QSignalSpy finished(&p, &QProcess::finished);
        p.start(QStringLiteral(NIVET_CLI_BINARY), { u"register"_s, u"--save"_s, pdf, m_alpha });
        QVERIFY(finished.wait(20000));
        QCOMPARE(p.exitCode(), 0);
        // Qt's own note about a missing runtime folder on machines without a session is not ours.
        QString err = QString::fromUtf8(p.readAllStandardError());
        err.remove(QRegularExpression(u"^QStandardPaths: [^\n]*\n"_s));
        QCOMPARE(err, u"Done — 1 registered/ok, 0 failed (1 total).\nExported PDF → out.pdf\n"_s);
        const QByteArray bytes = readFile(pdf);
        QVERIFY(bytes.startsWith("%PDF-"));
        QVERIFY(bytes.size() > 1000);
    }
};

QTEST_GUILESS_MAIN(TestCliBatch)
#include "tst_clibatch.moc"
