#include "cli/cli.h"
#include "clirun.h"
#include "storage/configstore.h"
#include "storage/receiptstore.h"

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

namespace {

const QString kAlphaSha = QStringLiteral("b6a98d9ce9a2d9149288fa3df42d377c3e42737afdcdaf714e33c0a100b51060");
const QString kBetaSha = QStringLiteral("f2c82decdd7181cf98945929a62598db7e6b477e11f6e0eb0ae97020eff151ad");
const QString kGammaSha = QStringLiteral("ae9a6306a205417afddd14316cc1d0d5e04a98f1be10865dce643925ee070ce2");

// The stamp reply of the scripted service: one receipt derived from the
// digest, in the requested scope.
QJsonObject stampedReceipt(const QString &sha, const QString &scope)
{
    return QJsonObject { { QStringLiteral("receipt_id"), QStringLiteral("r-") + sha.left(8) },
        { QStringLiteral("hash"), sha }, { QStringLiteral("scope"), scope },
        { QStringLiteral("created_at"), QStringLiteral("2026-12-05T06:50:30Z") },
        { QStringLiteral("merkle"), QStringLiteral("m-") + sha.left(8) } };
}

QJsonObject receipts(const QJsonArray &list)
{
    return QJsonObject { { QStringLiteral("receipts"), list } };
}

QString golden(const QString &name)
{
    return QString::fromUtf8(readFile(QStringLiteral(NIVET_TEST_DATA "/cli/") + name));
}

} // namespace

class TestCliBatch : public QObject {
    Q_OBJECT

    std::unique_ptr<IsolatedDataHome> m_home;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ScriptedHttpServer> m_server;
    std::function<HttpResponse(const QString &, const QJsonObject &)> m_tool;
    QString m_alpha, m_beta, m_gamma;

    void setDefaults(const QString &url, const QString &scope, const QString &output)
    {
        writeFile(m_home->nivet() + QStringLiteral("/client.json"),
            QJsonDocument(QJsonObject { { QStringLiteral("url"), url }, { QStringLiteral("scope"), scope },
                              { QStringLiteral("output"), output } })
                .toJson(QJsonDocument::Compact));
    }

    void useServer(const QString &output = QStringLiteral("text"), const QString &scope = QStringLiteral("global"))
    {
        setDefaults(m_server->url().toString(), scope, output);
    }

    // Golden texts name the files' folder as @DIR@ (in JSON with escaped
    // solidi) and the save time as @UPDATED_AT@.
    QString expand(QString text) const
    {
        text.replace(
            QStringLiteral("@JSONDIR@"), QString(m_dir->path()).replace(QLatin1Char('/'), QStringLiteral("\\/")));
        return text.replace(QStringLiteral("@DIR@"), m_dir->path());
    }

    static QString withoutUpdatedAt(QString record)
    {
        static const QRegularExpression stamp(
            QStringLiteral("\"updated_at\" : \"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ\""));
        return record.replace(stamp, QStringLiteral("\"updated_at\" : \"@UPDATED_AT@\""));
    }

    QString recordText(const QString &sha) const
    {
        return QString::fromUtf8(readFile(ReceiptStore::receiptFileURL(sha)));
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<IsolatedDataHome>();
        m_dir = std::make_unique<QTemporaryDir>();
        m_server = std::make_unique<ScriptedHttpServer>();
        m_tool = [](const QString &tool, const QJsonObject &args) {
            if (tool == QLatin1String("stamp")) {
                const QString sha = args.value(QStringLiteral("sha256")).toString();
                return ScriptedHttpServer::toolResult(
                    receipts({ stampedReceipt(sha, args.value(QStringLiteral("scope")).toString()) }));
            }
            return ScriptedHttpServer::toolResult(QJsonObject { { QStringLiteral("valid"), true } });
        };
        m_server->setHandler(ScriptedHttpServer::mcp(
            [this](const QString &tool, const QJsonObject &args, const HttpRequest &) { return m_tool(tool, args); }));
        m_alpha = m_dir->filePath(QStringLiteral("alpha.txt"));
        m_beta = m_dir->filePath(QStringLiteral("beta.txt"));
        m_gamma = m_dir->filePath(QStringLiteral("gamma.txt"));
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
        const CliRun r = runCli({ QStringLiteral("register"), m_alpha, m_beta, m_gamma });
        QCOMPARE(r.status, 0);
        QCOMPARE(r.err, QStringLiteral("Done — 3 registered/ok, 0 failed (3 total).\n"));
        QCOMPARE(r.out, expand(golden(QStringLiteral("register-three.txt"))) + QLatin1Char('\n'));

        const QList<ToolCall> calls = toolCalls(m_server->requests());
        QCOMPARE(calls.size(), 3);
        const QStringList shas { kAlphaSha, kBetaSha, kGammaSha };
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(calls[i].name, QStringLiteral("stamp"));
            QCOMPARE(calls[i].arguments,
                (QJsonObject {
                    { QStringLiteral("sha256"), shas[i] }, { QStringLiteral("scope"), QStringLiteral("global") } }));
        }
        QCOMPARE(m_server->requests().size(), 9);

