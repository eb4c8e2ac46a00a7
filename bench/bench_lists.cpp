// The longest stall of the window's event loop while its big lists fill: a
// 5 ms timer probe on the GUI thread of the real main window (offscreen)
// while 10,000 files are dropped on the file list, and while a Register of
// 10,000 files publishes its rows and the table is scrolled from top to
// bottom in 200 steps. Compared with the same probe's gaps while the
// window sits idle, measured in the same run.
//
// Usage: bench_lists [files]
#include "core/stampingclient.h"
#include "ui/contentview.h"
#include "ui/mainwindow.h"

#include "../tools/instantservice.h"
#include "benchresult.h"
#include "windowprobe.h"

#include <QApplication>
#include <QCoro/QCoroTimer>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QListView>
#include <QMimeData>
#include <QScrollBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

constexpr double kGoalMs = 100;

} // namespace

int main(int argc, char **argv)
{
    const BenchEnvironment environment;
    QApplication app(argc, argv);
    const int count = argc > 1 ? QByteArray(argv[1]).toInt() : 10000;

    QTemporaryDir dir;
    QList<QUrl> urls;
    for (int i = 0; i < count; ++i) {
        const QString path
            = dir.filePath(QStringLiteral("folder-with-a-longer-name/document-%1.txt").arg(i, 5, 10, QLatin1Char('0')));
        if (i == 0)
            QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(QByteArray::number(i)) <= 0) {
            std::fprintf(stderr, "lists: cannot write %s\n", qPrintable(path));
            return 1;
        }
        urls.append(QUrl::fromLocalFile(path));
    }

    MainWindow window(nullptr, [](const QString &) { return std::make_unique<InstantService>(); });
    window.resize(1000, 700);
    window.show();
    ContentView *content = window.content();
    spin(300); // let the first paint settle

    Probe probe(kGoalMs);
    probe.start();
    spin(1000);
    const double idle = probe.stop();

    // A drop of every file at once, as from a file manager, then its paint.
    auto *list = content->findChild<QListView *>(QStringLiteral("fileList"));
    QMimeData mime;
    mime.setUrls(urls);
    probe.start();
    QElapsedTimer wall;
    wall.start();
    const QPoint at = list->viewport()->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(list->viewport(), &enter);
    QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(list->viewport(), &drop);
    const double addingMs = wall.nsecsElapsed() / 1e6;
    spin(200); // the list's paint
    const double adding = probe.stop();

    // A Register of all of them, the rows shown, then scrolled through.
    probe.start();
    wall.restart();
    QEventLoop running;
    QObject::connect(content, &ContentView::busyChanged, &running, [&running](bool busy) {
        if (!busy)
            running.quit();
    });
    content->startRun(BatchRun::Action::registerFiles);
    if (content->busy())
        running.exec();
    const double runMs = wall.nsecsElapsed() / 1e6;
    spin(50); // the table lays its rows out
    auto *table = content->findChild<QTableView *>(QStringLiteral("resultsTable"));
    QScrollBar *bar = table->verticalScrollBar();
    // As when the thumb is dragged down: 200 steps, each repainting the table.
    constexpr int kSteps = 200;
    for (int step = 1; step <= kSteps; ++step) {
        bar->setValue(int(qint64(bar->maximum()) * step / kSteps));
        spin(10);
    }
    const double showing = probe.stop();
    const int rows = table->model()->rowCount();

    std::printf("lists: idle longest gap %.1f ms\n", idle);
    std::printf("lists: adding %d files: the drop took %.1f ms, longest gap %.1f ms\n", count, addingMs, adding);
    std::printf("lists: register of %d files in %.0f ms, %d rows shown and scrolled to row %d, longest gap %.1f ms "
                "from %.0f ms on\n",
        count, runMs, rows, table->rowAt(table->viewport()->height() - 1), showing, probe.longestAt());
    const bool ok = content->files().size() == count && rows == count;
    const QString baseline = QStringLiteral("idle %1 ms (%2 ms probe)").arg(idle, 0, 'f', 1).arg(Probe::kIntervalMs);
    // The ratio to the idle window's own longest gap, measured just before.
    const auto value = [idle](double gap) {
        return QStringLiteral("%1 ms longest gap (%2× idle)")
            .arg(gap, 0, 'f', 1)
            .arg(gap / std::max(idle, 0.1), 0, 'f', 1);
    };
    printResult(QStringLiteral("Event-loop stall adding %1 files to the list (main window, offscreen)").arg(count),
        value(adding), baseline, QStringLiteral("< %1 ms").arg(kGoalMs), verdict(adding < kGoalMs, ok));
    printResult(QStringLiteral("Event-loop stall showing and scrolling %1 result rows").arg(count), value(showing),
        baseline, QStringLiteral("< %1 ms").arg(kGoalMs), verdict(showing < kGoalMs, ok));
    return ok ? 0 : 1;
}
