#pragma once

#include "cli/cli.h"

/// "register FILE…" and "verify FILE…": a batch run over the files in the
/// order given, the rows on stdout, the summary on stderr.
namespace BatchCommands {

QCoro::Task<int> registerFiles(QStringList args, CliIo io);
QCoro::Task<int> verifyFiles(QStringList args, CliIo io);

} // namespace BatchCommands
