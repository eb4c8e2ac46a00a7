#include "auth/authclient.h"

#include "auth/credentialsfile.h"
#include "core/jsonwriter.h"
#include "core/text.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QRegularExpression>

#include <cmath>

namespace {

const QString kLoginPath = QStringLiteral("/auth/login");
const QString kValidatePath = QStringLiteral("/auth/validate");

QString lit(const char *text)
{
    return QString::fromUtf8(text);
}

// Base URL: trimmed, then every "/" removed from both ends, so that a base
// ending in slashes still gives one slash before the path.
std::optional<QUrl> endpointURL(const QString &authURL, const QString &path)
{
    QString base = Text::trimmed(authURL);
    while (base.startsWith(QLatin1Char('/')))
        base.remove(0, 1);
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    const QUrl url(base + path, QUrl::StrictMode);
    // A relative reference would only fail later, at sending, with a vaguer text.
    if (!HttpExchange::isHttpUrl(url))
        return std::nullopt;
    return url;
}

QString stringMember(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : QString();
}

bool isStringMember(const QJsonObject &object, const QString &key)
{
    return object.value(key).isString();
}

QString roleSuffix(const QString &role)
{
    return role.isEmpty() ? QString() : QStringLiteral(" (") + role + QLatin1Char(')');
}

// An internet date-time with zone, with or without a fraction of 1 to 3 digits.
std::optional<QDateTime> parseInternetDateTime(const QString &text, bool withFraction)
{
    static const QRegularExpression fractional(QStringLiteral(
        "^([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})\\.([0-9]{1,3})(Z|[+-][0-9]{2}:[0-9]{2})$"));
    static const QRegularExpression whole(QStringLiteral(
        "^([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})()(Z|[+-][0-9]{2}:[0-9]{2})$"));
    const QRegularExpressionMatch m = (withFraction ? fractional : whole).match(text);
    if (!m.hasMatch())
        return std::nullopt;
    const auto number = [&m](int group) { return m.captured(group).toInt(); };
    const int millis = m.captured(7).isEmpty() ? 0 : m.captured(7).leftJustified(3, QLatin1Char('0')).toInt();
    const QDate date(number(1), number(2), number(3));
    const QTime time(number(4), number(5), number(6), millis);
    if (!date.isValid() || !time.isValid())
        return std::nullopt;

    int offsetSeconds = 0;
    const QString zone = m.captured(8);
    if (zone != QLatin1String("Z")) {
        const int hours = zone.mid(1, 2).toInt();
        const int minutes = zone.mid(4, 2).toInt();
        if (hours > 23 || minutes > 59)
            return std::nullopt;
        offsetSeconds = (hours * 3600 + minutes * 60) * (zone.startsWith(QLatin1Char('-')) ? -1 : 1);
    }
    return QDateTime(date, time, Qt::UTC).addSecs(-offsetSeconds);
}

// A count of seconds (or of milliseconds when above 10^12) since 1970.
std::optional<QDateTime> parseEpochCount(const QString &text)
{
    static const QRegularExpression decimal(QStringLiteral("^[+-]?([0-9]+(\\.[0-9]*)?|\\.[0-9]+)([eE][+-]?[0-9]+)?$"));
    if (!decimal.match(text).hasMatch())
        return std::nullopt;
    bool ok = false;
    double seconds = text.toDouble(&ok);
    if (!ok)
        return std::nullopt;
    if (seconds > 1e12)
        seconds /= 1000.0;
    const double millis = seconds * 1000.0;
    // Beyond about 275,000 years either way is no expiry anyone means.
    if (!std::isfinite(millis) || std::abs(millis) > 8.64e15)
        return std::nullopt;
    return QDateTime::fromMSecsSinceEpoch(std::llround(millis), Qt::UTC);
}

} // namespace

AuthClient::AuthClient(QObject *parent)
    : QObject(parent)
    , m_clock([] { return QDateTime::currentDateTimeUtc(); })
{
}

AuthClient::~AuthClient() = default;

bool AuthClient::isValidAuthURL(const QString &authURL)
{
    return endpointURL(authURL, kLoginPath).has_value();
}

