#include "cli/authcommands.h"

#include "auth/authclient.h"
#include "auth/credentialsfile.h"
#include "cli/evidencecommands.h"
#include "core/text.h"
#include "storage/configstore.h"

#include <optional>

using namespace Qt::StringLiterals;

namespace AuthCommands {

namespace {

const QCommandLineOption kUsername(u"username"_s, u"The user name for the Auth API."_s, u"USER"_s);
const QCommandLineOption kPassword(
    u"password"_s, u"The password (visible to other users: prefer --password-stdin)."_s, u"PASS"_s);
const QCommandLineOption kPasswordStdin(u"password-stdin"_s, u"Read the password from standard input."_s);
const QCommandLineOption kToken(u"token"_s, u"A bearer token to use as it is."_s, u"TOKEN"_s);
const QCommandLineOption kTokenStdin(u"token-stdin"_s, u"Read the token from standard input."_s);
const QCommandLineOption kAuthURL(u"auth-url"_s, u"The Auth API address."_s, u"URL"_s);

// The combinations set-auth refuses; the complaint, or nothing.
std::optional<QString> conflict(const QCommandLineParser &parser)
{
    if (!parser.positionalArguments().isEmpty())
        return u"unexpected argument"_s; // not echoed: it may be a misplaced secret
    if (parser.optionNames().isEmpty())
        return u"give at least one option"_s;
    for (const auto &[one, other] : { std::pair { &kPassword, &kPasswordStdin }, std::pair { &kToken, &kTokenStdin },
             std::pair { &kPasswordStdin, &kTokenStdin } }) {
        if (parser.isSet(*one) && parser.isSet(*other)) {
            return u"--%1 and --%2 cannot be combined"_s.arg(one->names().constFirst(), other->names().constFirst());
        }
    }
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

int printSummary(CliIo &io, const QString &summary)
{
    io.out << Cli::inert(summary) << QLatin1Char('\n');
    return Cli::kExitOk;
}

using Operation = QCoro::Task<Expected<AuthClient::Session>> (AuthClient::*)(Credentials, Credentials::Fields);

// login and check: run the operation on the saved credentials, print its summary.
QCoro::Task<int> runOperation(QStringList args, CliIo io, QString name, QString about, Operation operation)
{
    QCommandLineParser parser;
    if (const auto done = Cli::parseCommand(parser, { name, about, {}, Cli::Wording::noArguments }, args, io))
        co_return *done;
    auto loading = CredentialsFile::loadAsync();
    const Credentials saved = co_await loading;
    AuthClient client;
    auto running = (client.*operation)(saved, 0);
    const auto result = co_await running;
    if (!result)
        co_return Cli::fail(io, result.error().description);
    co_return printSummary(io, result->summary);
}

} // namespace

QCoro::Task<int> setAuth(QStringList args, CliIo io)
{
    QCommandLineParser parser;
    const Cli::CommandLine line { u"set-auth [options]"_s,
        u"Set the Auth API credentials; only the options given change."_s,
        { kUsername, kPassword, kPasswordStdin, kToken, kTokenStdin, kAuthURL }, Cli::Wording::bare };
    if (const auto done = Cli::parseCommand(parser, line, args, io))
        co_return *done;
    if (const auto complaint = conflict(parser))
        co_return Cli::usageError(io, u"set-auth: "_s + *complaint);
    const QString authURL = parser.value(kAuthURL);
    // Caught here, where the user typed it, rather than at the next login.
    if (!Text::trimmed(authURL).isEmpty() && !AuthClient::isValidAuthURL(authURL))
        co_return Cli::fail(io, u"Invalid Auth API URL"_s);

    // Only what was given changes; the rest stays as the file holds it.
    Credentials given;
    Credentials::Fields fields = 0;
    if (parser.isSet(kUsername)) {
        given.username = parser.value(kUsername);
        fields |= Credentials::Field::username;
    }
    if (parser.isSet(kPassword) || parser.isSet(kPasswordStdin)) {
        given.password = parser.isSet(kPassword) ? parser.value(kPassword) : readSecret(io.in);
        fields |= Credentials::Field::password;
    }
    if (parser.isSet(kToken) || parser.isSet(kTokenStdin)) {
        given.accessToken = parser.isSet(kToken) ? parser.value(kToken) : readSecret(io.in);
        fields |= Credentials::Field::token;
    }
    if (parser.isSet(kAuthURL)) {
        given.authURL = authURL;
        fields |= Credentials::Field::authURL;
    }
    auto saving = CredentialsFile::saveAsync(given, fields);
    const auto saved = co_await saving;
    if (!saved)
        co_return Cli::fail(io, saved.error().describe());
    co_return printSummary(io, saved->saveSummary());
}

QCoro::Task<int> login(QStringList args, CliIo io)
{
    auto running = runOperation(
        std::move(args), io, u"login"_s, u"Log in with the stored user name and password."_s, &AuthClient::login);
    co_return co_await running;
}

QCoro::Task<int> check(QStringList args, CliIo io)
{
    const bool plain = args.isEmpty();
    auto running = runOperation(std::move(args), io, u"check"_s,
        u"Validate the stored token, renewing it first when due; show the pinned log key."_s, &AuthClient::validate);
    const int status = co_await running;
    if (plain) {
        io.out << Cli::inert(EvidenceCommands::pinnedKeyLine(ConfigStore().defaults().url)) << u'\n';
        io.out.flush();
    }
    co_return status;
}

} // namespace AuthCommands
