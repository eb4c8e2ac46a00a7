// The command-line tool and the stamping service, both as the real programs,
// talking over loopback HTTP: login, register, verify, and a crash of the service.
#include "scriptedhttpserver.h"
#include "servicetestkit.h"
#include "stampdload.h"
#include "testauthority.h"
#include "testenv.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;
using StampdLoad::Instance;

namespace {

// Non-ASCII, '=', '\' and '#' all have to survive standard input, the
// credentials file and the login request unchanged.
const QString kPassword = u"Grün = grün\\ — #1:x"_s;
const QString kStampd = QStringLiteral(NIVET_STAMPD_BINARY);

QJsonArray rows(const ProgramRun &run)
{
    return QJsonDocument::fromJson(run.out.toUtf8()).array();
}

QJsonObject receiptOf(const QJsonObject &row)
{
    return QJsonObject { { u"created_at"_s, row[u"created_at"_s] }, { u"hash"_s, row[u"sha256"_s] },
        { u"merkle"_s, row[u"merkle"_s] }, { u"receipt_id"_s, row[u"receipt_id"_s] }, { u"scope"_s, row[u"scope"_s] } };
}

} // namespace

class TestCliStampd : public QObject {
    Q_OBJECT

    QString m_printed; // everything any run of the tool wrote

    ProgramRun tool(const QStringList &args, const QByteArray &input = {})
    {
        ProgramRun run = runProgram(QStringLiteral(NIVET_CLI_BINARY), args, input);
        // Qt's note about a missing runtime folder on machines without a session is not ours.
        run.err.remove(QRegularExpression(u"^QStandardPaths: [^\n]*\n"_s, QRegularExpression::MultilineOption));
        m_printed += run.out + run.err;
        return run;
    }

private Q_SLOTS:
    void init() { m_printed.clear(); }

    // Event-stream replies and a bearer required: the JSON replies and the
    // open service are tst_stampd's and tst_servicehandler's.
    void registerAndVerifyAgainstTheService()
    {
        IsolatedDataHome home;
        QTemporaryDir dir;
        const QString data = dir.filePath(u"stampd"_s);
        const QStringList flags { u"--event-stream"_s, u"--require-auth"_s };

        const QByteArray password = (kPassword + u"\n"_s).toUtf8();
        QCOMPARE(runProgram(kStampd, { u"add-user"_s, u"demo"_s, u"--data"_s, data }, password).status, 0);
        Instance service = StampdLoad::start(kStampd, QStringList { u"--data"_s, data } + flags);
        QVERIFY(!service.base.isEmpty());
        QStringList files, digests;
        for (const QString &name : { u"contract.pdf"_s, u"Vertrag März.txt"_s, u"notes.md"_s }) {
            files << dir.filePath(name);
            digests << digestOf(name.toUtf8());
            QVERIFY(writeFile(files.last(), name.toUtf8()));
        }
        QCOMPARE(tool({ u"set-defaults"_s, u"--url"_s, service.mcp().toString(), u"--output"_s, u"json"_s }).status, 0);
        tool({ u"set-auth"_s, u"--username"_s, u"demo"_s, u"--password-stdin"_s, u"--auth-url"_s,
                 service.base.toString() },
            password);
        const ProgramRun login = tool({ u"login"_s });
        QCOMPARE(login.err, QString());
        QVERIFY2(login.out.startsWith(u"Logged in as demo (user) · expires "_s), qPrintable(login.out));
        const QString token = QRegularExpression(u"^access_token=(\\S+)$"_s, QRegularExpression::MultilineOption)
                                  .match(QString::fromUtf8(readFile(home.nivet() + u"/auth.properties"_s)))
                                  .captured(1);
        QVERIFY(token.size() > 40);

        // Register: the service's receipts, each on the tree of those before.
        const ProgramRun registered = tool(QStringList { u"register"_s } + files);
        QCOMPARE(registered.err, u"Done — 3 registered/ok, 0 failed (3 total).\n"_s);
        QList<QJsonObject> receipts;
        for (int i = 0; i < files.size(); ++i) {
            const QJsonObject row = rows(registered)[i].toObject();
            QCOMPARE(row[u"merkle"_s].toString(), rootOfDigests(digests.mid(0, i + 1)));
            receipts.append(receiptOf(row));
        }

        const auto expectVerified = [&](const QStringList &statuses) {
            const ProgramRun run = tool(QStringList { u"verify"_s } + files);
            QCOMPARE(run.err, u"Done — 3 found/valid, 0 not found, 0 failed (3 total).\n"_s);
            for (int i = 0; i < files.size(); ++i) {
                QCOMPARE(rows(run)[i][u"status"_s].toString(), statuses[i]);
                QCOMPARE(receiptOf(rows(run)[i].toObject()), receipts[i]);
            }
        };
        // A lost receipt file is found again by its digest (the service's hash_report).
        QVERIFY(QFile::remove(home.nivet() + u"/receipts/"_s + digests[1] + u".json"_s));
        expectVerified({ u"Valid"_s, u"Found"_s, u"Valid"_s });

        // Receipts the service acknowledged and the token outlive a crash.
        const QByteArray log = service.crash();
        Instance restarted = StampdLoad::start(kStampd, QStringList { u"--data"_s, data } + flags, service.base.port());
        QVERIFY2(!restarted.base.isEmpty(), "the port was taken in between");
        expectVerified({ u"Valid"_s, u"Valid"_s, u"Valid"_s });
        QCOMPARE(tool({ u"check"_s }).status, 0);

        // Secrets stay out of everything printed, by the tool and by the service.
        QVERIFY(log.contains(" POST /mcp 200 "));
        for (const QString &printed : { m_printed, QString::fromUtf8(log + restarted.crash()) })
            QVERIFY(!printed.contains(kPassword) && !printed.contains(token.section(u'.', 2)));
    }

