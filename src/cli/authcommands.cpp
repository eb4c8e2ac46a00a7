#include "cli/authcommands.h"

#include "auth/authstore.h"
#include "core/text.h"

#include <QMap>

#include <optional>

namespace AuthCommands {

namespace {

struct SetAuthOptions {
    std::optional<QString> username;
    std::optional<QString> password;
    std::optional<QString> token;
    std::optional<QString> authURL;
    bool passwordFromStdin = false;
    bool tokenFromStdin = false;
};

// Parses set-auth's options; returns the usage complaint on failure.
std::optional<QString> parseSetAuth(const QStringList &args, SetAuthOptions &options)
{
    const QMap<QString, std::optional<QString> SetAuthOptions::*> valued {
        { QStringLiteral("--username"), &SetAuthOptions::username },
        { QStringLiteral("--password"), &SetAuthOptions::password },
        { QStringLiteral("--token"), &SetAuthOptions::token },
        { QStringLiteral("--auth-url"), &SetAuthOptions::authURL },
    };
    QStringList seen;
    for (qsizetype i = 0; i < args.size(); ++i) {
        QString name = args[i];
        std::optional<QString> inlineValue;
        if (const qsizetype eq = name.indexOf(QLatin1Char('=')); name.startsWith(QLatin1String("--")) && eq > 0) {
            inlineValue = name.mid(eq + 1);
            name = name.left(eq);
        }
        if (seen.contains(name))
            return QStringLiteral("%1 given twice").arg(name);
        seen.append(name);

        if (name == QLatin1String("--password-stdin") || name == QLatin1String("--token-stdin")) {
            if (inlineValue)
                return QStringLiteral("%1 takes no value").arg(name);
            (name == QLatin1String("--password-stdin") ? options.passwordFromStdin : options.tokenFromStdin) = true;
            continue;
        }
        const auto field = valued.value(name, nullptr);
        if (!field && !name.startsWith(QLatin1String("--")))
            return QStringLiteral("unexpected argument"); // not echoed: it may be a misplaced secret
        if (!field)
            return QStringLiteral("unknown option \"%1\"").arg(name);
        if (!inlineValue) {
            if (i + 1 >= args.size())
                return QStringLiteral("%1 needs a value").arg(name);
            inlineValue = args[++i];
        }
        options.*field = *inlineValue;
    }
    if (seen.isEmpty())
        return QStringLiteral("give at least one option");
    if (options.password && options.passwordFromStdin)
        return QStringLiteral("--password and --password-stdin cannot be combined");
    if (options.token && options.tokenFromStdin)
        return QStringLiteral("--token and --token-stdin cannot be combined");
    if (options.passwordFromStdin && options.tokenFromStdin)
        return QStringLiteral("--password-stdin and --token-stdin cannot be combined");
    return std::nullopt;
}

// Standard input without the line break(s) a pipe or a terminal adds.
QString readSecret(QIODevice &in)
{
    QString text = QString::fromUtf8(in.readAll());
    while (text.endsWith(QLatin1Char('\n')) || text.endsWith(QLatin1Char('\r')))
        text.chop(1);
    return text;
}

int printSummary(CliIo &io, const AuthStore &store)
{
    io.out << Cli::inert(store.sessionSummary()) << QLatin1Char('\n');
    return Cli::kExitOk;
}

using Operation = QCoro::Task<Expected<AuthStore::Identity>> (AuthStore::*)();

// login and check: run the operation on the freshly loaded store, print its summary.
QCoro::Task<int> runOperation(QStringList args, CliIo io, QString name, Operation operation)
{
    if (!args.isEmpty())
        co_return Cli::usageError(io, name + QStringLiteral(": takes no arguments"));
    AuthStore &store = AuthStore::shared();
    store.reloadFromDisk();
    auto running = (store.*operation)();
    const auto result = co_await running;
    if (!result)
        co_return Cli::fail(io, result.error().description);
    co_return printSummary(io, store);
}

} // namespace

QCoro::Task<int> setAuth(QStringList args, CliIo io)
{
    SetAuthOptions options;
    if (const auto complaint = parseSetAuth(args, options))
        co_return Cli::usageError(io, QStringLiteral("set-auth: ") + *complaint);
    if (options.passwordFromStdin)
        options.password = readSecret(io.in);
    if (options.tokenFromStdin)
        options.token = readSecret(io.in);
    // Caught here, where the user typed it, rather than at the next login.
    if (options.authURL && !Text::trimmed(*options.authURL).isEmpty() && !AuthStore::isValidAuthURL(*options.authURL))
        co_return Cli::fail(io, QStringLiteral("Invalid Auth API URL"));

    AuthStore &store = AuthStore::shared();
    store.reloadFromDisk();
    if (options.username)
        store.setUsername(*options.username);
    if (options.password)
        store.setPassword(*options.password);
    if (options.token)
        store.setAccessToken(*options.token);
    if (options.authURL)
        store.setAuthURL(*options.authURL);
    if (auto saved = store.save(); !saved) {
        store.reloadFromDisk(); // drop the edits that were not saved
        co_return Cli::fail(io, saved.error().description);
    }
    co_return printSummary(io, store);
}

QCoro::Task<int> login(QStringList args, CliIo io)
{
    const QString name = QStringLiteral("login");
    auto running = runOperation(std::move(args), io, name, &AuthStore::login);
    co_return co_await running;
}

QCoro::Task<int> check(QStringList args, CliIo io)
{
    const QString name = QStringLiteral("check");
    auto running = runOperation(std::move(args), io, name, &AuthStore::validate);
    co_return co_await running;
}

} // namespace AuthCommands
