#include "cli/cli.h"

#include "cli/authcommands.h"
#include "cli/batchcommands.h"
#include "cli/defaultscommands.h"
#include "storage/configstore.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <map>

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

QCoro::Task<int> run(QStringList args, CliIo io)
{
    if (args.isEmpty())
        co_return co_await printDefaultsAndUsage(io);
    const QString first = args.takeFirst();
    if (first == QLatin1String("--help") || first == QLatin1String("-h")) {
        io.out << usage();
        io.out.flush();
        co_return kExitOk;
    }
    if (first == QLatin1String("--gui")) {
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
    if (first == QLatin1String("--version")) {
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