QCoro::Task<Expected<QByteArray>> AuthClient::exchange(
    QNetworkRequest request, QByteArray method, QByteArray body, QString action, QList<HttpExchange::Secret> secrets)
{
    QPointer<AuthClient> self(this);
    auto sending = m_http.send(request, method, body);
    const auto reply = co_await sending;
    if (!self)
        co_return Error { lit("Cancelled") };
    if (!reply)
        co_return reply.error();
    if (reply->status == 0)
        co_return Error { QStringLiteral("No HTTP response from %1").arg(action) };
    if (!reply->isSuccess()) { // a redirect too: the password or token never follows it
        const QString operation = action.left(1).toUpper() + action.mid(1);
        const QString text = HttpExchange::masked(HttpExchange::bodyText(reply->body), secrets);
        co_return Error {
            QStringLiteral("%1 failed HTTP %2: %3").arg(operation).arg(reply->status).arg(sanitizeErrorBody(text))
        };
    }
    co_return reply->body;
}

Expected<AuthClient::LoginReply> AuthClient::readLoginReply(const QByteArray &body, const QString &typedName)
{
    QJsonParseError parseError {};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        return Error { QStringLiteral("Invalid JSON in login response: %1 at offset %2")
                           .arg(parseError.errorString())
                           .arg(parseError.offset) };
    }
    if (!doc.isObject())
        return Error { lit("Login response was not JSON") };
    const QJsonObject top = doc.object();

    LoginReply out;
    out.token = Text::trimmed(stringMember(top, QStringLiteral("token")));
    if (out.token.isEmpty())
        return Error { lit("Login response missing token") };
    if (!Credentials::isUsableToken(out.token))
        return Error { lit("The token in the login response contains white space or a control character") };
    out.expires = Text::trimmed(isStringMember(top, QStringLiteral("expiresAt"))
            ? stringMember(top, QStringLiteral("expiresAt"))
            : stringMember(top, QStringLiteral("expires_at")));
    const QJsonObject userObject = top.value(QStringLiteral("user")).toObject();
    out.role = stringMember(userObject, QStringLiteral("role"));
    out.name = Text::trimmed(isStringMember(userObject, QStringLiteral("username"))
            ? stringMember(userObject, QStringLiteral("username"))
            : typedName);
    return out;
}

AuthClient::ValidateReply AuthClient::readValidateReply(const QByteArray &body, const QString &storedName)
{
    ValidateReply out { storedName, QString(), QString() };
    const QJsonDocument doc = QJsonDocument::fromJson(body);
    if (!doc.isObject())
        return out;
    const QJsonObject top = doc.object();
    const QJsonObject source
        = top.value(QStringLiteral("user")).isObject() ? top.value(QStringLiteral("user")).toObject() : top;
    if (const QString name = Text::trimmed(stringMember(source, QStringLiteral("username"))); !name.isEmpty())
        out.name = name;
    out.role = isStringMember(source, QStringLiteral("role")) ? stringMember(source, QStringLiteral("role"))
                                                              : stringMember(top, QStringLiteral("role"));
    out.expires = Text::trimmed(isStringMember(top, QStringLiteral("expiresAt"))
            ? stringMember(top, QStringLiteral("expiresAt"))
            : stringMember(top, QStringLiteral("expires_at")));
    return out;
}

