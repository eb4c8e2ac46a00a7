// The command-line tool and the stamping service, both as the real programs,
// talking over loopback HTTP: defaults, login, register, verify and a restart.
#include "servicetestkit.h"
#include "testenv.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

// Non-ASCII, '=', '\' and '#' all have to survive standard input, the
// credentials file and the login request unchanged.
const QString kPassword = u"Grün = grün\\ — #1:x"_s;

const QRegularExpression kMillisecondTime(u"^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$"_s);
const QRegularExpression kSecondTime(u"^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$"_s);

// The exact layout of a receipt file holding one receipt in scope "global".
const QString kRecordLayout = u"{\n"
                              "  \"receipts\" : [\n"
                              "    {\n"
                              "      \"created_at\" : \"%1\",\n"
                              "      \"hash\" : \"%2\",\n"
                              "      \"merkle\" : \"%3\",\n"
                              "      \"receipt_id\" : \"%4\",\n"
                              "      \"scope\" : \"global\"\n"
                              "    }\n"
                              "  ],\n"
                              "  \"sha256\" : \"%2\",\n"
                              "  \"source_paths\" : [\n"
                              "    \"%5\"\n"
                              "  ],\n"
                              "  \"updated_at\" : \"%6\"\n"
                              "}"_s;

struct ToolRun {
    int status = -1;
    QString out;
    QString err;
};

