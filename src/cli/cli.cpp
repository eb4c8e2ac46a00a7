#include "cli/cli.h"

#include "core/optiontext.h"

#include "cli/authcommands.h"
#include "cli/batchcommands.h"
#include "cli/defaultscommands.h"
#include "cli/evidencecommands.h"
#include "storage/configstore.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <map>

using namespace Qt::StringLiterals;

namespace Cli {

namespace {

struct Entry {
    const char *name;
    CliCommand command;
};

// Subcommands add themselves here.
const std::vector<Entry> &commands()
{
    static const std::vector<Entry> list {
        { "set-auth", AuthCommands::setAuth },
        { "login", AuthCommands::login },
        { "check", AuthCommands::check },
        { "register", BatchCommands::registerFiles },
        { "verify", BatchCommands::verifyFiles },
        { "set-defaults", DefaultsCommands::setDefaults },
        { "evidence", EvidenceCommands::evidence },
        { "key", EvidenceCommands::key },
    };
    return list;
}

QCoro::Task<int> printDefaultsAndUsage(CliIo io)
{
    const ConfigStore config;
    DefaultsCommands::printDefaults(io, config.defaults());
    io.out << QLatin1Char('\n') << usage();
    io.out.flush();
    co_return kExitOk;
}

// What is wrong with args, given that parser has parsed them (parsed tells
// whether it succeeded).
std::optional<QString> complaint(
    const QCommandLineParser &parser, const CommandLine &line, const QStringList &args, bool parsed)
{
    if (line.wording == Wording::noArguments) {
        if (parsed && parser.positionalArguments().isEmpty())
            return std::nullopt;
        return u"takes no arguments"_s;
    }
    const bool bare = line.wording == Wording::bare;
    const QString option = bare ? QString() : u"option "_s;
    if (!parser.unknownOptionNames().isEmpty()) {
        const QString arg = OptionText::typedArgument(args, parser.unknownOptionNames().constFirst());
        if (bare && !arg.startsWith("--"_L1))
            return u"unexpected argument"_s;
        return u"unknown option \"%1\""_s.arg(bare ? arg.section(u'=', 0, 0) : arg);
    }
    const QStringList names = parser.optionNames();
    for (qsizetype i = 0; i < names.size(); ++i) {
        if (names.indexOf(names.at(i)) < i)
            return u"%1--%2 given twice"_s.arg(option, names.at(i));
    }
    if (parsed)
        return std::nullopt;
    return OptionText::valueProblem(line.options, args, option);
}

} // namespace

QString usage()
{
    return QStringLiteral(
        "Usage:\n"
        "  nivet-timestamp                      show the defaults and this help\n"
        "  nivet-timestamp register FILE...     stamp the files' digests and keep the receipts\n"
        "  nivet-timestamp verify FILE...       check the files against their receipts\n"
        "      --format json|csv|text           output format (default: the output default)\n"
        "      --save PATH                      also write the output to PATH (.json, .csv, .txt, .pdf)\n"
        "      --offline [--tsa-ca PEM]         (verify) check the kept evidence alone, with no network\n"
        "  nivet-timestamp evidence update [FILE...]   fetch anchored evidence for receipts that lack it\n"
        "  nivet-timestamp evidence export FILE --out NAME.json [--tsa-ca PEM]\n"
        "                                       write the file's evidence for checking by hand\n"
        "  nivet-timestamp key accept URL [--key PEM]  trust the service's current (or this) log key\n"
        "  nivet-timestamp set-defaults [--url URL] [--scope SCOPE] [--output FORMAT]\n"
        "  nivet-timestamp set-auth [--username USER] [--password PASS | --password-stdin]\n"
        "                           [--token TOKEN | --token-stdin] [--auth-url URL]\n"
        "  nivet-timestamp login                log in with the stored user name and password\n"
        "  nivet-timestamp check                validate the stored token\n"
        "  nivet-timestamp --gui                start the desktop app\n"
        "  nivet-timestamp --help | --version\n");
}

QString inert(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != u'\t' && u != u'\n') || (u >= 0x7f && u <= 0x9f))
            out += QStringLiteral("\\x") + QString::number(u, 16).toUpper().rightJustified(2, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

int fail(CliIo &io, const QString &message)
{
    io.err << QStringLiteral("Error: ") << inert(message) << Qt::endl;
    return kExitFailure;
}

int usageError(CliIo &io, const QString &message)
{
    io.err << QStringLiteral("nivet-timestamp: ") << inert(message) << QLatin1Char('\n') << usage();
    io.err.flush();
    return kExitUsage;
}

std::optional<int> parseCommand(QCommandLineParser &parser, const CommandLine &line, const QStringList &args, CliIo &io)
{
    const QString command = line.synopsis.section(u' ', 0, 0);
    const QCommandLineOption help({ u"h"_s, u"help"_s }, u"Show this help."_s);
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(line.about);
    parser.addOption(help);
    parser.addOptions(line.options);
    const bool parsed = parser.parse(QStringList { command } + args);
    if (const std::optional<QString> problem = complaint(parser, line, args, parsed))
        return usageError(io, command + u": "_s + *problem);
    if (!parser.isSet(help))
        return std::nullopt;
    // Qt's own usage line names the program as it was started; ours names the command.
    io.out << u"Usage: nivet-timestamp "_s << line.synopsis << u'\n' << parser.helpText().section(u'\n', 1);
    io.out.flush();
    return kExitOk;
}

QCoro::Task<int> run(QStringList args, CliIo io)
{
    if (args.isEmpty())
        co_return co_await printDefaultsAndUsage(io);
    // Only the first argument is the tool's own: the rest belongs to the
    // command, or to the app after --gui.
    const QString first = args.takeFirst();
    QCommandLineParser global;
    const QCommandLineOption help(QStringList { u"h"_s, u"help"_s }), version(u"version"_s), gui(u"gui"_s);
    global.addOptions({ help, version, gui });
    const bool isOption = global.parse({ u"nivet-timestamp"_s, first }) && !global.optionNames().isEmpty();
    if (isOption && global.isSet(help)) {
        io.out << usage();
        io.out.flush();
        co_return kExitOk;
    }
    if (isOption && global.isSet(gui)) {
        // The app is a separate program beside this one (or on the PATH).
        QString app = QCoreApplication::applicationDirPath() + QStringLiteral("/nivet-timestamping");
        if (!QFileInfo(app).isExecutable())
            app = QStandardPaths::findExecutable(QStringLiteral("nivet-timestamping"));
        if (app.isEmpty())
            co_return fail(
                io, QStringLiteral("cannot find the app nivet-timestamping beside this tool or on the PATH"));
        if (!QProcess::startDetached(app, args))
            co_return fail(io, QStringLiteral("cannot start %1").arg(app));
        co_return kExitOk;
    }
    if (isOption && global.isSet(version)) {
        io.out << QStringLiteral("nivet-timestamp %1\n").arg(QStringLiteral(NIVET_VERSION));
        io.out.flush();
        co_return kExitOk;
    }
    for (const Entry &entry : commands()) {
        if (first == QLatin1String(entry.name)) {
            const int status = co_await entry.command(args, io);
            io.out.flush();
            io.err.flush();
            co_return status;
        }
    }
    co_return usageError(io, QStringLiteral("unknown command \"%1\"").arg(first));
}

} // namespace Cli
