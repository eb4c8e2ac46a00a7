#pragma once

#include "cli/cli.h"

#include <QBuffer>
#include <QCoro/QCoroTask>

/// What one in-process run of the tool printed and returned.
struct CliRun {
    int status = -1;
    QString out;
    QString err;
};

/// Runs the tool in-process with buffers for its streams; errIsTerminal
/// stands for a stderr that is a terminal.
inline CliRun runCli(const QStringList &args, const QByteArray &stdinData = {}, bool errIsTerminal = false)
{
    CliRun r;
    QTextStream out(&r.out);
    QTextStream err(&r.err);
    QBuffer in;
    in.setData(stdinData);
    in.open(QIODevice::ReadOnly);
    CliIo io { out, err, in, errIsTerminal };
    auto task = Cli::run(args, io);
    r.status = QCoro::waitFor(task);
    out.flush();
    err.flush();
    return r;
}
