#include "service/servicecommand.h"

#include "core/optiontext.h"

#include "service/accounts/passwordhash.h"
#include "service/accounts/userdirectory.h"
#include "service/common/clock.h"
#include "service/common/textcheck.h"
#include "service/db/servicedatabase.h"

#include <QCommandLineParser>
#include <QDir>
#include <QRegularExpression>
#include <QStandardPaths>

#include <termios.h>
#include <unistd.h>

#ifndef NIVET_SERVICE_VERSION
#define NIVET_SERVICE_VERSION "0.0.0"
#endif

using namespace Qt::StringLiterals;

namespace ServiceCommand {

namespace {

constexpr int kMaxNameLength = 128;

int usageError(Io &io, const QString &message)
{
    io.err << QStringLiteral("nivet-stampd: ") << message << QLatin1Char('\n') << usage();
    io.err.flush();
    return kExitUsage;
}

int fail(Io &io, const QString &message)
{
    io.err << QStringLiteral("Error: ") << message << QLatin1Char('\n');
    io.err.flush();
    return kExitFailure;
}

const QCommandLineOption kHelp(QStringList { u"h"_s, u"help"_s }, u"Show this help."_s);
const QCommandLineOption kData(u"data"_s, u"The data folder."_s, u"DIR"_s);

// Parses args with parser, which learns options and --help; the complaint, or nothing.
std::optional<QString> parseOptions(
    QCommandLineParser &parser, const QList<QCommandLineOption> &options, const QStringList &args)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOption(kHelp);
    parser.addOptions(options);
    if (parser.parse(QStringList { u"nivet-stampd"_s } + args) || parser.isSet(kHelp))
        return std::nullopt;
    if (!parser.unknownOptionNames().isEmpty()) {
        const QString arg = OptionText::typedArgument(args, parser.unknownOptionNames().constFirst());
        if (!arg.startsWith("--"_L1))
            return u"unexpected argument %1"_s.arg(arg);
        return u"unknown option %1"_s.arg(arg.section(u'=', 0, 0));
    }
    return OptionText::valueProblem(options, args, QString());
}

// HOST:PORT, [IPv6]:PORT; "localhost" means the IPv4 loopback address.
std::optional<std::pair<QHostAddress, quint16>> parseListen(const QString &text)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return std::nullopt;
    QString host = text.left(colon);
    bool numeric = false;
    const uint port = text.mid(colon + 1).toUInt(&numeric);
    if (!numeric || port > 65535)
        return std::nullopt;
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    else if (host.contains(QLatin1Char(':')))
        return std::nullopt; // an IPv6 address needs its brackets
    if (host == QLatin1String("localhost"))
        host = QStringLiteral("127.0.0.1");
    const QHostAddress address(host);
    if (address.isNull())
        return std::nullopt;
    return std::make_pair(address, static_cast<quint16>(port));
}

std::optional<QString> nameProblem(const QString &what, const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("the %1 is empty").arg(what);
    if (name.trimmed() != name)
        return QStringLiteral("the %1 starts or ends with white space").arg(what);
    if (name.size() > kMaxNameLength)
        return QStringLiteral("the %1 is longer than %2 characters").arg(what).arg(kMaxNameLength);
    if (hasControlCharacters(name))
        return QStringLiteral("the %1 contains control characters").arg(what);
    return std::nullopt;
}

// Echo off while a password is typed at a terminal.
class HiddenInput {
public:
    explicit HiddenInput(bool active)
    {
        if (active && ::tcgetattr(STDIN_FILENO, &m_saved) == 0) {
            termios quiet = m_saved;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            m_active = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
        }
    }
    ~HiddenInput()
    {
        if (m_active)
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &m_saved);
    }

private:
    termios m_saved {};
    bool m_active = false;
};

