// The longest stall of the window's event loop while a run hashes a large
// file: a 5 ms timer probe on the GUI thread of the real main window
// (offscreen), during a Register and a Verify of one 1 GiB file against a
// loopback service that answers at once, compared with the same probe's
// gaps while the window sits idle, measured in the same run.
//
// Usage: bench_stall [MiB]
#include "core/filehasher.h"
#include "storage/configstore.h"
#include "ui/contentview.h"
#include "ui/mainwindow.h"

#include "benchresult.h"
#include "scriptedhttpserver.h"
#include "windowprobe.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

constexpr double kGoalMs = 50;

struct Phase {
    double longest = 0;
    double longestAt = 0;
    int ticks = 0;
    int overGoal = 0;
    double ms = 0;
    QString status;
};

Phase runOnce(ContentView *content, Probe &probe, bool registering)
{
    QEventLoop loop;
    const auto done = QObject::connect(content, &ContentView::busyChanged, &loop, [&loop](bool busy) {
        if (!busy)
            loop.quit();
    });
    QElapsedTimer wall;
    wall.start();
    probe.start();
    if (registering)
        content->startRun(BatchRun::Action::registerFiles);
    else
        content->startRun(BatchRun::Action::verifyFiles);
    if (content->busy())
        loop.exec();
    probe.stop();
    QObject::disconnect(done);
    return { probe.longest(), probe.longestAt(), probe.ticks(), probe.overGoal(), wall.nsecsElapsed() / 1e6,
        content->results().value(0).status };
}

} // namespace

int main(int argc, char **argv)
{
    const BenchEnvironment environment;
    QApplication app(argc, argv);
    const qint64 mib = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1024;

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("big.bin"));
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly)) {
            std::fprintf(stderr, "stall: cannot write %s\n", qPrintable(path));
            return 1;
        }
        QByteArray block(1024 * 1024, Qt::Uninitialized);
        for (int i = 0; i < block.size(); ++i)
            block[i] = char(i * 131);
        for (qint64 i = 0; i < mib; ++i)
            f.write(block);
    }
    // Warm the page cache so hashing runs at full speed: the most progress
    // per second the window will ever see.
    FileHasher::sha256Hex(path);

    ScriptedHttpServer service;
    service.setHandler(
        ScriptedHttpServer::mcp([](const QString &tool, const QJsonObject &arguments, const HttpRequest &) {
            if (tool == QLatin1String("stamp")) {
                const QJsonObject receipt { { QStringLiteral("receipt_id"), QStringLiteral("r-1") },
                    { QStringLiteral("hash"), arguments.value(QStringLiteral("sha256")) } };
                return ScriptedHttpServer::toolResult({ { QStringLiteral("receipts"), QJsonArray { receipt } } });
            }
            return ScriptedHttpServer::toolResult({ { QStringLiteral("valid"), true } });
        }));

    MainWindow window;
    window.resize(1000, 700);
    window.show();
    ContentView *content = window.content();
    content->config()->setUrl(service.url().toString());
    content->handleDrop({ path });
    spin(300); // let the first paint and the drop settle

    Probe probe(kGoalMs);
    probe.start();
    spin(1000);
    probe.stop();
    const Phase idle { probe.longest(), probe.longestAt(), probe.ticks(), probe.overGoal(), 1000, {} };

    const Phase reg = runOnce(content, probe, true);
    const Phase ver = runOnce(content, probe, false);
    const double longest = std::max(reg.longest, ver.longest);

    std::printf("stall: idle %d probes, longest gap %.1f ms\n", idle.ticks, idle.longest);
    for (const auto &[name, p] : { std::pair { "register", reg }, std::pair { "verify", ver } }) {
        std::printf("stall: %-8s %lld MiB in %.0f ms, %d probes, longest gap %.1f ms from %.0f ms on, "
                    "%d gaps over %.0f ms, row: %s\n",
            name, static_cast<long long>(mib), p.ms, p.ticks, p.longest, p.longestAt, p.overGoal, kGoalMs,
            qPrintable(p.status));
    }
    std::printf("stall: ratio longest gap run/idle %.2f\n", longest / std::max(idle.longest, 0.001));
    const bool ok = reg.status == QLatin1String("Registered") && ver.status == QLatin1String("Valid");
    printResult(QStringLiteral("Event-loop stall while a run hashes %1 MiB (main window, offscreen)").arg(mib),
        QStringLiteral("%1 ms longest gap").arg(longest, 0, 'f', 1),
        QStringLiteral("idle %1 ms (%2 ms probe)").arg(idle.longest, 0, 'f', 1).arg(Probe::kIntervalMs),
        QStringLiteral("< %1 ms").arg(kGoalMs), verdict(longest < kGoalMs, ok));
    return ok ? 0 : 1;
}
