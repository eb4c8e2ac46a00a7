#include "cli/cli.h"

#include "clirun.h"
#include "testenv.h"

#include <QProcess>
#include <QtTest>

class TestCli : public QObject {
    Q_OBJECT
    IsolatedDataHome m_home;

private Q_SLOTS:
    void helpAndVersion()
    {
        auto help = runCli({ QStringLiteral("--help") });
        QCOMPARE(help.status, 0);
        QVERIFY(help.out.startsWith(QStringLiteral("Usage:\n")));
        auto commandHelp = runCli({ QStringLiteral("register"), QStringLiteral("--help") });
        QCOMPARE(commandHelp.status, 0);
        QVERIFY(commandHelp.out.startsWith(QStringLiteral("Usage: nivet-timestamp register [options] FILE...\n")));
        auto version = runCli({ QStringLiteral("--version") });
        QCOMPARE(version.out, QStringLiteral("nivet-timestamp 0.2.0\n"));
    }

    void unknownCommand()
    {
        auto r = runCli({ QStringLiteral("frobnicate") });
        QCOMPARE(r.status, 2);
        QVERIFY(r.err.startsWith(QStringLiteral("nivet-timestamp: unknown command \"frobnicate\"\nUsage:")));
        QVERIFY(r.out.isEmpty());
    }

    void realBinary()
    {
        QProcess p;
        p.start(QStringLiteral(NIVET_CLI_BINARY), { QStringLiteral("--version") });
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(p.readAllStandardOutput(), QByteArray("nivet-timestamp 0.2.0\n"));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
