#include "service/servicecommand.h"

#include "core/optiontext.h"
#include "net/httpexchange.h"

#include "service/accounts/passwordhash.h"
#include "service/accounts/userdirectory.h"
#include "service/common/clock.h"
#include "service/common/textcheck.h"
#include "service/db/servicedatabase.h"
#include "service/servicehandler.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

#include <functional>
#include <variant>

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
    if (hasUnsafeCharacters(name))
        return QStringLiteral("the %1 contains control or format characters").arg(what);
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
    if (line.size() > ServiceOptions().maxPasswordBytes) {
        return fail(io,
            QStringLiteral("The password is longer than %1 bytes; logins refuse such passwords")
                .arg(ServiceOptions().maxPasswordBytes));
    }

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

int backup(const QStringList &args, Io &io)
{
    QCommandLineParser parser;
    if (const auto problem = parseOptions(parser, { kData }, args))
        return usageError(io, *problem);
    if (parser.isSet(kHelp)) {
        io.out << backupUsage();
        io.out.flush();
        return kExitOk;
    }
    if (parser.positionalArguments().size() != 1)
        return usageError(io, QStringLiteral("backup needs exactly one file to write"));
    const QString dataDir = parser.isSet(kData) ? parser.value(kData) : defaultDataDir();
    const QString live = QDir(dataDir).filePath(ServiceDatabase::fileName());
    if (!QFileInfo(live).isFile())
        return fail(io, QStringLiteral("There is no database in %1").arg(QDir::toNativeSeparators(dataDir)));
    const QFileInfo target(parser.positionalArguments().constFirst());
    if (target.exists() && !target.isFile())
        return fail(io, QStringLiteral("%1 is not a regular file").arg(QDir::toNativeSeparators(target.filePath())));
    if (target.exists() && target.canonicalFilePath() == QFileInfo(live).canonicalFilePath())
        return fail(io, QStringLiteral("The backup cannot replace the database itself"));
    auto database = ServiceDatabase::open(dataDir);
    if (!database)
        return fail(io, database.error().description);
    if (auto done = (*database)->backupTo(target.filePath()); !done)
        return fail(io, done.error().description);
    io.out << QStringLiteral("Backed up %1 to %2\n")
                  .arg(QDir::toNativeSeparators(live), QDir::toNativeSeparators(target.absoluteFilePath()));
    io.out.flush();
    return kExitOk;
}

