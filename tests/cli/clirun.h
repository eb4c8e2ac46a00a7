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

/// Runs the tool in-process with buffers for its streams.
inline CliRun runCli(const QStringList &args, const QByteArray &stdinData = {})
{
    CliRun r;
    QTextStream out(&r.out);
    QTextStream err(&r.err);
    QBuffer in;
    in.setData(stdinData);
    in.open(QIODevice::ReadOnly);
    CliIo io{out, err, in, false};
    auto task = Cli::run(args, io);
    r.status = QCoro::waitFor(task);
    out.flush();
    err.flush();
    return r;
}
