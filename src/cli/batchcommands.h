#pragma once

#include "cli/cli.h"

/// "register FILE…" and "verify FILE…": a batch run over the files in the
/// order given, the rows on stdout, the summary on stderr. Ctrl+C stops the
/// run (see BatchRun::stop); the rows so far are still printed (and saved).
namespace BatchCommands {

/// The exit status of a run that Ctrl+C stopped, as a shell reports SIGINT.
inline constexpr int kExitInterrupted = 130;

/// Whether args (a command and its arguments) make a PDF, which needs a GUI
/// application object for its fonts.
bool drawsPdf(const QStringList &args);

QCoro::Task<int> registerFiles(QStringList args, CliIo io);
QCoro::Task<int> verifyFiles(QStringList args, CliIo io);

} // namespace BatchCommands
