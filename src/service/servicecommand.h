#pragma once

#include "service/runningservice.h"

#include <QIODevice>
#include <QStringList>
#include <QTextStream>

#include <memory>
#include <optional>

/// The nivet-stampd command line.
namespace ServiceCommand {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

struct Io {
    QTextStream &out; // the "Listening on" line and command results
    QTextStream &err; // messages and the request log
    QIODevice &in; // the password for add-user
    bool inIsTerminal = false; // then add-user prompts and hides the typing
};

/// What run() leaves behind: an exit status, or a started server for the
/// caller's event loop to run until it is told to stop.
struct Outcome {
    int exitCode = kExitOk;
    std::unique_ptr<RunningService> server;
};

/// Runs nivet-stampd with argv[1..] as args.
Outcome run(const QStringList &args, Io io);

QString usage();
QString backupUsage();

/// "90", "90s", "500ms", "15m", "2h", "1d" as milliseconds; nothing for
/// anything else, zero or negative.
std::optional<qint64> parseDuration(const QString &text);

/// "4096", "64KiB" or "64K", "1MiB" or "1M" as bytes; nothing for anything
/// else or zero.
std::optional<qint64> parseSize(const QString &text);

/// The default data folder: "nivet-stampd" in the per-user data folder.
QString defaultDataDir();

} // namespace ServiceCommand