int addUser(const QStringList &args, Io &io)
{
    const QCommandLineOption roleOption(u"role"_s, u"The user's role (default user)."_s, u"ROLE"_s, u"user"_s);
    QCommandLineParser parser;
    parser.setApplicationDescription(u"Add or update a user; the password is read from standard input."_s);
    if (const auto problem = parseOptions(parser, { roleOption, kData }, args))
        return usageError(io, *problem);
    if (parser.isSet(kHelp)) {
        io.out << u"Usage: nivet-stampd add-user NAME [--role ROLE] [--data DIR]\n"_s
               << parser.helpText().section(u'\n', 1);
        io.out.flush();
        return kExitOk;
    }
    if (parser.positionalArguments().size() != 1)
        return usageError(io, QStringLiteral("add-user needs exactly one user name"));
    const QString name = parser.positionalArguments().constFirst();
    const QString role = parser.value(roleOption);
    if (const auto problem = nameProblem(QStringLiteral("user name"), name))
        return usageError(io, *problem);
    if (const auto problem = nameProblem(QStringLiteral("role"), role))
        return usageError(io, *problem);

    QByteArray line;
    {
        if (io.inIsTerminal) {
            io.err << QStringLiteral("Password for %1: ").arg(name);
            io.err.flush();
        }
        HiddenInput hidden(io.inIsTerminal);
        line = io.inIsTerminal ? io.in.readLine() : io.in.readAll();
        if (io.inIsTerminal) {
            io.err << QLatin1Char('\n');
            io.err.flush();
        }
    }
    // One line; its line break (as echo or a here-string adds) is not part of it.
    if (line.endsWith('\n'))
        line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
    const QString password = QString::fromUtf8(line);
    if (password.isEmpty())
        return fail(io, QStringLiteral("No password on standard input"));
    if (password.contains(QLatin1Char('\n')) || password.contains(QLatin1Char('\r')))
        return fail(io, QStringLiteral("The password must be a single line"));

    const QString dataDir = parser.isSet(kData) ? parser.value(kData) : defaultDataDir();
    auto database = ServiceDatabase::open(dataDir);
    if (!database)
        return fail(io, database.error().description);
    auto added
        = UserDirectory(**database).putUser(UserRecord { name, role, PasswordHash::create(password) }, systemNowMs());
    if (!added)
        return fail(io, added.error().description);
    io.out << QStringLiteral("%1 user %2 (role %3) in %4\n")
                  .arg(*added ? QStringLiteral("Added") : QStringLiteral("Updated"), name, role,
                      QDir::toNativeSeparators(dataDir));
    io.out.flush();
    return kExitOk;
}

Outcome serve(const QStringList &args, Io &io)
{
    // Their help is usage(), so they need no text of their own.
    const auto option = [](QString name, QString value = {}) { return QCommandLineOption(name, {}, value); };
    const QCommandLineOption listenOption = option(u"listen"_s, u"HOST:PORT"_s);
    const QCommandLineOption eventStream = option(u"event-stream"_s);
    const QCommandLineOption requireAuth = option(u"require-auth"_s);
    const QCommandLineOption version = option(u"version"_s);
    const QList<QCommandLineOption> durations { option(u"session-ttl"_s, u"DURATION"_s),
        option(u"token-ttl"_s, u"DURATION"_s), option(u"idle-timeout"_s, u"DURATION"_s) };
    const QList<QCommandLineOption> counts { option(u"max-sessions"_s, u"N"_s), option(u"max-user-sessions"_s, u"N"_s),
        option(u"max-connections"_s, u"N"_s) };
    QCommandLineParser parser;
    if (const auto problem = parseOptions(
            parser, QList { listenOption, eventStream, requireAuth, version, kData } + durations + counts, args))
        return { usageError(io, *problem), nullptr };
    if (parser.isSet(kHelp) || parser.isSet(version)) {
        io.out << (parser.isSet(kHelp) ? usage() : u"nivet-stampd %1\n"_s.arg(QStringLiteral(NIVET_SERVICE_VERSION)));
        io.out.flush();
        return {};
    }
    if (!parser.positionalArguments().isEmpty())
        return { usageError(io, u"unexpected argument %1"_s.arg(parser.positionalArguments().constFirst())), nullptr };

    ServiceOptions options;
    options.dataDir = parser.isSet(kData) ? parser.value(kData) : defaultDataDir();
    options.eventStream = parser.isSet(eventStream);
    options.requireAuth = parser.isSet(requireAuth);
    const auto listen = parseListen(parser.isSet(listenOption) ? parser.value(listenOption) : u"127.0.0.1:8787"_s);
    if (!listen)
        return { usageError(io, QStringLiteral("--listen needs HOST:PORT, e.g. 127.0.0.1:8787 or [::1]:0")), nullptr };
    for (const auto &[option, target] : { std::pair { durations[0], &options.sessionTtlMs },
             std::pair { durations[1], &options.tokenTtlMs }, std::pair { durations[2], &options.idleTimeoutMs } }) {
        if (!parser.isSet(option))
            continue;
        const auto duration = parseDuration(parser.value(option));
        if (!duration) {
            return { usageError(io, u"--%1 needs a duration such as 90s, 15m or 1h"_s.arg(option.names().constFirst())),
                nullptr };
        }
        *target = *duration;
    }
    if (options.tokenTtlMs < 1000)
        return { usageError(io, QStringLiteral("--token-ttl must be at least one second")), nullptr };
    for (const auto &[option, target] : { std::pair { counts[0], &options.maxSessions },
             std::pair { counts[1], &options.maxSessionsPerUser }, std::pair { counts[2], &options.maxConnections } }) {
        if (!parser.isSet(option))
            continue;
        bool numeric = false;
        const int max = parser.value(option).toInt(&numeric);
        if (!numeric || max < 1)
            return { usageError(io, u"--%1 needs a positive number"_s.arg(option.names().constFirst())), nullptr };
        *target = max;
    }

    QTextStream *err = &io.err;
    LogSink log = [err](const QString &line) {
        *err << line << QLatin1Char('\n');
        err->flush();
    };
    auto server = RunningService::start(options, listen->first, listen->second, log);
    if (!server)
        return { fail(io, server.error().description), nullptr };
    if (!listen->first.isLoopback() && !options.requireAuth) {
        io.err << QStringLiteral("Warning: %1 is reachable from other machines and anyone there can stamp; "
                                 "consider --require-auth\n")
                      .arg(listen->first.toString());
    }
    io.err << QStringLiteral("Data in %1; MCP endpoint %2; Auth API %3\n")
                  .arg(QDir::toNativeSeparators(options.dataDir), (*server)->mcpUrl().toString(),
                      (*server)->baseUrl().toString());
    io.err.flush();
    // The one line on stdout, for scripts waiting for the service to be ready.
    io.out << QStringLiteral("Listening on ") << (*server)->baseUrl().toString() << QLatin1Char('\n');
    io.out.flush();
    return { kExitOk, std::move(server).value() };
}

} // namespace

