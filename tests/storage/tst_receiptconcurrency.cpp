#include "storage/nivetpaths.h"
#include "storage/receiptstore.h"

#include "testenv.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QtTest>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

const QString kDigest = QStringLiteral("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");

std::unique_ptr<QProcess> startSaver(const QString &prefix, int count, const QString &path,
                                     const QStringList &extra = {})
{
    auto process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(QStringLiteral(NIVET_RECEIPT_SAVER), QStringList{kDigest, prefix, QString::number(count), path} + extra);
    return process;
}

// The receipts in the file itself, not as this process foresees them.
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
    return QDir(home.nivet() + QStringLiteral("/receipts")).entryList({QStringLiteral("*.tmp-*")}, QDir::Files);
}

} // namespace

// Saves from several processes at once, and saves cut off at any moment.
class TestReceiptConcurrency : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void laterSaveWaitsForTheLockWithoutHoldingUpTheCaller()
    {
        IsolatedDataHome home;
        Receipt old;
        old.receiptId = QStringLiteral("old");
        ReceiptStore::save(kDigest, {old}, QStringLiteral("/a"));

        // Another process is saving: the folder lock is taken.
        const QByteArray lockPath = QFile::encodeName(NivetPaths::receiptsDirectory() + QStringLiteral("/.lock"));
        const int fd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        QVERIFY(fd >= 0);
        QCOMPARE(::flock(fd, LOCK_EX), 0);

        Receipt fresh;
        fresh.receiptId = QStringLiteral("new");
        const ReceiptRecord merged = ReceiptStore::saveLater(kDigest, {fresh}, QStringLiteral("/b"));
        auto settling = ReceiptStore::settled();
        // The caller has the merged record at once and reads it back as it
        // will be written; the file itself waits its turn.
        QTest::qWait(100);
        const bool settledWhileLocked = settling.isReady();
        const QSet<QString> idsWhileLocked = storedIds();
        const auto readWhileLocked = ReceiptStore::read(kDigest);
        ::close(fd);
        QCOMPARE(merged.receipts.size(), 2);
        QVERIFY(!settledWhileLocked);
        QCOMPARE(idsWhileLocked, QSet<QString>{QStringLiteral("old")});
        QVERIFY(readWhileLocked);
        QCOMPARE(readWhileLocked->toJson(), merged.toJson());

        QCoro::waitFor(settling);
        QCOMPARE(storedIds(), (QSet<QString>{QStringLiteral("old"), QStringLiteral("new")}));
        QCOMPARE(readFile(ReceiptStore::receiptFileURL(kDigest)), merged.toJson());
        QCOMPARE(ReceiptStore::read(kDigest)->sourcePaths, (QStringList{QStringLiteral("/a"), QStringLiteral("/b")}));
    }

    void twoProcessesKeepEveryReceipt()
    {
        IsolatedDataHome home;
        constexpr int perProcess = 200;
        auto app = startSaver(QStringLiteral("app"), perProcess, QStringLiteral("/from/app"));
        auto cli = startSaver(QStringLiteral("cli"), perProcess, QStringLiteral("/from/cli"));
        for (QProcess *p : {app.get(), cli.get()}) {
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
                 (QSet<QString>{u"/from/app"_qs, u"/from/cli"_qs}));
        QCOMPARE(scratchFiles(home), QStringList());
    }

    void processEndingRightAfterItsSavesStillWritesThemAll()
    {
        IsolatedDataHome home;
        constexpr int count = 300;
        auto saver = startSaver(QStringLiteral("late"), count, QStringLiteral("/late"), {QStringLiteral("later")});
        QVERIFY(saver->waitForFinished(60000));
        QCOMPARE(saver->exitStatus(), QProcess::NormalExit);
        QCOMPARE(saver->exitCode(), 0);
        QCOMPARE(storedIds().size(), count);
        QVERIFY(storedIds().contains(QStringLiteral("late-%1").arg(count - 1)));
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
            QVERIFY2(record.ok(), qPrintable(QStringLiteral("round %1: %2").arg(round).arg(
                                      record ? QString() : record.error().description)));
            QCOMPARE(fileMode(file), 0600);
            const QSet<QString> stored = storedIds();
            QVERIFY2(stored.contains(confirmed), qPrintable(QStringLiteral("round %1").arg(round)));
        }
        QCOMPARE(QDir(home.nivet() + QStringLiteral("/receipts")).entryList({QStringLiteral("*.corrupt-*")}, QDir::Files),
                 QStringList());

        // The next save clears what killed saves left half-written.
        ReceiptStore::save(kDigest, {}, std::nullopt);
        QCOMPARE(scratchFiles(home), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestReceiptConcurrency)
#include "tst_receiptconcurrency.moc"