int key(const QStringList &args, Io &io)
{
    QCommandLineParser parser;
    if (const auto problem = parseOptions(parser, { kData }, args))
        return usageError(io, *problem);
    if (parser.isSet(kHelp)) {
        io.out << u"Usage: nivet-stampd key [--data DIR]\n"
                  "Prints the log's public key (PEM) and its key id, creating the key on first use.\n"_s;
        io.out.flush();
        return kExitOk;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(io, u"unexpected argument %1"_s.arg(parser.positionalArguments().constFirst()));
    const QString dataDir = parser.isSet(kData) ? parser.value(kData) : defaultDataDir();
    // The folder as the service makes it: private.
    if (!QFileInfo::exists(dataDir)) {
        if (!QDir().mkpath(dataDir))
            return fail(io, u"Cannot create the data folder %1"_s.arg(QDir::toNativeSeparators(dataDir)));
        QFile::setPermissions(dataDir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    const auto logKey = ServiceHandler::loadOrCreateLogKey(dataDir);
    if (!logKey)
        return fail(io, logKey.error().description);
    io.out << QString::fromLatin1(logKey->publicKey().pem()) << u"Key id: "_s << logKey->keyId() << u'\n';
    io.out.flush();
    return kExitOk;
}

// A limit of ServiceOptions as a flag: --NAME VALUE, its help and its default.
struct LimitFlag {
    enum class Kind { duration, count, countOrZero, size };
    QString name;
    Kind kind;
    std::function<qint64(const ServiceOptions &)> get;
    std::function<void(ServiceOptions &, qint64)> set;
    QString help;
};

template<typename T> LimitFlag limit(const char *name, LimitFlag::Kind kind, T ServiceOptions::*field, const char *help)
{
    return LimitFlag { QString::fromLatin1(name), kind,
        [field](const ServiceOptions &options) { return static_cast<qint64>(options.*field); },
        [field](ServiceOptions &options, qint64 value) { options.*field = static_cast<T>(value); },
        QString::fromLatin1(help) };
}

const QList<LimitFlag> &limitFlags()
{
    using Kind = LimitFlag::Kind;
    static const QList<LimitFlag> flags {
        limit("max-connections", Kind::count, &ServiceOptions::maxConnections, "keep at most N connections open"),
        limit("max-connections-per-address", Kind::countOrZero, &ServiceOptions::maxConnectionsPerAddress,
            "at most N of them from one client address; 0: no such limit"),
        limit("connection-memory", Kind::size, &ServiceOptions::connectionMemory,
            "memory per connection; the request head must fit in half"),
        limit("idle-timeout", Kind::duration, &ServiceOptions::idleTimeoutMs,
            "close connections whose request takes longer, or that stall this long"),
        limit("max-body-size", Kind::size, &ServiceOptions::maxBodyBytes, "refuse request bodies larger than this"),
        limit("max-password-size", Kind::size, &ServiceOptions::maxPasswordBytes,
            "refuse logins with longer passwords before any hashing"),
        limit("max-queued-logins", Kind::count, &ServiceOptions::maxQueuedLogins,
            "answer 503 to logins while N wait for a password check"),
        limit("max-queued-logins-per-address", Kind::count, &ServiceOptions::maxQueuedLoginsPerAddress,
            "the same, per client address"),
        limit("max-batch", Kind::count, &ServiceOptions::maxBatchMessages, "refuse JSON-RPC batches of more messages"),
        limit("max-reply-size", Kind::size, &ServiceOptions::maxReplyBytes,
            "answer the calls of a POST past this size with an error"),
        limit("max-report-receipts", Kind::count, &ServiceOptions::maxReportReceipts,
            "answer hash_report with at most the N newest receipts"),
        limit("session-ttl", Kind::duration, &ServiceOptions::sessionTtlMs, "drop MCP sessions idle this long"),
        limit("max-sessions", Kind::count, &ServiceOptions::maxSessions, "keep at most N MCP sessions"),
        limit("max-user-sessions", Kind::count, &ServiceOptions::maxSessionsPerUser,
            "keep at most N MCP sessions per user or anonymous client address"),
        limit("token-ttl", Kind::duration, &ServiceOptions::tokenTtlMs, "lifetime of Auth API tokens"),
        limit("max-commit-stamps", Kind::count, &ServiceOptions::maxCommitStamps,
            "write at most N stamps in one commit (one flush); 1 writes each alone"),
        limit("tsa-interval", Kind::duration, &ServiceOptions::tsaIntervalMs,
            "ask the --tsa authorities at most once in this time"),
    };
    return flags;
}

QString valueName(LimitFlag::Kind kind)
{
    switch (kind) {
    case LimitFlag::Kind::duration:
        return u"DURATION"_s;
    case LimitFlag::Kind::size:
        return u"SIZE"_s;
    default:
        return u"N"_s;
    }
}

QString formatted(LimitFlag::Kind kind, qint64 value)
{
    if (kind == LimitFlag::Kind::duration) {
        for (const auto &[unit, factor] :
            { std::pair { "h", 3'600'000 }, std::pair { "m", 60'000 }, std::pair { "s", 1000 } }) {
            if (value % factor == 0)
                return QString::number(value / factor) + QLatin1String(unit);
        }
        return QString::number(value) + u"ms"_s;
    }
    if (kind == LimitFlag::Kind::size) {
        if (value % (1024 * 1024) == 0)
            return QString::number(value / (1024 * 1024)) + u"MiB"_s;
        if (value % 1024 == 0)
            return QString::number(value / 1024) + u"KiB"_s;
    }
    return QString::number(value);
}

// The value of a limit flag, or what is wrong with it.
std::variant<qint64, QString> limitValue(const LimitFlag &flag, const QString &text)
{
    switch (flag.kind) {
    case LimitFlag::Kind::duration:
        if (const auto duration = parseDuration(text))
            return *duration;
        return u"--%1 needs a duration such as 90s, 15m or 1h"_s.arg(flag.name);
    case LimitFlag::Kind::size:
        if (const auto size = parseSize(text))
            return *size;
        return u"--%1 needs a size such as 4096, 64KiB or 1MiB"_s.arg(flag.name);
    case LimitFlag::Kind::count:
    case LimitFlag::Kind::countOrZero:
        break;
    }
    bool numeric = false;
    const int count = text.trimmed().toInt(&numeric);
    if (!numeric || count < (flag.kind == LimitFlag::Kind::count ? 1 : 0)) {
        return flag.kind == LimitFlag::Kind::count ? u"--%1 needs a positive number"_s.arg(flag.name)
                                                   : u"--%1 needs a number, 0 or more"_s.arg(flag.name);
    }
    return qint64(count);
}

Outcome serve(const QStringList &args, Io &io)
{
    // Their help is usage(), so they need no text of their own.
    const auto option = [](QString name, QString value = {}) { return QCommandLineOption(name, {}, value); };
    const QCommandLineOption listenOption = option(u"listen"_s, u"HOST:PORT"_s);
    const QCommandLineOption eventStream = option(u"event-stream"_s);
    const QCommandLineOption requireAuth = option(u"require-auth"_s);
    const QCommandLineOption version = option(u"version"_s);
    const QCommandLineOption tsa = option(u"tsa"_s, u"URL"_s);
    QList<QCommandLineOption> known { listenOption, eventStream, requireAuth, version, kData, tsa };
    for (const LimitFlag &flag : limitFlags())
        known.append(option(flag.name, valueName(flag.kind)));
    QCommandLineParser parser;
    if (const auto problem = parseOptions(parser, known, args))
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
    for (const LimitFlag &flag : limitFlags()) {
        if (!parser.isSet(flag.name))
            continue;
        const auto value = limitValue(flag, parser.value(flag.name));
        if (const auto *problem = std::get_if<QString>(&value))
            return { usageError(io, *problem), nullptr };
        flag.set(options, std::get<qint64>(value));
    }
    for (const QString &text : parser.values(tsa)) {
        const QUrl url(text, QUrl::StrictMode);
        if (!HttpExchange::isHttpUrl(url))
            return { usageError(io, u"--tsa needs an absolute http or https URL, not %1"_s.arg(text)), nullptr };
        options.tsaUrls.append(url);
    }
    if (options.tokenTtlMs < 1000)
        return { usageError(io, QStringLiteral("--token-ttl must be at least one second")), nullptr };
    // Below this not even a short request and its answer fit.
    if (options.connectionMemory < 4096)
        return { usageError(io, QStringLiteral("--connection-memory must be at least 4KiB")), nullptr };

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
    QString limits;
    const ServiceOptions defaults;
    for (const LimitFlag &flag : limitFlags()) {
        limits += u"      --%1 %2"_s.arg(flag.name, valueName(flag.kind)).leftJustified(41) + u' ' + flag.help
            + u" (default %1)\n"_s.arg(formatted(flag.kind, flag.get(defaults)));
    }
    return QStringLiteral(
        "Usage:\n"
        "  nivet-stampd [options]                  run the stamping service\n"
        "      --listen HOST:PORT                  address to listen on (default 127.0.0.1:8787; port 0 picks a free "
        "one)\n"
        "      --data DIR                          data folder (default %1)\n"
        "      --event-stream                      answer MCP requests as text/event-stream\n"
        "      --require-auth                      refuse MCP requests without a valid bearer token\n"
        "      --tsa URL                           after commits, get RFC 3161 timestamps of the signed tree heads\n"
        "                                          from this authority (repeatable)\n"
        "%2"
        "  nivet-stampd add-user NAME [--role ROLE] [--data DIR]\n"
        "                                          add or update a user; the password is read from standard input\n"
        "  nivet-stampd backup FILE [--data DIR]   copy the database to FILE, also while the service runs\n"
        "  nivet-stampd key [--data DIR]           print the log's public key and key id\n"
        "  nivet-stampd --help | --version\n"
        "\n"
        "Durations: 90s, 15m, 2h, 1d, 500ms (a bare number counts seconds). Sizes: 4096, 64KiB, 1MiB.\n"
        "The MCP endpoint is /mcp; the Auth API answers POST /auth/login and GET /auth/validate;\n"
        "GET /healthz says whether the database takes stamps, GET /metrics gives Prometheus metrics,\n"
        "GET /log/key the log's public key (PEM).\n")
        .arg(defaultDataDir(), limits);
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

std::optional<qint64> parseSize(const QString &text)
{
    static const QRegularExpression pattern(
        QStringLiteral("^([0-9]{1,12}) ?(B|K|KiB|M|MiB)?$"), QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(text.trimmed());
    if (!match.hasMatch())
        return std::nullopt;
    const qint64 amount = match.captured(1).toLongLong();
    const QString units = match.captured(2).toUpper();
    const QChar unit = units.isEmpty() ? u'B' : units.front();
    const qint64 size = amount * (unit == u'K' ? 1024 : unit == u'M' ? 1024 * 1024 : 1);
    if (size <= 0)
        return std::nullopt;
    return size;
}

QString defaultDataDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/nivet-stampd");
}

QString backupUsage()
{
    return QStringLiteral("Usage: nivet-stampd backup FILE [--data DIR]\n"
                          "Writes a copy of the database (receipts, trees, users) to FILE, consistent even while the\n"
                          "service runs, and replaces FILE in one step. The signing key (%1) is a file of its\n"
                          "own in the data folder: keep a copy of it too, or tokens issued with it stop working.\n")
        .arg(ServiceHandler::signingKeyFileName());
}

Outcome run(const QStringList &args, Io io)
{
    if (args.value(0) == "add-user"_L1)
        return { addUser(args.mid(1), io), nullptr };
    if (args.value(0) == "backup"_L1)
        return { backup(args.mid(1), io), nullptr };
    if (args.value(0) == "key"_L1)
        return { key(args.mid(1), io), nullptr };
    return serve(args, io);
}

} // namespace ServiceCommand