QString usage()
{
    return QStringLiteral(
        "Usage:\n"
        "  nivet-stampd [options]                  run the stamping service\n"
        "      --listen HOST:PORT                  address to listen on (default 127.0.0.1:8787; port 0 picks a free "
        "one)\n"
        "      --data DIR                          data folder (default %1)\n"
        "      --event-stream                      answer MCP requests as text/event-stream\n"
        "      --require-auth                      refuse MCP requests without a valid bearer token\n"
        "      --session-ttl DURATION              drop MCP sessions idle this long (default 15m)\n"
        "      --max-sessions N                    keep at most N MCP sessions (default 10000)\n"
        "      --max-user-sessions N               keep at most N MCP sessions per user (default 1000)\n"
        "      --idle-timeout DURATION             close connections that send no request this long (default 30s)\n"
        "      --max-connections N                 keep at most N connections open (default 512)\n"
        "      --token-ttl DURATION                lifetime of Auth API tokens (default 1h)\n"
        "  nivet-stampd add-user NAME [--role ROLE] [--data DIR]\n"
        "                                          add or update a user; the password is read from standard input\n"
        "  nivet-stampd --help | --version\n"
        "\n"
        "Durations: 90s, 15m, 2h, 1d, 500ms (a bare number counts seconds).\n"
        "The MCP endpoint is /mcp; the Auth API answers POST /auth/login and GET /auth/validate.\n")
        .arg(defaultDataDir());
}

std::optional<qint64> parseDuration(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("^([0-9]{1,9})(ms|s|m|h|d)?$"));
    const QRegularExpressionMatch match = pattern.match(text.trimmed());
    if (!match.hasMatch())
        return std::nullopt;
    const qint64 amount = match.captured(1).toLongLong();
    const QString unit = match.captured(2);
    qint64 factor = 1000;
    if (unit == QLatin1String("ms"))
        factor = 1;
    else if (unit == QLatin1String("m"))
        factor = 60'000;
    else if (unit == QLatin1String("h"))
        factor = 3'600'000;
    else if (unit == QLatin1String("d"))
        factor = 86'400'000;
    if (amount <= 0)
        return std::nullopt;
    return amount * factor;
}

QString defaultDataDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/nivet-stampd");
}

Outcome run(const QStringList &args, Io io)
{
    if (args.value(0) == "add-user"_L1)
        return { addUser(args.mid(1), io), nullptr };
    return serve(args, io);
}

} // namespace ServiceCommand