        QCOMPARE(withoutUpdatedAt(recordText(kAlphaSha)), expand(golden(QStringLiteral("record-alpha.json"))));
        QCOMPARE(withoutUpdatedAt(recordText(kBetaSha)), expand(golden(QStringLiteral("record-beta.json"))));
        QCOMPARE(withoutUpdatedAt(recordText(kGammaSha)), expand(golden(QStringLiteral("record-gamma.json"))));
        QCOMPARE(fileMode(ReceiptStore::receiptFileURL(kAlphaSha)), 0600);
    }

    void renderings_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("outputDefault");
        QTest::addColumn<QString>("goldenName");
        QTest::newRow("--format json") << QStringList { QStringLiteral("--format"), QStringLiteral("json") }
                                       << QStringLiteral("text") << QStringLiteral("register-two.json");
        QTest::newRow("--format=csv") << QStringList { QStringLiteral("--format=csv") } << QStringLiteral("json")
                                      << QStringLiteral("register-two.csv");
        QTest::newRow("--format text") << QStringList { QStringLiteral("--format"), QStringLiteral("text") }
                                       << QStringLiteral("csv") << QStringLiteral("register-two.txt");
        QTest::newRow("output default json")
            << QStringList {} << QStringLiteral("json") << QStringLiteral("register-two.json");
        QTest::newRow("output default csv")
            << QStringList {} << QStringLiteral("csv") << QStringLiteral("register-two.csv");
        QTest::newRow("output default pdf shows text")
            << QStringList {} << QStringLiteral("pdf") << QStringLiteral("register-two.txt");
        QTest::newRow("unknown output default shows text")
            << QStringList {} << QStringLiteral("JSON") << QStringLiteral("register-two.txt");
    }

    void renderings()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, outputDefault);
        QFETCH(QString, goldenName);
        useServer(outputDefault);
        // A second file fails: the renderings show both kinds.
        const QString missing = m_dir->filePath(QStringLiteral("missing \"x\".txt"));
        const CliRun r
            = runCli(QStringList { QStringLiteral("register") } + options + QStringList { m_alpha, missing });
        QCOMPARE(r.status, 1);
        QCOMPARE(r.out, expand(golden(goldenName)) + QLatin1Char('\n'));
        QCOMPARE(r.err, QStringLiteral("Done — 1 registered/ok, 1 failed (2 total).\n"));
    }

    void registerWithTwoReceipts()
    {
        useServer(QStringLiteral("csv"), QStringLiteral("shared"));
        m_tool = [](const QString &, const QJsonObject &args) {
            const QString sha = args.value(QStringLiteral("sha256")).toString();
            QJsonObject second = stampedReceipt(sha, QStringLiteral("shared"));
            second.insert(QStringLiteral("receipt_id"), QStringLiteral("r-second"));
            second.insert(QStringLiteral("merkle"), QStringLiteral("m-second"));
            return ScriptedHttpServer::toolResult(receipts({ stampedReceipt(sha, QStringLiteral("shared")), second }));
        };
        const CliRun r = runCli({ QStringLiteral("register"), m_alpha });
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out,
            expand(QStringLiteral("path,sha256,scope,receipt_id,created_at,merkle,status,kind\n"
                                  "\"@DIR@/alpha.txt\",%1,shared,r-b6a98d9c,2026-12-05T06:50:30Z,m-b6a98d9c,"
                                  "\"Registered\",registered\n")
                       .arg(kAlphaSha)));
        QCOMPARE(withoutUpdatedAt(recordText(kAlphaSha)), expand(golden(QStringLiteral("record-two-receipts.json"))));
    }

    void verifyByReceiptId()
    {
        useServer();
        QCOMPARE(runCli({ QStringLiteral("register"), m_alpha }).status, 0);
        m_server->clearRequests();
        m_tool = [](const QString &, const QJsonObject &) {
            return ScriptedHttpServer::toolResult(QJsonObject {
                { QStringLiteral("valid"), true }, { QStringLiteral("blockHash"), QStringLiteral("0xfeed") } });
        };
        const CliRun r
            = runCli({ QStringLiteral("verify"), QStringLiteral("--format"), QStringLiteral("text"), m_alpha });
        QCOMPARE(r.status, 0);
        QCOMPARE(r.err, QStringLiteral("Done — 1 found/valid, 0 not found, 0 failed (1 total).\n"));
        QCOMPARE(r.out,
            expand(QStringLiteral("File: @DIR@/alpha.txt\n"
                                  "SHA-256: %1\n"
                                  "Scope: global\n"
                                  "Receipt: r-b6a98d9c\n"
                                  "Original timestamp: 2026-12-05T06:50:30Z\n"
                                  "Merkle: 0xfeed\n"
                                  "Status: Valid (PASS)\n")
                       .arg(kAlphaSha)));
        const QList<ToolCall> calls = toolCalls(m_server->requests());
        QCOMPARE(calls.size(), 1);
        QCOMPARE(calls[0].name, QStringLiteral("verify"));
        QCOMPARE(calls[0].arguments,
            (QJsonObject { { QStringLiteral("receipt_id"), QStringLiteral("r-b6a98d9c") },
                { QStringLiteral("want_scope"), QStringLiteral("global") } }));
    }

    void verifyByHashReport()
    {
        useServer(QStringLiteral("json"), QStringLiteral("local"));
        m_tool = [](const QString &, const QJsonObject &args) {
            const QJsonObject e { { QStringLiteral("receipt_id"), QStringLiteral("hr-1") },
                { QStringLiteral("hash"), args.value(QStringLiteral("sha256")) },
                { QStringLiteral("timestamp"), QStringLiteral("2026-11-30T12:00:00Z") },
                { QStringLiteral("blockHash"), QStringLiteral("0xb10c") } };
            return ScriptedHttpServer::toolResult(receipts({ e }));
        };
        const CliRun r = runCli({ QStringLiteral("verify"), m_beta });
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out, expand(golden(QStringLiteral("verify-hash-report.json"))) + QLatin1Char('\n'));
        const QList<ToolCall> calls = toolCalls(m_server->requests());
        QCOMPARE(calls[0].name, QStringLiteral("hash_report"));
        QCOMPARE(calls[0].arguments,
            (QJsonObject {
                { QStringLiteral("sha256"), kBetaSha }, { QStringLiteral("want_scope"), QStringLiteral("local") } }));
        QCOMPARE(withoutUpdatedAt(recordText(kBetaSha)), expand(golden(QStringLiteral("record-hash-report.json"))));
    }

    void errorRows_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<HttpResponse>("toolReply");
        QTest::addColumn<QString>("status");
        const auto result = [](const QJsonObject &o) { return ScriptedHttpServer::toolResult(o); };
        QTest::newRow("register: no receipt") << QStringLiteral("register") << result(receipts({}))
                                              << QStringLiteral("Error: no receipt in MCP response");
        QTest::newRow("register: HTTP 500") << QStringLiteral("register") << HttpResponse::text("broken", 500)
                                            << QStringLiteral("Error: HTTP 500: broken");
        QTest::newRow("register: missing result")
            << QStringLiteral("register") << HttpResponse::json(QJsonObject { { QStringLiteral("id"), 2 } })
            << QStringLiteral("Error: Missing result");
        QTest::newRow("verify: not found")
            << QStringLiteral("verify") << result(receipts({})) << QStringLiteral("Not found");
        QTest::newRow("verify: hash report failing is not found")
            << QStringLiteral("verify") << HttpResponse::text("down", 500) << QStringLiteral("Not found");
    }

    void errorRows()
    {
        QFETCH(QString, command);
        QFETCH(HttpResponse, toolReply);
        QFETCH(QString, status);
        useServer(QStringLiteral("csv"));
        m_tool = [toolReply](const QString &, const QJsonObject &) { return toolReply; };
        const CliRun r = runCli({ command, m_alpha });
        QCOMPARE(r.status, 1);
        const QString kind
            = status.startsWith(QLatin1String("Error")) ? QStringLiteral("error") : QStringLiteral("not_found");
        QCOMPARE(r.out,
            expand(QStringLiteral("path,sha256,scope,receipt_id,created_at,merkle,status,kind\n"
                                  "\"@DIR@/alpha.txt\",%1,global,,,,\"%2\",%3\n")
                       .arg(kAlphaSha, status, kind)));
    }

    void verifyOutcomes()
    {
        // Valid, invalid, not found and an unreadable file in one run.
        useServer(QStringLiteral("text"));
        QCOMPARE(runCli({ QStringLiteral("register"), m_alpha, m_beta }).status, 0);
        m_tool = [](const QString &tool, const QJsonObject &args) {
            if (tool == QLatin1String("hash_report"))
                return ScriptedHttpServer::toolResult(receipts({}));
            const bool alpha = args.value(QStringLiteral("receipt_id")).toString().startsWith(QLatin1String("r-b6"));
            return ScriptedHttpServer::toolResult(alpha ? QJsonObject { { QStringLiteral("valid"), true } }
                                                        : QJsonObject { { QStringLiteral("valid"), false },
                                                            { QStringLiteral("error"), QStringLiteral("revoked") } });
        };
        const QString missing = m_dir->filePath(QStringLiteral("nope.txt"));
        const CliRun r = runCli({ QStringLiteral("verify"), QStringLiteral("--format"), QStringLiteral("csv"), m_alpha,
            m_beta, m_gamma, missing });
        QCOMPARE(r.status, 1);
        QCOMPARE(r.err, QStringLiteral("Done — 1 found/valid, 1 not found, 3 failed (4 total).\n"));
        const QStringList lines = r.out.split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 6);
        QVERIFY2(lines[1].endsWith(QStringLiteral("\"Valid\",valid")), qPrintable(lines[1]));
        QVERIFY2(lines[2].endsWith(QStringLiteral("\"Invalid: revoked\",invalid")), qPrintable(lines[2]));
        QVERIFY2(lines[3].endsWith(QStringLiteral(",,,,\"Not found\",not_found")), qPrintable(lines[3]));
        QVERIFY2(lines[4].startsWith(expand(QStringLiteral("\"@DIR@/nope.txt\",,global,,,,\"Error: Cannot open "))),
            qPrintable(lines[4]));
        QCOMPARE(lines[5], QString());
    }

    void sessionRefusedIsAnErrorRow()
    {
        useServer(QStringLiteral("csv"));
        m_server->setHandler([](const HttpRequest &) { return HttpResponse::text("token expired", 401); });
        const CliRun r = runCli({ QStringLiteral("register"), m_alpha });
        QCOMPARE(r.status, 1);
        QVERIFY2(
            r.out.contains(QStringLiteral(",global,,,,\"Error: HTTP 401: token expired\",error\n")), qPrintable(r.out));
        QVERIFY(!QFileInfo::exists(ReceiptStore::receiptFileURL(kAlphaSha)));
    }

    void usageErrors_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        const QString reg = QStringLiteral("register");
        QTest::newRow("no files") << QStringList { reg } << QStringLiteral("register: no files given");
        QTest::newRow("only options") << QStringList { QStringLiteral("verify"), QStringLiteral("--format"),
            QStringLiteral("json") } << QStringLiteral("verify: no files given");
        QTest::newRow("unknown option") << QStringList { reg, QStringLiteral("--fast"), QStringLiteral("a") }
                                        << QStringLiteral("register: unknown option \"--fast\"");
        QTest::newRow("short option") << QStringList { reg, QStringLiteral("-f"), QStringLiteral("a") }
                                      << QStringLiteral("register: unknown option \"-f\"");
        QTest::newRow("missing value") << QStringList { reg, QStringLiteral("a"), QStringLiteral("--format") }
                                       << QStringLiteral("register: option --format needs a value");
        QTest::newRow("unknown format") << QStringList { reg, QStringLiteral("--format"), QStringLiteral("pdf"),
            QStringLiteral("a") } << QStringLiteral("register: unknown format \"pdf\" (json, csv or text)");
        QTest::newRow("format twice") << QStringList { reg, QStringLiteral("--format=csv"),
            QStringLiteral("--format=json"), QStringLiteral("a") }
                                      << QStringLiteral("register: option --format given twice");
        QTest::newRow("save without a known extension")
            << QStringList { reg, QStringLiteral("--save"), QStringLiteral("out.xml"), QStringLiteral("a") }
            << QStringLiteral(
                   "register: cannot tell the format of \"out.xml\": name it .json, .csv or .txt, or give --format");
        QTest::newRow("empty save path") << QStringList { reg, QStringLiteral("--save="), QStringLiteral("a") }
                                         << QStringLiteral("register: --save needs a file name");
        QTest::newRow("set-defaults operand") << QStringList { QStringLiteral("set-defaults"), QStringLiteral("x") }
                                              << QStringLiteral("set-defaults: unexpected argument \"x\"");
        QTest::newRow("set-defaults unknown output")
            << QStringList { QStringLiteral("set-defaults"), QStringLiteral("--output"), QStringLiteral("xml") }
            << QStringLiteral("set-defaults: unknown output \"xml\" (text, json, csv or pdf)");
        QTest::newRow("set-defaults unknown option")
            << QStringList { QStringLiteral("set-defaults"), QStringLiteral("--colour"), QStringLiteral("red") }
            << QStringLiteral("set-defaults: unknown option \"--colour\"");
    }

    void usageErrors()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        useServer();
        const QByteArray config = readFile(m_home->nivet() + QStringLiteral("/client.json"));
        const CliRun r = runCli(args);
        QCOMPARE(r.status, 2);
        QVERIFY(r.out.isEmpty());
        QCOMPARE(r.err, QStringLiteral("nivet-timestamp: ") + message + QLatin1Char('\n') + Cli::usage());
        // Nothing was sent or changed.
        QVERIFY(m_server->requests().isEmpty());
        QCOMPARE(readFile(m_home->nivet() + QStringLiteral("/client.json")), config);
    }

    void doubleDashEndsOptions()
    {
        useServer(QStringLiteral("csv"));
        const QString odd = m_dir->filePath(QStringLiteral("--odd"));
        writeFile(odd, "alpha\n");
        QDir::setCurrent(m_dir->path());
        const CliRun r = runCli({ QStringLiteral("register"), QStringLiteral("--"), QStringLiteral("--odd") });
        QCOMPARE(r.status, 0);
        // Relative names are recorded as full paths.
        QVERIFY2(r.out.contains(expand(QStringLiteral("\"@DIR@/--odd\",%1,")).arg(kAlphaSha)), qPrintable(r.out));
        QCOMPARE(ReceiptStore::read(kAlphaSha)->sourcePaths, QStringList { odd });
    }

    void save_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("goldenName");
        QTest::addColumn<QString>("message");
        QTest::newRow("json by extension")
            << QStringList {} << QStringLiteral("out.json") << QStringLiteral("register-two.json")
            << QStringLiteral("Exported JSON → out.json");
        QTest::newRow("csv by extension")
            << QStringList {} << QStringLiteral("out.CSV") << QStringLiteral("register-two.csv")
            << QStringLiteral("Exported CSV → out.CSV");
        QTest::newRow("text by extension")
            << QStringList {} << QStringLiteral("notes.txt") << QStringLiteral("register-two.txt")
            << QStringLiteral("Exported TEXT → notes.txt");
        QTest::newRow("--format wins over the extension")
            << QStringList { QStringLiteral("--format"), QStringLiteral("csv") } << QStringLiteral("out.txt")
            << QStringLiteral("register-two.csv") << QStringLiteral("Exported CSV → out.txt");
        QTest::newRow("--format names a file without extension")
            << QStringList { QStringLiteral("--format=json") } << QStringLiteral("report")
            << QStringLiteral("register-two.json") << QStringLiteral("Exported JSON → report");
    }

    void save()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, fileName);
        QFETCH(QString, goldenName);
        QFETCH(QString, message);
        useServer(QStringLiteral("text"));
        const QString target = m_dir->filePath(QStringLiteral("exports/") + fileName);
        QDir().mkpath(m_dir->filePath(QStringLiteral("exports")));
        const QString missing = m_dir->filePath(QStringLiteral("missing \"x\".txt"));
        const CliRun r = runCli(QStringList { QStringLiteral("register"), QStringLiteral("--save"), target } + options
            + QStringList { m_alpha, missing });
        QCOMPARE(r.status, 1);
        QCOMPARE(r.err, QStringLiteral("Done — 1 registered/ok, 1 failed (2 total).\n") + message + QLatin1Char('\n'));
        QCOMPARE(QString::fromUtf8(readFile(target)), expand(golden(goldenName)));
        // What stdout shows does not depend on --save, only on --format.
        if (options.isEmpty())
            QCOMPARE(r.out, expand(golden(QStringLiteral("register-two.txt"))) + QLatin1Char('\n'));
        else
            QCOMPARE(r.out, expand(golden(goldenName)) + QLatin1Char('\n'));
    }

    void saveFailureIsReported()
    {
        useServer();
        const QString target = m_dir->filePath(QStringLiteral("no-such-folder/out.json"));
        const CliRun r = runCli({ QStringLiteral("register"), QStringLiteral("--save"), target, m_alpha });
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.startsWith(QStringLiteral("Done — 1 registered/ok, 0 failed (1 total).\nExport failed: ")),
            qPrintable(r.err));
        QVERIFY(!r.out.isEmpty());
        QVERIFY(!QFileInfo::exists(target));
    }

    void progressOnlyOnATerminal()
    {
        useServer();
        const CliRun quiet = runCli({ QStringLiteral("register"), m_alpha, m_beta });
        QCOMPARE(quiet.err, QStringLiteral("Done — 2 registered/ok, 0 failed (2 total).\n"));

        const CliRun shown = runCli({ QStringLiteral("register"), m_alpha, m_beta }, {}, true);
        QCOMPARE(shown.status, 0);
        QVERIFY2(shown.err.contains(QStringLiteral("\r\x1b[K[1/2] alpha.txt  0/6 bytes")), qPrintable(shown.err));
        QVERIFY2(shown.err.contains(QStringLiteral("\r\x1b[K[1/2] alpha.txt  6/6 bytes")), qPrintable(shown.err));
        QVERIFY2(shown.err.contains(QStringLiteral("\r\x1b[K[2/2] beta.txt  5/5 bytes")), qPrintable(shown.err));
        QVERIFY2(shown.err.endsWith(QStringLiteral("\r\x1b[KDone — 2 registered/ok, 0 failed (2 total).\n")),
            qPrintable(shown.err));
        QCOMPARE(shown.out, quiet.out);
    }

    void setDefaultsChangesOnlyWhatIsGiven()
    {
        setDefaults(QStringLiteral("http://127.0.0.1:9/mcp"), QStringLiteral("global"), QStringLiteral("text"));
        CliRun r = runCli({ QStringLiteral("set-defaults"), QStringLiteral("--scope"), QStringLiteral("shared"),
            QStringLiteral("--output=csv") });
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out, QStringLiteral("url: http://127.0.0.1:9/mcp\nscope: shared\noutput: csv\n"));
        QCOMPARE(readFile(m_home->nivet() + QStringLiteral("/client.json")),
            QByteArray(R"({"output":"csv","scope":"shared","url":"http:\/\/127.0.0.1:9\/mcp"})"));

        r = runCli(
            { QStringLiteral("set-defaults"), QStringLiteral("--url"), QStringLiteral("https://stamp.example/mcp") });
        QCOMPARE(r.out, QStringLiteral("url: https://stamp.example/mcp\nscope: shared\noutput: csv\n"));

        // An empty scope is a value like any other.
        r = runCli({ QStringLiteral("set-defaults"), QStringLiteral("--scope=") });
        QCOMPARE(r.status, 0);
        QCOMPARE(ConfigStore().defaults().scope, QString());
    }

    void setDefaultsWithoutAFileStartsFromTheBuiltIns()
    {
        const CliRun r = runCli({ QStringLiteral("set-defaults"), QStringLiteral("--output"), QStringLiteral("pdf") });
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out, QStringLiteral("url: https://mcp.nivet.example/mcp\nscope: global\noutput: pdf\n"));
        QCOMPARE(ConfigStore().defaults().output, QStringLiteral("pdf"));
    }

    void setDefaultsRefusesABadUrl()
    {
        setDefaults(QStringLiteral("http://127.0.0.1:9/mcp"), QStringLiteral("global"), QStringLiteral("text"));
        const QByteArray before = readFile(m_home->nivet() + QStringLiteral("/client.json"));
        const CliRun r = runCli({ QStringLiteral("set-defaults"), QStringLiteral("--url"),
            QStringLiteral("localhost:8080"), QStringLiteral("--scope"), QStringLiteral("x") });
        QCOMPARE(r.status, 1);
        QCOMPARE(r.err, QStringLiteral("Error: Invalid MCP URL: \"localhost:8080\" is not an http or https URL\n"));
        QCOMPARE(readFile(m_home->nivet() + QStringLiteral("/client.json")), before);
    }

    void setDefaultsReportsAFailedSave()
    {
        // A folder where client.json should be: the save cannot replace it.
        QDir().mkpath(m_home->nivet() + QStringLiteral("/client.json"));
        const CliRun r = runCli({ QStringLiteral("set-defaults"), QStringLiteral("--scope"), QStringLiteral("x") });
        QCOMPARE(r.status, 1);
        QCOMPARE(r.err,
            QStringLiteral("Error: could not save the defaults to ") + m_home->nivet()
                + QStringLiteral("/client.json\n"));
        QVERIFY(r.out.isEmpty());
    }

    void aloneShowsDefaultsThenUsage()
    {
        setDefaults(QStringLiteral("http://127.0.0.1:9/mcp"), QStringLiteral("local"), QStringLiteral("json"));
        const CliRun r = runCli({});
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out, QStringLiteral("url: http://127.0.0.1:9/mcp\nscope: local\noutput: json\n\n") + Cli::usage());
        QVERIFY(r.err.isEmpty());
    }

    void realBinaryRegisters()
    {
        useServer(QStringLiteral("json"));
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), m_home->path());
        p.setProcessEnvironment(env);
        QSignalSpy finished(&p, &QProcess::finished);
        p.start(QStringLiteral(NIVET_CLI_BINARY),
            { QStringLiteral("register"), QStringLiteral("--format"), QStringLiteral("csv"), m_alpha });
        // The scripted server answers from this event loop, so wait on it.
        QVERIFY(finished.wait(20000));
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(p.readAllStandardError()),
            QStringLiteral("Done — 1 registered/ok, 0 failed (1 total).\n"));
        QCOMPARE(QString::fromUtf8(p.readAllStandardOutput()),
            expand(QStringLiteral("path,sha256,scope,receipt_id,created_at,merkle,status,kind\n"
                                  "\"@DIR@/alpha.txt\",%1,global,r-b6a98d9c,2026-12-05T06:50:30Z,m-b6a98d9c,"
                                  "\"Registered\",registered\n")
                       .arg(kAlphaSha)));
        QCOMPARE(withoutUpdatedAt(recordText(kAlphaSha)), expand(golden(QStringLiteral("record-alpha.json"))));
    }
};

QTEST_GUILESS_MAIN(TestCliBatch)
#include "tst_clibatch.moc"
