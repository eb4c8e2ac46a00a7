#include "cli/cli.h"

#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <unistd.h>

// A PDF is drawn with the platform's fonts, which need a GUI application
// object; everything else runs without one (and without a display).
static bool drawsPdf(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        const QByteArray next = i + 1 < argc ? QByteArray(argv[i + 1]) : QByteArray();
        if (arg == "--format=pdf" || (arg == "--format" && next == "pdf"))
            return true;
        const QByteArray saved = arg.startsWith("--save=") ? arg.mid(7) : arg == "--save" ? next : QByteArray();
        if (saved.toLower().endsWith(".pdf"))
            return true;
    }
    return false;
}

int main(int argc, char **argv)
{
    std::unique_ptr<QCoreApplication> application;
    if (drawsPdf(argc, argv)) {
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        application = std::make_unique<QGuiApplication>(argc, argv);
    } else {
        application = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication &app = *application;
    QCoreApplication::setApplicationName(QStringLiteral("nivet-timestamp"));
    QCoreApplication::setApplicationVersion(QStringLiteral(NIVET_VERSION));

    QTextStream out(stdout);
    QTextStream err(stderr);
    QFile in;
    in.open(stdin, QIODevice::ReadOnly);
    CliIo io { out, err, in, ::isatty(STDERR_FILENO) == 1 };

    QStringList args = app.arguments();
    args.removeFirst();
    int status = Cli::kExitFailure;
    QTimer::singleShot(0, &app, [&] {
        Cli::run(args, io).then([&](int rc) {
            status = rc;
            out.flush();
            err.flush();
            app.exit(rc);
        });
    });
    app.exec();
    return status;
}
