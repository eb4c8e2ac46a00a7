#include "ui/appcommandline.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QIcon>
#include <QSettings>

#include <cstdio>

int main(int argc, char **argv)
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    // Answered before the application object, which needs a display.
    if (const std::optional<QString> answer = AppCommandLine::answer(args)) {
        std::fputs(answer->toLocal8Bit().constData(), stdout);
        return 0;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Nivet Timestamping"));
    QApplication::setApplicationDisplayName(QStringLiteral("Nivet Timestamping"));
    QApplication::setDesktopFileName(QStringLiteral("nivet-timestamping"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/nivet-timestamping.svg")));

    // Qt has taken its own options (-platform, -style, …) out by now.
    const Expected<AppCommandLine> line = AppCommandLine::parse(QApplication::arguments().mid(1));
    if (!line) {
        std::fprintf(stderr, "nivet-timestamping: %s\n%s", qPrintable(line.error().description),
            qPrintable(AppCommandLine::usage()));
        return 2;
    }

    // The window's place is this machine's business, not a setting the
    // command-line tool shares: ~/.config/Nivet/nivet-timestamping.conf.
    QSettings state(QStringLiteral("Nivet"), QStringLiteral("nivet-timestamping"));
    MainWindow window;
    if (!window.restoreGeometry(state.value(QStringLiteral("geometry")).toByteArray()))
        window.resize(1000, 700);
    window.show();
    window.openWith(*line);
    const int status = app.exec();
    state.setValue(QStringLiteral("geometry"), window.saveGeometry());
    return status;
}
