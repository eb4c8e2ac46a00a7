#pragma once

#include "cli/cli.h"

struct NivetDefaults;

/// The client defaults shared with the app ("client.json").
namespace DefaultsCommands {

/// "set-defaults [--url URL] [--scope SCOPE] [--output FORMAT]": changes only
/// the options given, saves, and prints the three defaults.
QCoro::Task<int> setDefaults(QStringList args, CliIo io);

/// "url: …", "scope: …" and "output: …", one line each, to out.
void printDefaults(CliIo &io, const NivetDefaults &defaults);

} // namespace DefaultsCommands
