#include "cli/cli.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("nivet-timestamp"));
    QCoreApplication::setApplicationVersion(QStringLiteral(NIVET_VERSION));

    QTextStream out(stdout);
    QTextStream err(stderr);
    QFile in;
    in.open(stdin, QIODevice::ReadOnly);
    CliIo io{out, err, in, ::isatty(STDERR_FILENO) == 1};

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
