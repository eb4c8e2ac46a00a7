// Saves pictures of the real windows for a person to look at: the main window
// after a Register and a Verify of the given files against the configured
// service, and the settings window. Not a test; run it with XDG_DATA_HOME
// pointing at the data folder to use (for example .run/home of `make run`).
//   uishots OUTDIR FILE...
#include "ui/contentview.h"
#include "ui/defaultsview.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>

#include <cstdio>

static bool waitIdle(ContentView *view)
{
    return QTest::qWaitFor([view] { return !view->busy(); }, 60000);
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Nivet Timestamping"));
    if (argc < 3) {
        std::fprintf(stderr, "usage: uishots OUTDIR FILE...\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    QStringList files;
    for (int i = 2; i < argc; ++i)
        files.append(QString::fromLocal8Bit(argv[i]));

    MainWindow window;
    window.resize(1100, 720);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    ContentView *view = window.content();
    view->handleDrop(files);
    window.grab().save(out + QStringLiteral("/main-ready.png"));

    view->findChild<QPushButton *>(QStringLiteral("registerButton"))->click();
    if (!waitIdle(view))
        return 1;
    QTest::qWait(100);
    window.grab().save(out + QStringLiteral("/main-registered.png"));

    view->findChild<QPushButton *>(QStringLiteral("verifyButton"))->click();
    if (!waitIdle(view))
        return 1;
    QTest::qWait(100);
    window.grab().save(out + QStringLiteral("/main-verified.png"));

    window.openSettings();
    if (!QTest::qWaitForWindowExposed(window.settings()))
        return 1;
    QTest::qWait(100);
    window.settings()->grab().save(out + QStringLiteral("/settings.png"));

    view->showDocs();
    QTest::qWait(200);
    if (view->docsView())
        view->docsView()->grab().save(out + QStringLiteral("/docs.png"));
    std::printf("%s\n", qPrintable(view->status()));
    return 0;
}
