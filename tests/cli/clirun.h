#pragma once

#include "cli/cli.h"

#include <QBuffer>
#include <QTextStream>

struct CliRun {
    int status = -1;
    QString out;
    QString err;
};

// One in-process run of the tool; errIsTerminal stands for a stderr that is a terminal.
inline CliRun runCli(const QStringList &args, const QByteArray &stdinData = {}, bool errIsTerminal = false)
{
    CliRun r;
    QTextStream out(&r.out), err(&r.err);
    QBuffer in;
    in.setData(stdinData);
    in.open(QIODevice::ReadOnly);
    auto task = Cli::run(args, CliIo { out, err, in, errIsTerminal });
    r.status = QCoro::waitFor(task);
    out.flush();
    err.flush();
    return r;
}