    // Evidence outlives its service: registered against a signed log whose
    // heads an authority dated, then checked with the service gone and its
    // data deleted; one changed byte fails that file alone.
    void offlineEvidenceOutlivesTheService()
    {
        IsolatedDataHome home;
        QTemporaryDir dir;
        const TestAuthority authority;
        ScriptedHttpServer tsa;
        tsa.setHandler(authority.handler());
        Instance service = StampdLoad::start(kStampd,
            { u"--data"_s, dir.filePath(u"stampd"_s), u"--tsa"_s, tsa.url(u"/tsa"_s).toString(), u"--tsa-interval"_s,
                u"100ms"_s });
        QVERIFY(!service.base.isEmpty());
        const QStringList files { dir.filePath(u"a.txt"_s), dir.filePath(u"b.txt"_s), dir.filePath(u"c.txt"_s) };
        for (const QString &file : files)
            QVERIFY(writeFile(file, file.toUtf8()));
        QCOMPARE(tool({ u"set-defaults"_s, u"--url"_s, service.mcp().toString(), u"--output"_s, u"json"_s }).status, 0);
        QCOMPARE(tool(QStringList { u"register"_s } + files).status, 0);
        // The authority answers while this test's loop turns between tries.
        QTRY_VERIFY_WITH_TIMEOUT(
            tool({ u"evidence"_s, u"update"_s }).out.count(QRegularExpression(u"  Anchored( already)?\n"_s)) == 3,
            20'000);
        service.crash();
        QVERIFY(QDir(dir.filePath(u"stampd"_s)).removeRecursively());

        const QString ca = dir.filePath(u"ca.pem"_s);
        QVERIFY(writeFile(ca, authority.caPem()));
        const QStringList offline { u"verify"_s, u"--offline"_s, u"--tsa-ca"_s, ca };
        for (const bool changed : { false, true }) {
            if (changed)
                QVERIFY(writeFile(files[1], files[1].toUtf8() + ' '));
            const ProgramRun run = tool(offline + files);
            QCOMPARE(run.status, changed ? 1 : 0);
            for (int i = 0; i < 3; ++i) {
                const QString status = rows(run)[i][u"status"_s].toString();
                QVERIFY2(changed && i == 1 ? status.startsWith(u"Not found: "_s)
                                           : status.startsWith(u"Existed by "_s)
                            && status.endsWith(
                                authority.tsaName() + u" at "_s + rows(run)[i][u"created_at"_s].toString()),
                    qPrintable(status));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestCliStampd)
#include "tst_clistampd.moc"
