#include "storage/receiptstore.h"

#include "testenv.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QtTest>

#include <unistd.h>

namespace {

const QString kDigest = QStringLiteral("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");

std::unique_ptr<QProcess> startSaver(const QString &prefix, int count, const QString &path)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(QStringLiteral(NIVET_RECEIPT_SAVER), QStringList { kDigest, prefix, QString::number(count), path });
    return process;
}

// The receipts in the file itself.
QSet<QString> storedIds()
{
    QSet<QString> ids;
    const auto record = ReceiptRecord::fromJson(readFile(ReceiptStore::receiptFileURL(kDigest)));
    if (record) {
        for (const Receipt &r : record->receipts)
            ids.insert(r.receiptId.value_or(QString()));
    }
    return ids;
}

QStringList scratchFiles(const IsolatedDataHome &home)
{
    return QDir(home.nivet() + QStringLiteral("/receipts")).entryList({ QStringLiteral("*.tmp-*") }, QDir::Files);
}

} // namespace

// Saves from several processes at once, and saves cut off at any moment.
class TestReceiptConcurrency : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void twoProcessesKeepEveryReceipt()
    {
        IsolatedDataHome home;
        constexpr int perProcess = 200;
        auto app = startSaver(QStringLiteral("app"), perProcess, QStringLiteral("/from/app"));
        auto cli = startSaver(QStringLiteral("cli"), perProcess, QStringLiteral("/from/cli"));
        for (QProcess *p : { app.get(), cli.get() }) {
            QVERIFY(p->waitForFinished(120000));
            QCOMPARE(p->exitStatus(), QProcess::NormalExit);
            QCOMPARE(p->exitCode(), 0);
        }

        QSet<QString> expected;
        for (int i = 0; i < perProcess; ++i) {
            expected.insert(QStringLiteral("app-%1").arg(i));
            expected.insert(QStringLiteral("cli-%1").arg(i));
        }
        const auto record = ReceiptStore::read(kDigest);
        QVERIFY(record);
        QCOMPARE(record->receipts.size(), 2 * perProcess);
        QCOMPARE(storedIds(), expected);
        QCOMPARE(QSet<QString>(record->sourcePaths.begin(), record->sourcePaths.end()),
            (QSet<QString> { u"/from/app"_qs, u"/from/cli"_qs }));
        QCOMPARE(scratchFiles(home), QStringList());
    }

    void killedSaverLeavesADecodableRecord()
    {
        IsolatedDataHome home;
        const QString file = ReceiptStore::receiptFileURL(kDigest);
        QSet<QString> confirmed;
        for (int round = 0; round < 20; ++round) {
            const QString prefix = QStringLiteral("k%1").arg(round);
            auto saver = startSaver(prefix, 0, QStringLiteral("/killed"));
            QVERIFY(saver->waitForStarted());
            // Let it get into its loop, then cut it off at a random point of a save.
            QVERIFY(saver->waitForReadyRead(30000));
            ::usleep(QRandomGenerator::global()->bounded(8000u));
            saver->kill();
            QVERIFY(saver->waitForFinished(30000));
            QCOMPARE(saver->exitStatus(), QProcess::CrashExit);

            // Every save the saver reported as done is on disk.
            const QList<QByteArray> lines = saver->readAllStandardOutput().split('\n');
            for (const QByteArray &line : lines) {
                if (!line.isEmpty())
                    confirmed.insert(prefix + QLatin1Char('-') + QString::fromLatin1(line));
            }
            const auto record = ReceiptRecord::fromJson(readFile(file));
            QVERIFY2(record.ok(),
                qPrintable(
                    QStringLiteral("round %1: %2").arg(round).arg(record ? QString() : record.error().description)));
            QCOMPARE(fileMode(file), 0600);
            const QSet<QString> stored = storedIds();
            QVERIFY2(stored.contains(confirmed), qPrintable(QStringLiteral("round %1").arg(round)));
        }
        QCOMPARE(
            QDir(home.nivet() + QStringLiteral("/receipts")).entryList({ QStringLiteral("*.corrupt-*") }, QDir::Files),
            QStringList());

        // The next save clears what killed saves left half-written.
        ReceiptStore::save(kDigest, {}, std::nullopt);
        QCOMPARE(scratchFiles(home), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestReceiptConcurrency)
#include "tst_receiptconcurrency.moc"
