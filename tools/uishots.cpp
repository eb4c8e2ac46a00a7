// Saves pictures of the real windows for a person to look at. Not a test.
//
//   uishots OUTDIR FILE...     the main window after a Register, a Verify
//                              of the files against the configured service
//                              and a Verify Offline of their kept evidence,
//                              the settings window and the help sheet. Run
//                              it with XDG_DATA_HOME pointing at the data
//                              folder to use (for example .run/home).
//   uishots --rows N OUTDIR    the main window during and after a Register of
//                              N files against an in-process service that
//                              answers at once (one row in five fails).
//   uishots --appstream OUTDIR the pictures software centres show (main.png,
//                              settings.png): a Register of six documents
//                              against that service, and Settings.
#include "core/stampingclient.h"
#include "ui/appcommandline.h"
#include "ui/contentview.h"
#include "ui/defaultsview.h"
#include "ui/mainwindow.h"

#include "instantservice.h"

#include <QAction>
#include <QApplication>
#include <QCoro/QCoroTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdio>

namespace {

// An event loop of its own: QTest::qWaitFor sleeps between turns, which a
// run of thousands of quick answers would feel.
bool waitIdle(ContentView *view)
{
    if (view->busy()) {
        QEventLoop loop;
        QObject::connect(view, &ContentView::busyChanged, &loop, [&loop](bool busy) {
            if (!busy)
                loop.quit();
        });
        QTimer::singleShot(600000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return !view->busy();
}

// The window once its run is over, saved as path.
bool saveWhenIdle(MainWindow &window, const QString &path)
{
    if (!waitIdle(window.content()))
        return false;
    QTest::qWait(100);
    return window.grab().save(path);
}

// Settings, opened over the window, saved as path.
bool saveSettings(MainWindow &window, const QString &path)
{
    window.openSettings();
    if (!QTest::qWaitForWindowExposed(window.settings()))
        return false;
    QTest::qWait(100);
    return window.settings()->grab().save(path);
}

// The window at a size the pictures are compared at, shown, with the files
// dropped on it; null if it never showed.
ContentView *showWithFiles(MainWindow &window, const QStringList &files)
{
    window.resize(1100, 720);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return nullptr;
    window.content()->handleDrop(files);
    return window.content();
}

int manyRows(int count, const QString &out)
{
    QTemporaryDir dir;
    QStringList files;
    const QString folder = dir.filePath(QStringLiteral("a folder with a rather long name/and another one below it"));
    QDir().mkpath(folder);
    for (int i = 0; i < count; ++i) {
        files.append(folder + QStringLiteral("/document-%1.txt").arg(i, 5, 10, QLatin1Char('0')));
        QFile f(files.last());
        if (!f.open(QIODevice::WriteOnly) || f.write(QByteArray::number(i)) <= 0)
            return 1;
    }
    MainWindow window(nullptr, [](const QString &) { return std::make_unique<InstantService>(); });
    ContentView *view = showWithFiles(window, files);
    if (!view)
        return 1;
    view->startRun(BatchRun::Action::registerFiles);
    QTest::qWait(400); // part of the way through
    window.grab().save(out + QStringLiteral("/rows-running.png"));
    if (!waitIdle(view))
        return 1;
    QTest::qWait(100);
    window.grab().save(out + QStringLiteral("/rows-done.png"));
    auto *table = view->findChild<QTableView *>(QStringLiteral("resultsTable"));
    table->verticalScrollBar()->setValue(table->verticalScrollBar()->maximum() / 2);
    QTest::qWait(100);
    window.grab().save(out + QStringLiteral("/rows-middle.png"));
    std::printf("%s\n", qPrintable(view->status()));
    return 0;
}

bool writeText(const QString &path, const QByteArray &text)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(text) == text.size()
        && f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

int appstream(const QString &out)
{
    // A scratch home that reads like one in the pictures.
    QTemporaryDir scratch(QDir::tempPath() + QStringLiteral("/home-XXXXXX"));
    const QDir dir(scratch.filePath(QStringLiteral("alice")));
    const QString home = dir.filePath(QStringLiteral(".local/share"));
    qputenv("XDG_DATA_HOME", home.toLocal8Bit());
    if (!writeText(home + QStringLiteral("/Nivet/auth.properties"), "username=alice\n"))
        return 1;
    QStringList files;
    for (const char *name : { "contract-2026-signed.pdf", "invoice-0042.pdf", "lab-notebook-p17.jpg",
             "patent-draft-v3.odt", "site-visit-photo.jpg", "source-release-1.4.tar.gz" }) {
        files.append(dir.filePath(QStringLiteral("Documents/") + QLatin1String(name)));
        if (!writeText(files.last(), name))
            return 1;
    }
    MainWindow window(nullptr, [](const QString &) { return std::make_unique<InstantService>(); });
    window.resize(1280, 720); // the 16:9 that software centres show best
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    window.openWith({ files, BatchRun::Action::registerFiles });
    const bool saved = saveWhenIdle(window, out + QStringLiteral("/main.png"))
        && saveSettings(window, out + QStringLiteral("/settings.png"));
    return saved ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Nivet Timestamping"));
    if (argc == 4 && QByteArray(argv[1]) == "--rows")
        return manyRows(QByteArray(argv[2]).toInt(), QString::fromLocal8Bit(argv[3]));
    if (argc == 3 && QByteArray(argv[1]) == "--appstream")
        return appstream(QString::fromLocal8Bit(argv[2]));
    if (argc < 3) {
        std::fprintf(stderr,
            "usage: uishots OUTDIR FILE...\n       uishots --rows N OUTDIR\n       uishots --appstream OUTDIR\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    QStringList files;
    for (int i = 2; i < argc; ++i)
        files.append(QString::fromLocal8Bit(argv[i]));

    MainWindow window;
    ContentView *view = showWithFiles(window, files);
    if (!view)
        return 1;
    window.grab().save(out + QStringLiteral("/main-ready.png"));

    view->findChild<QPushButton *>(QStringLiteral("registerButton"))->click();
    if (!saveWhenIdle(window, out + QStringLiteral("/main-registered.png")))
        return 1;
    const QString registered = view->status();

    view->findChild<QPushButton *>(QStringLiteral("verifyButton"))->click();
    if (!saveWhenIdle(window, out + QStringLiteral("/main-verified.png")))
        return 1;
    const QString verified = view->status();
    view->verifyOfflineAction()->trigger();
    if (!saveWhenIdle(window, out + QStringLiteral("/main-offline.png"))
        || !saveSettings(window, out + QStringLiteral("/settings.png")))
        return 1;
    // With a status line after a check of the session.
    window.settings()->findChild<QPushButton *>(QStringLiteral("checkButton"))->click();
    if (!QTest::qWaitFor([&] { return !window.settings()->busy(); }, 60000))
        return 1;
    QTest::qWait(100);
    window.settings()->grab().save(out + QStringLiteral("/settings-checked.png"));

    view->showDocs();
    QTest::qWait(200);
    if (view->docsView())
        view->docsView()->grab().save(out + QStringLiteral("/docs.png"));
    std::printf("%s\n%s\n%s\n", qPrintable(registered), qPrintable(verified), qPrintable(view->status()));
    return 0;
}
