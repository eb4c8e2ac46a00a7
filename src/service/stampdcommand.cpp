#include "service/stampdcommand.h"

#include "service/clock.h"
#include "service/passwordhash.h"
#include "service/receiptdatabase.h"
#include "service/textcheck.h"

#include <QDir>
#include <QHash>
#include <QRegularExpression>
#include <QStandardPaths>

#include <termios.h>
#include <unistd.h>

#ifndef NIVET_SERVICE_VERSION
#define NIVET_SERVICE_VERSION "0.0.0"
#endif

namespace Stampd {

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

// Options as "--name value" or "--name=value"; flags take no value.
class Arguments {
public:
    Arguments(QStringList args, QStringList flags, QStringList valued)
        : m_args(std::move(args))
        , m_flags(std::move(flags))
        , m_valued(std::move(valued))
    {
    }

    // Fills options and positionals; returns an error text or nothing.
    std::optional<QString> parse()
    {
        for (int i = 0; i < m_args.size(); ++i) {
            const QString &arg = m_args[i];
            if (!arg.startsWith(QLatin1String("--")) || arg == QLatin1String("--")) {
                m_positionals.append(arg);
                continue;
            }
            const int eq = arg.indexOf(QLatin1Char('='));
            const QString name = eq < 0 ? arg : arg.left(eq);
            if (m_flags.contains(name)) {
                if (eq >= 0)
                    return QStringLiteral("%1 takes no value").arg(name);
                m_values.insert(name, QString());
            } else if (m_valued.contains(name)) {
                if (eq >= 0) {
                    m_values.insert(name, arg.mid(eq + 1));
                } else if (i + 1 < m_args.size()) {
                    m_values.insert(name, m_args[++i]);
                } else {
                    return QStringLiteral("%1 needs a value").arg(name);
                }
            } else {
                return QStringLiteral("unknown option %1").arg(name);
            }
        }
        return std::nullopt;
    }

    bool has(const QString &name) const { return m_values.contains(name); }
    QString value(const QString &name, const QString &fallback = QString()) const
    {
        return m_values.value(name, fallback);
    }
    const QStringList &positionals() const { return m_positionals; }

private:
    QStringList m_args;
    QStringList m_flags;
    QStringList m_valued;
    QHash<QString, QString> m_values;
    QStringList m_positionals;
};

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
    Arguments arguments(args, {}, { QStringLiteral("--role"), QStringLiteral("--data") });
    if (const auto problem = arguments.parse())
        return usageError(io, *problem);
    if (arguments.positionals().size() != 1)
        return usageError(io, QStringLiteral("add-user needs exactly one user name"));
    const QString name = arguments.positionals().first();
    const QString role = arguments.value(QStringLiteral("--role"), QStringLiteral("user"));
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

    const QString dataDir = arguments.value(QStringLiteral("--data"), defaultDataDir());
    auto database = ReceiptDatabase::open(dataDir);
    if (!database)
        return fail(io, database.error().description);
    auto added = (*database)->putUser(UserRecord { name, role, PasswordHash::create(password) }, systemNowMs());
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
    Arguments arguments(args, { QStringLiteral("--event-stream"), QStringLiteral("--require-auth") },
        { QStringLiteral("--listen"), QStringLiteral("--data"), QStringLiteral("--session-ttl"),
            QStringLiteral("--max-sessions"), QStringLiteral("--max-user-sessions"), QStringLiteral("--token-ttl"),
            QStringLiteral("--idle-timeout"), QStringLiteral("--max-connections") });
    if (const auto problem = arguments.parse())
        return { usageError(io, *problem), nullptr };
    if (!arguments.positionals().isEmpty())
        return { usageError(io, QStringLiteral("unexpected argument %1").arg(arguments.positionals().first())),
            nullptr };

    ServiceOptions options;
    options.dataDir = arguments.value(QStringLiteral("--data"), defaultDataDir());
    options.eventStream = arguments.has(QStringLiteral("--event-stream"));
    options.requireAuth = arguments.has(QStringLiteral("--require-auth"));
    const auto listen = parseListen(arguments.value(QStringLiteral("--listen"), QStringLiteral("127.0.0.1:8787")));
    if (!listen)
        return { usageError(io, QStringLiteral("--listen needs HOST:PORT, e.g. 127.0.0.1:8787 or [::1]:0")), nullptr };
    for (const auto &[option, target] : { std::pair { QStringLiteral("--session-ttl"), &options.sessionTtlMs },
             std::pair { QStringLiteral("--token-ttl"), &options.tokenTtlMs },
             std::pair { QStringLiteral("--idle-timeout"), &options.idleTimeoutMs } }) {
        if (!arguments.has(option))
            continue;
        const auto duration = parseDuration(arguments.value(option));
        if (!duration)
            return { usageError(io, QStringLiteral("%1 needs a duration such as 90s, 15m or 1h").arg(option)),
                nullptr };
        *target = *duration;
    }
    if (options.tokenTtlMs < 1000)
        return { usageError(io, QStringLiteral("--token-ttl must be at least one second")), nullptr };
    for (const auto &[option, target] : { std::pair { QStringLiteral("--max-sessions"), &options.maxSessions },
             std::pair { QStringLiteral("--max-user-sessions"), &options.maxSessionsPerUser },
             std::pair { QStringLiteral("--max-connections"), &options.maxConnections } }) {
        if (!arguments.has(option))
            continue;
        bool numeric = false;
        const int max = arguments.value(option).toInt(&numeric);
        if (!numeric || max < 1)
            return { usageError(io, QStringLiteral("%1 needs a positive number").arg(option)), nullptr };
        *target = max;
    }

    QTextStream *err = &io.err;
    LogSink log = [err](const QString &line) {
        *err << line << QLatin1Char('\n');
        err->flush();
    };
    auto server = StampServer::start(options, listen->first, listen->second, log);
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
    if (args.contains(QLatin1String("--help")) || args.contains(QLatin1String("-h"))) {
        io.out << usage();
        io.out.flush();
        return {};
    }
    if (!args.isEmpty() && args.first() == QLatin1String("--version")) {
        io.out << QStringLiteral("nivet-stampd %1\n").arg(QStringLiteral(NIVET_SERVICE_VERSION));
        io.out.flush();
        return {};
    }
    if (!args.isEmpty() && args.first() == QLatin1String("add-user"))
        return { addUser(args.mid(1), io), nullptr };
    return serve(args, io);
}

} // namespace Stampd
