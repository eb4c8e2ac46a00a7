#pragma once

#include "cli/cli.h"

/// The credential subcommands: set-auth, login and check. Each works on the
/// credentials file and prints a summary line, which never holds a whole
/// token or a password.
namespace AuthCommands {

/// set-auth [--username USER] [--password PASS | --password-stdin]
///          [--token TOKEN | --token-stdin] [--auth-url URL]
/// Sets only the options given, saves, prints the summary.
QCoro::Task<int> setAuth(QStringList args, CliIo io);

/// login: logs in with the stored user name and password.
QCoro::Task<int> login(QStringList args, CliIo io);

/// check: validates the stored token (renewing it first when due).
QCoro::Task<int> check(QStringList args, CliIo io);

} // namespace AuthCommands
