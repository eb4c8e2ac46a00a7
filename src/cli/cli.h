#pragma once

#include <QCommandLineParser>
#include <QCoro/QCoroTask>
#include <QIODevice>
#include <QStringList>
#include <QTextStream>

#include <functional>
#include <optional>

/// The streams a command talks to; tests pass buffers.
struct CliIo {
    QTextStream &out;
    QTextStream &err;
    QIODevice &in; // for --password-stdin and the like
    bool errIsTerminal = false; // progress goes to err only when true
};

/// One subcommand: takes the arguments after its name, returns the exit status
/// (0 success, 1 failure, 2 usage error).
using CliCommand = std::function<QCoro::Task<int>(QStringList args, CliIo io)>;

/// The command-line tool. Subcommands live in their own files and are listed
/// in cli.cpp.
namespace Cli {

/// How a command words a complaint about its options.
enum class Wording {
    quoted, // "option --x needs a value", "unknown option \"--x=1\""
    bare, // "--x needs a value", "unknown option \"--x\""; a stray word is not echoed (it may be a secret)
    noArguments, // any argument at all: "takes no arguments"
};

/// A command's own command line: its --help shows the synopsis, the text
/// about it and its options.
struct CommandLine {
    QString synopsis; // "register [options] FILE...": the usage line
    QString about;
    QList<QCommandLineOption> options;
    Wording wording = Wording::quoted;
};

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

/// Runs the tool with argv[1..] as args.
QCoro::Task<int> run(QStringList args, CliIo io);

/// The usage text, ending with a line feed.
QString usage();

/// text fit for a terminal: control characters other than tab and line feed
/// (C0, DEL, C1) shown as "\xHH", so no text from outside (a server, a
/// file, a file name) can move the cursor, retitle the window or clear the
/// screen. Everything the tool prints goes through it.
QString inert(const QString &text);

/// Prints "Error: " + message to err and returns kExitFailure.
int fail(CliIo &io, const QString &message);

/// Prints message and the usage to err and returns kExitUsage.
int usageError(CliIo &io, const QString &message);

/// Parses a command's args with parser, which learns line's options and
/// --help. Returns nothing when the command goes on; otherwise the status to
/// end with, after printing the help or the complaint.
std::optional<int> parseCommand(
    QCommandLineParser &parser, const CommandLine &line, const QStringList &args, CliIo &io);

} // namespace Cli
