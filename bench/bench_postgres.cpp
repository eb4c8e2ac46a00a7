// Stamps per second through two nivet-stampd instances against one, both on
// one PostgreSQL server (durable commits) that the bench starts itself (pg_virtualenv):
// sixteen clients stamp fresh digests for a few seconds, each request to an
// instance picked at random. Measured twice: with every stamp in one scope
// (the default "global", whose appends take turns), and spread over eight.
//
// Usage: bench_postgres [SECONDS]
#include "benchresult.h"
#include "postgresserver.h"
#include "stampdload.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QTemporaryDir>

#include <cstdio>

namespace {

constexpr int kClients = 16;

struct Rate {
    double perSecond = 0;
    bool ran = false;
};

Rate stampRate(const QString &keys, int instances, const QStringList &scopes, int ms)
{
    static int databases = 0;
    const QString url = PostgresServer::createDatabase(QStringLiteral("bench%1").arg(++databases));
    std::vector<StampdLoad::Instance> running;
    QList<QUrl> endpoints;
    for (int i = 0; i < instances && !url.isEmpty(); ++i) {
        running.push_back(StampdLoad::start(QStringLiteral(NIVET_STAMPD_BINARY),
            { QStringLiteral("--data"), keys, QStringLiteral("--database"), url }));
        if (running.back().base.isEmpty())
            return {};
        endpoints.append(running.back().mcp());
    }
    if (endpoints.isEmpty())
        return {};
    QNetworkAccessManager nam;
    StampdLoad::Tally tally;
    QElapsedTimer took;
    took.start();
    for (int c = 0; c < kClients; ++c)
        StampdLoad::stampingClient(nam, endpoints, scopes, QDeadlineTimer(ms), &tally);
    while (tally.finished < kClients)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    const double seconds = took.nsecsElapsed() / 1e9;
    for (StampdLoad::Instance &instance : running) {
        instance.process->terminate();
        instance.process->waitForFinished(10'000);
    }
    if (!tally.failures.isEmpty())
        std::printf(
            "  %lld stamps failed, first: %s\n", qint64(tally.failures.size()), qPrintable(tally.failures.first()));
    return { tally.acked.size() / seconds, tally.failures.isEmpty() && !tally.acked.isEmpty() };
}

} // namespace

int main(int argc, char **argv)
{
    PostgresServer::runUnderVirtualenv(argv, true);
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 5;
    const QString measure = QStringLiteral("stamps/s through 2 nivet-stampd on one PostgreSQL, %1");
    QTemporaryDir keys;
    if (!PostgresServer::available()) {
        std::printf("no PostgreSQL server: install Debian's postgresql-15 (its pg_virtualenv starts one)\n");
        printResult(measure.arg(QStringLiteral("1 scope")), QStringLiteral("—"), QStringLiteral("—"),
            QStringLiteral("≥ 1× one instance"), verdict(false, false));
        return 1;
    }
    int failed = 0;
    for (const QStringList &scopes : { QStringList { QStringLiteral("global") },
             QStringList { QStringLiteral("s1"), QStringLiteral("s2"), QStringLiteral("s3"), QStringLiteral("s4"),
                 QStringLiteral("s5"), QStringLiteral("s6"), QStringLiteral("s7"), QStringLiteral("s8") } }) {
        const Rate one = stampRate(keys.path(), 1, scopes, seconds * 1000);
        const Rate two = stampRate(keys.path(), 2, scopes, seconds * 1000);
        const double ratio = one.perSecond > 0 ? two.perSecond / one.perSecond : 0;
        const QString label = scopes.size() == 1 ? QStringLiteral("1 scope") : QStringLiteral("8 scopes");
        std::printf("%s: one instance %.0f stamps/s, two %.0f stamps/s (%.2f×), %d clients\n", qPrintable(label),
            one.perSecond, two.perSecond, ratio, kClients);
        printResult(measure.arg(label),
            QStringLiteral("%1/s (%2×)").arg(two.perSecond, 0, 'f', 0).arg(ratio, 0, 'f', 2),
            QStringLiteral("%1/s with one").arg(one.perSecond, 0, 'f', 0), QStringLiteral("≥ 1× one instance"),
            verdict(ratio >= 1.0, one.ran && two.ran));
        failed += one.ran && two.ran ? 0 : 1;
    }
    return failed == 0 ? 0 : 1;
}