QCoro::Task<Expected<AuthClient::Session>> AuthClient::login(Credentials c, Credentials::Fields alsoSave)
{
    QPointer<AuthClient> self(this);
    const QString user = Text::trimmed(c.username);
    const QString pass = c.password; // sent as typed
    if (user.isEmpty() || pass.isEmpty())
        co_return Error { lit("Username and password are required to generate a token") };
    const auto url = endpointURL(c.authURL, kLoginPath);
    if (!url)
        co_return Error { lit("Invalid Auth API URL") };

    QNetworkRequest request(*url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setRawHeader("Accept", "application/json");
    const QJsonObject credentials { { QStringLiteral("username"), user }, { QStringLiteral("password"), pass } };
    const QByteArray body = JsonWriter::compact(credentials);
    const QByteArray method = "POST";
    const QString action = QStringLiteral("login");
    const HttpExchange::Secret password { pass, QStringLiteral("\u2022\u2022\u2022\u2022") };
    const QList<HttpExchange::Secret> secrets { Credentials::hiddenToken(Text::trimmed(c.accessToken)), password };
    auto sending = exchange(request, method, body, action, secrets);
    const auto reply = co_await sending;
    if (!reply)
        co_return reply.error();
    auto read = readLoginReply(*reply, user);
    if (!read)
        co_return read.error();

    c.accessToken = read->token;
    c.expiresAt = read->expires;
    c.username = read->name;
    auto saving = CredentialsFile::saveAsync(
        c, alsoSave | Credentials::Field::token | Credentials::Field::expiresAt | Credentials::Field::username);
    const auto saved = co_await saving;
    if (!self)
        co_return Error { lit("Cancelled") };
    if (!saved)
        co_return Error { QStringLiteral("Logged in, but the token could not be saved: ") + saved.error().describe() };
    // The reply's texts are stored as sent but shown without the new token or the password.
    const QList<HttpExchange::Secret> shown { Credentials::hiddenToken(read->token), password };
    Session session { *saved, *saved, HttpExchange::masked(read->name, shown), HttpExchange::masked(read->role, shown),
        {} };
    session.summary = QStringLiteral("Logged in as ") + session.name + roleSuffix(session.role)
        + Credentials::expirySuffix(HttpExchange::masked(read->expires, shown));
    co_return session;
}

QCoro::Task<Expected<AuthClient::Session>> AuthClient::validate(Credentials c, Credentials::Fields alsoSave)
{
    std::optional<Credentials> saved;
    if (renewalDue(c)) {
        auto renewing = login(c, alsoSave);
        auto renewed = co_await renewing;
        if (!renewed)
            co_return renewed.error();
        c = renewed->credentials;
        saved = renewed->saved;
    }
    const QString token = Text::trimmed(c.accessToken);
    if (token.isEmpty())
        co_return Error { lit("No access token to validate") };
    const auto url = endpointURL(c.authURL, kValidatePath);
    if (!url)
        co_return Error { lit("Invalid Auth API URL") };

    QNetworkRequest request(*url);
    request.setRawHeader("Accept", "application/json");
    request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    const QByteArray method = "GET";
    const QByteArray noBody;
    const QString action = QStringLiteral("validate");
    const QList<HttpExchange::Secret> secrets { Credentials::hiddenToken(token) };
    auto sending = exchange(request, method, noBody, action, secrets);
    const auto reply = co_await sending;
    if (!reply)
        co_return reply.error();

    const ValidateReply read = readValidateReply(*reply, c.username);
    if (!read.expires.isEmpty())
        c.expiresAt = read.expires; // not saved
    // Shown, so never the token whole, even when the server echoes it.
    Session session { c, saved, HttpExchange::masked(read.name, secrets), HttpExchange::masked(read.role, secrets),
        {} };
    session.summary = QStringLiteral("Session OK \u00b7 ") + session.name + roleSuffix(session.role)
        + QStringLiteral(" \u00b7 ") + Credentials::tokenHint(token)
        + Credentials::expirySuffix(HttpExchange::masked(c.expiresAt, secrets));
    co_return session;
}

bool AuthClient::renewalDue(const Credentials &c, int skewMinutes) const
{
    if (!Text::trimmed(c.accessToken).isEmpty()) {
        const auto expiry = parseExpiresAt(c.expiresAt);
        if (!expiry) // no readable expiry: the token counts as fresh
            return false;
        if (m_clock().msecsTo(*expiry) > static_cast<qint64>(skewMinutes) * 60'000)
            return false;
    }
    return !Text::trimmed(c.username).isEmpty() && !c.password.isEmpty();
}

std::optional<QDateTime> AuthClient::parseExpiresAt(const QString &text)
{
    const QString t = Text::trimmed(text);
    if (t.isEmpty())
        return std::nullopt;
    if (auto d = parseInternetDateTime(t, true))
        return d;
    if (auto d = parseInternetDateTime(t, false))
        return d;

    // Longer fractions (micro- or nanoseconds) are cut to milliseconds.
    const qsizetype dot = t.indexOf(QLatin1Char('.'));
    if (dot >= 0) {
        const QString before = t.left(dot);
        const QList<uint> after = t.mid(dot + 1).toUcs4();
        qsizetype digits = 0;
        while (digits < after.size() && QChar::isNumber(after[digits]))
            ++digits;
        const auto ucs4 = reinterpret_cast<const char32_t *>(after.constData());
        const QString rest = QString::fromUcs4(ucs4 + digits, after.size() - digits);
        const QString fraction
            = digits > 0 ? QLatin1Char('.') + QString::fromUcs4(ucs4, std::min<qsizetype>(digits, 3)) : QString();
        if (auto d = parseInternetDateTime(before + fraction + rest, true))
            return d;
        if (auto d = parseInternetDateTime(before + rest, false))
            return d;
    }
    return parseEpochCount(t);
}

QString AuthClient::sanitizeErrorBody(const QString &body)
{
    const QString t = Text::trimmed(body);
    if (Text::hasMoreGraphemesThan(t, 200))
        return Text::leftGraphemes(t, 200) + QStringLiteral("\u2026");
    // Three or more dot-separated pieces and some length: likely a token.
    if (t.split(QLatin1Char('.'), Qt::SkipEmptyParts).size() >= 3 && Text::graphemeCount(t) >= 41)
        return QStringLiteral("(redacted error body)");
    return t;
}
