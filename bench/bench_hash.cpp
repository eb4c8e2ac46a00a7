// Hash throughput against `openssl dgst -sha256` on the same file, and the
// peak resident memory while hashing, measured in the same run.
#include "core/filehasher.h"

#include "benchresult.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <sys/resource.h>

static long peakRssKiB()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 mib = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1024;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("big.bin"));
    {
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        QByteArray block(1024 * 1024, Qt::Uninitialized);
        for (int i = 0; i < block.size(); ++i)
            block[i] = char(i * 131);
        for (qint64 i = 0; i < mib; ++i)
            f.write(block);
    }
    const long rssBefore = peakRssKiB();

    // Warm the page cache once so both sides read from memory.
    FileHasher::sha256Hex(path);

    QElapsedTimer t;
    t.start();
    const auto ours = FileHasher::sha256Hex(path);
    const double oursMs = t.nsecsElapsed() / 1e6;

    t.restart();
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"), { QStringLiteral("dgst"), QStringLiteral("-sha256"), path });
    openssl.waitForFinished(-1);
    const double baseMs = t.nsecsElapsed() / 1e6;
    const bool same = QString::fromLatin1(openssl.readAllStandardOutput()).contains(ours.value());

    std::printf("hash: %lld MiB  nivet %.0f ms (%.0f MiB/s)  openssl %.0f ms  ratio %.2f  digests %s\n",
        static_cast<long long>(mib), oursMs, mib / (oursMs / 1000), baseMs, oursMs / baseMs, same ? "equal" : "DIFFER");
    const long growth = peakRssKiB() - rssBefore;
    std::printf("hash: peak RSS growth while hashing %ld KiB\n", growth);
    printResult(QStringLiteral("Hash time vs `openssl dgst -sha256`, %1 MiB").arg(mib),
        QStringLiteral("ratio %1 (%2 MiB/s)").arg(oursMs / baseMs, 0, 'f', 2).arg(mib / (oursMs / 1000), 0, 'f', 0),
        QStringLiteral("openssl %1 ms").arg(baseMs, 0, 'f', 0), QStringLiteral("—"),
        same ? QStringLiteral("digests equal") : QStringLiteral("DIGESTS DIFFER"));
    // Hashing reads in 1 MiB chunks, so its memory must not grow with the file.
    constexpr long kGrowthGoalKiB = 8 * 1024;
    printResult(QStringLiteral("Peak memory while hashing %1 MiB").arg(mib),
        QStringLiteral("peak RSS %1 MiB (+%2 MiB while hashing)")
            .arg(peakRssKiB() / 1024.0, 0, 'f', 1)
            .arg(growth / 1024.0, 0, 'f', 1),
        QStringLiteral("%1 MiB before hashing").arg(rssBefore / 1024.0, 0, 'f', 1),
        QStringLiteral("growth ≤ %1 MiB").arg(kGrowthGoalKiB / 1024), verdict(growth <= kGrowthGoalKiB));
    return same ? 0 : 1;
}
