#include "cli/batchcommands.h"
#include "cli/cli.h"

#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <unistd.h>

int main(int argc, char **argv)
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    // A PDF is drawn with the platform's fonts, which need a GUI application
    // object; everything else runs without one (and without a display).
    std::unique_ptr<QCoreApplication> application;
    if (BatchCommands::drawsPdf(args)) {
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