// One nivet-stampd process serving a data folder.
class Stampd {
public:
    // Starts the service and waits for its ready line; port 0 lets it choose.
    bool start(const QString &data, const QStringList &flags, int port = 0)
    {
        m_process.start(QStringLiteral(NIVET_STAMPD_BINARY),
            QStringList { u"--listen"_s, u"127.0.0.1:%1"_s.arg(port), u"--data"_s, data } + flags);
        while (!m_process.canReadLine() && m_process.waitForReadyRead(20'000)) { }
        const QRegularExpressionMatch ready
            = QRegularExpression(u"^Listening on (http://127\\.0\\.0\\.1:([0-9]+))\n$"_s)
                  .match(QString::fromUtf8(m_process.readLine()));
        if (!ready.hasMatch())
            return false;
        m_base = ready.captured(1);
        m_port = ready.captured(2).toInt();
        return true;
    }

    // SIGTERM, then a clean exit; the log it wrote on stderr is kept.
    bool stop()
    {
        m_process.terminate();
        const bool clean = m_process.waitForFinished(20'000) && m_process.exitStatus() == QProcess::NormalExit
            && m_process.exitCode() == 0;
        m_log += m_process.readAllStandardError();
        return clean;
    }

    QString base() const { return m_base; }
    int port() const { return m_port; }
    QByteArray log() const { return m_log; }

private:
    QProcess m_process;
    QString m_base;
    int m_port = 0;
    QByteArray m_log;
};

QString digestOfFile(const QString &path)
{
    return QString::fromLatin1(QCryptographicHash::hash(readFile(path), QCryptographicHash::Sha256).toHex());
}

// The rows of the tool's JSON output.
QJsonArray rowsOf(const ToolRun &run)
{
    return QJsonDocument::fromJson(run.out.toUtf8()).array();
}

// The receipt parts of a result row, as a stored receipt names them.
QJsonObject receiptOf(const QJsonObject &row)
{
    return QJsonObject { { u"created_at"_s, row[u"created_at"_s] }, { u"hash"_s, row[u"sha256"_s] },
        { u"merkle"_s, row[u"merkle"_s] }, { u"receipt_id"_s, row[u"receipt_id"_s] }, { u"scope"_s, row[u"scope"_s] } };
}

} // namespace

class TestCliStampd : public QObject {
    Q_OBJECT

    QString m_printed; // everything any run of the tool wrote

    ToolRun tool(const QStringList &args, const QByteArray &input = {})
    {
        QProcess process;
        process.start(QStringLiteral(NIVET_CLI_BINARY), args);
        process.write(input);
        process.closeWriteChannel();
        ToolRun run;
        if (!process.waitForFinished(30'000)) {
            process.kill();
            process.waitForFinished();
            run.err = u"timed out"_s;
            return run;
        }
        run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.out = QString::fromUtf8(process.readAllStandardOutput());
        run.err = QString::fromUtf8(process.readAllStandardError());
        // Qt's note about a missing runtime folder on machines without a session is not ours.
        run.err.remove(QRegularExpression(u"^QStandardPaths: [^\n]*\n"_s, QRegularExpression::MultilineOption));
        m_printed += run.out + run.err;
        return run;
    }

private Q_SLOTS:
    void init() { m_printed.clear(); }

    void registerAndVerifyAgainstTheService_data()
    {
        QTest::addColumn<bool>("eventStream");
        QTest::addColumn<bool>("requireAuth");
        QTest::newRow("JSON replies, open service") << false << false;
        QTest::newRow("event-stream replies, bearer required") << true << true;
    }

    void registerAndVerifyAgainstTheService()
    {
        QFETCH(bool, eventStream);
        QFETCH(bool, requireAuth);
        IsolatedDataHome home;
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString data = dir.filePath(u"stampd"_s);
        QStringList flags;
        if (eventStream)
            flags << u"--event-stream"_s;
        if (requireAuth)
            flags << u"--require-auth"_s;

        // The password hash is slow by design: one user per data folder.
        QProcess addUser;
        addUser.start(QStringLiteral(NIVET_STAMPD_BINARY),
            { u"add-user"_s, u"demo"_s, u"--role"_s, u"user"_s, u"--data"_s, data });
        addUser.write((kPassword + u"\n"_s).toUtf8());
        addUser.closeWriteChannel();
        QVERIFY(addUser.waitForFinished(20'000));
        QCOMPARE(
            QString::fromUtf8(addUser.readAllStandardOutput()), u"Added user demo (role user) in %1\n"_s.arg(data));

        Stampd service;
        QVERIFY(service.start(data, flags));
        const QString mcpUrl = service.base() + u"/mcp"_s;

        const QStringList files { dir.filePath(u"contract.pdf"_s), dir.filePath(u"Vertrag März.txt"_s),
            dir.filePath(u"notes.md"_s) };
        for (int i = 0; i < files.size(); ++i)
            QVERIFY(writeFile(files[i], "content of file " + QByteArray::number(i)));
        const QString never = dir.filePath(u"never registered.txt"_s);
        QVERIFY(writeFile(never, "nobody stamped this"));
        QStringList digests;
        for (const QString &file : files)
            digests << digestOfFile(file);
        const auto receiptFile
            = [&home](const QString &digest) { return home.nivet() + u"/receipts/"_s + digest + u".json"_s; };

        // Defaults.
        const ToolRun defaults
            = tool({ u"set-defaults"_s, u"--url"_s, mcpUrl, u"--scope"_s, u"global"_s, u"--output"_s, u"json"_s });
        QCOMPARE(defaults.status, 0);
        QCOMPARE(defaults.out, u"url: %1\nscope: global\noutput: json\n"_s.arg(mcpUrl));
        QCOMPARE(readFile(home.nivet() + u"/client.json"_s),
            "{\"output\":\"json\",\"scope\":\"global\",\"url\":\"" + mcpUrl.toUtf8().replace("/", "\\/") + "\"}");

        // Without a token a guarded service refuses the stamp, and nothing is kept.
        if (requireAuth) {
            const ToolRun refused = tool(QStringList { u"register"_s } + files.mid(0, 1));
            QCOMPARE(refused.status, 1);
            QCOMPARE(refused.err, u"Done — 0 registered/ok, 1 failed (1 total).\n"_s);
            const QJsonObject row = rowsOf(refused).first().toObject();
            QCOMPARE(row[u"kind"_s].toString(), u"error"_s);
            QCOMPARE(row[u"status"_s].toString(), u"Error: HTTP 401: Missing bearer token"_s);
            QVERIFY(!QFile::exists(receiptFile(digests[0])));
        }

        // Credentials, login, check.
        const ToolRun setAuth = tool(
            { u"set-auth"_s, u"--username"_s, u"demo"_s, u"--password-stdin"_s, u"--auth-url"_s, service.base() },
            (kPassword + u"\n"_s).toUtf8());
        QCOMPARE(setAuth.status, 0);
        QCOMPARE(setAuth.out, u"Saved credentials for demo (no token)\n"_s);
        const ToolRun login = tool({ u"login"_s });
        QCOMPARE(login.err, QString());
        QCOMPARE(login.status, 0);
        QVERIFY2(
            QRegularExpression(
                u"^Logged in as demo \\(user\\) · expires \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z\n$"_s)
                .match(login.out)
                .hasMatch(),
            qPrintable(login.out));
        const QString properties = QString::fromUtf8(readFile(home.nivet() + u"/auth.properties"_s));
        const QString token = QRegularExpression(u"^access_token=(\\S+)$"_s, QRegularExpression::MultilineOption)
                                  .match(properties)
                                  .captured(1);
        QVERIFY(token.size() > 40);
        const QString expiry = login.out.section(u" · expires "_s, 1).trimmed();
        const ToolRun check = tool({ u"check"_s });
        QCOMPARE(check.status, 0);
        QCOMPARE(check.out, u"Session OK · demo (user) · …%1 · expires %2\n"_s.arg(token.right(8), expiry));

        // Register: the service's receipts, as rows and as receipt files.
        const ToolRun registered = tool(QStringList { u"register"_s } + files);
        QCOMPARE(registered.err, u"Done — 3 registered/ok, 0 failed (3 total).\n"_s);
        QCOMPARE(registered.status, 0);
        const QJsonArray registeredRows = rowsOf(registered);
        QCOMPARE(registeredRows.size(), 3);
        QList<QByteArray> leaves;
        QList<QJsonObject> receipts;
        QSet<QString> ids;
        for (int i = 0; i < files.size(); ++i) {
            const QJsonObject row = registeredRows[i].toObject();
            QCOMPARE(row[u"path"_s].toString(), files[i]);
            QCOMPARE(row[u"sha256"_s].toString(), digests[i]);
            QCOMPARE(row[u"kind"_s].toString(), u"registered"_s);
            QCOMPARE(row[u"status"_s].toString(), u"Registered"_s);
            QCOMPARE(row[u"scope"_s].toString(), u"global"_s);
            QCOMPARE(row[u"pass"_s], QJsonValue(true));
            QVERIFY(!QUuid::fromString(row[u"receipt_id"_s].toString()).isNull());
            ids.insert(row[u"receipt_id"_s].toString());
            QVERIFY2(kMillisecondTime.match(row[u"created_at"_s].toString()).hasMatch(),
                qPrintable(row[u"created_at"_s].toString()));
            // A fresh log: each receipt's merkle is the root over the digests so far.
            leaves.append(QByteArray::fromHex(digests[i].toLatin1()));
            QCOMPARE(row[u"merkle"_s].toString().toLatin1(), ReferenceMerkle::root(leaves).toHex());
            receipts.append(receiptOf(row));

            const QByteArray stored = readFile(receiptFile(digests[i]));
            const QString updatedAt = QJsonDocument::fromJson(stored)[u"updated_at"_s].toString();
            QVERIFY2(kSecondTime.match(updatedAt).hasMatch(), stored.constData());
            QCOMPARE(QString::fromUtf8(stored),
                kRecordLayout.arg(row[u"created_at"_s].toString(), digests[i], row[u"merkle"_s].toString(),
                    row[u"receipt_id"_s].toString(), QString(files[i]).replace(u'/', u"\\/"_s), updatedAt));
            QCOMPARE(fileMode(receiptFile(digests[i])), 0600);
        }
        QCOMPARE(ids.size(), 3);

        const auto storedReceipts = [&](int i) {
            return QJsonDocument::fromJson(readFile(receiptFile(digests[i])))[u"receipts"_s].toArray();
        };
        // Verify: every row as the service keeps it, and the files unchanged.
        const auto expectVerified = [&](const ToolRun &run, const QStringList &kinds) {
            QCOMPARE(run.status, 0);
            QCOMPARE(run.err, u"Done — 3 found/valid, 0 not found, 0 failed (3 total).\n"_s);
            const QJsonArray rows = rowsOf(run);
            QCOMPARE(rows.size(), 3);
            for (int i = 0; i < files.size(); ++i) {
                const QJsonObject row = rows[i].toObject();
                QCOMPARE(row[u"path"_s].toString(), files[i]);
                QCOMPARE(row[u"kind"_s].toString(), kinds[i]);
                QCOMPARE(row[u"status"_s].toString(), kinds[i] == u"valid"_s ? u"Valid"_s : u"Found"_s);
                QCOMPARE(receiptOf(row), receipts[i]);
                QCOMPARE(storedReceipts(i), QJsonArray { receipts[i] });
            }
        };
        expectVerified(tool(QStringList { u"verify"_s } + files), { u"valid"_s, u"valid"_s, u"valid"_s });
        if (QTest::currentTestFailed())
            return;

        // A lost receipt file is found again by its digest and written back.
        QVERIFY(QFile::remove(receiptFile(digests[1])));
        expectVerified(tool(QStringList { u"verify"_s } + files), { u"valid"_s, u"found"_s, u"valid"_s });
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(fileMode(receiptFile(digests[1])), 0600);
        QCOMPARE(QJsonDocument::fromJson(readFile(receiptFile(digests[1])))[u"source_paths"_s].toArray(),
            QJsonArray { files[1] });

        // A digest the service never saw.
        const ToolRun unknown = tool({ u"verify"_s, never });
        QCOMPARE(unknown.status, 1);
        QCOMPARE(unknown.err, u"Done — 0 found/valid, 1 not found, 1 failed (1 total).\n"_s);
        const QJsonObject missing = rowsOf(unknown).first().toObject();
        QCOMPARE(missing[u"kind"_s].toString(), u"not_found"_s);
        QCOMPARE(missing[u"status"_s].toString(), u"Not found"_s);
        QCOMPARE(missing[u"receipt_id"_s].toString(), QString());
        QCOMPARE(missing[u"pass"_s], QJsonValue(false));
        QVERIFY(!QFile::exists(receiptFile(digestOfFile(never))));

        // Receipts and the token both outlive a restart on the same folder and port.
        QVERIFY(service.stop());
        Stampd restarted;
        QVERIFY2(restarted.start(data, flags, service.port()), "the port was taken in between");
        expectVerified(tool(QStringList { u"verify"_s } + files), { u"valid"_s, u"valid"_s, u"valid"_s });
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(tool({ u"check"_s }).status, 0);
        QVERIFY(restarted.stop());

        // Secrets stay out of everything printed, by the tool and by the service.
        QVERIFY(!m_printed.contains(kPassword));
        QVERIFY(!m_printed.contains(token));
        QVERIFY(!m_printed.contains(token.section(u'.', 2)));
        for (const QByteArray &log : { service.log(), restarted.log() }) {
            QVERIFY(log.contains(" POST /mcp 200 "));
            QVERIFY(!log.contains(kPassword.toUtf8()));
            QVERIFY(!log.contains(token.toUtf8()));
        }
    }
};

QTEST_GUILESS_MAIN(TestCliStampd)
#include "tst_clistampd.moc"
