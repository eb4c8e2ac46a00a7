// The Auth API client half of AuthStore: login, validate, token refresh and
// the helpers that read expiry texts and error bodies.
#include "auth/authstore.h"

#include "auth/credentialsfile.h"
#include "core/jsonwriter.h"
#include "core/text.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QRegularExpression>

#include <cmath>
#include <memory>

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

bool AuthStore::isValidAuthURL(const QString &authURL)
{
    return endpointURL(authURL, kLoginPath).has_value();
}

QCoro::Task<Expected<QByteArray>> AuthStore::exchange(
    QNetworkRequest request, QByteArray method, QByteArray body, QString action, QList<HttpExchange::Secret> secrets)
{
    QPointer<AuthStore> self(this);
    auto sending = m_http.send(request, method, body);
    const auto reply = co_await sending;
    if (!self)
        co_return Error { lit("Cancelled") };
    if (!reply)
        co_return reply.error();
    if (reply->status == 0)
        co_return AuthStoreError::message(QStringLiteral("No HTTP response from %1").arg(action));
    if (!reply->isSuccess()) { // a redirect too: the password or token never follows it
        const QString operation = action.left(1).toUpper() + action.mid(1);
        const QString text = HttpExchange::masked(HttpExchange::bodyText(reply->body), secrets);
        co_return AuthStoreError::message(
            QStringLiteral("%1 failed HTTP %2: %3").arg(operation).arg(reply->status).arg(sanitizeErrorBody(text)));
    }
    co_return reply->body;
}

Expected<AuthStore::LoginReply> AuthStore::readLoginReply(const QByteArray &body, const QString &typedName)
{
    QJsonParseError parseError {};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        return Error { QStringLiteral("Invalid JSON in login response: %1 at offset %2")
                           .arg(parseError.errorString())
                           .arg(parseError.offset) };
    }
    if (!doc.isObject())
        return AuthStoreError::message(lit("Login response was not JSON"));
    const QJsonObject top = doc.object();

    LoginReply out;
    out.token = Text::trimmed(stringMember(top, QStringLiteral("token")));
    if (out.token.isEmpty())
        return AuthStoreError::message(lit("Login response missing token"));
    if (!isUsableToken(out.token))
        return AuthStoreError::message(
            lit("The token in the login response contains white space or a control character"));
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

AuthStore::ValidateReply AuthStore::readValidateReply(const QByteArray &body, const QString &storedName)
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

QCoro::Task<Expected<AuthStore::Identity>> AuthStore::login()
{
    const QString user = Text::trimmed(m_username);
    const QString pass = m_password; // sent as typed
    if (user.isEmpty() || pass.isEmpty())
        co_return AuthStoreError::message(lit("Username and password are required to generate a token"));
    const auto url = endpointURL(m_authURL, kLoginPath);
    if (!url)
        co_return AuthStoreError::message(lit("Invalid Auth API URL"));

    QNetworkRequest request(*url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setRawHeader("Accept", "application/json");
    const QJsonObject credentials { { QStringLiteral("username"), user }, { QStringLiteral("password"), pass } };
    const QByteArray body = JsonWriter::compact(credentials);
    const QByteArray method = "POST";
    const QString action = QStringLiteral("login");
    const QList<HttpExchange::Secret> secrets { hiddenToken(Text::trimmed(m_accessToken)),
        { pass, QStringLiteral("\u2022\u2022\u2022\u2022") } };
    auto sending = exchange(request, method, body, action, secrets);
    const auto reply = co_await sending;
    if (!reply)
        co_return reply.error();

    auto read = readLoginReply(*reply, user);
    if (!read)
        co_return read.error();
    const QString token = read->token;
    const QString expires = read->expires;
    const QString name = read->name;
    const QString role = read->role;

    setAccessToken(token);
    setExpiresAt(expires);
    setUsername(name);
    if (auto saved = save(); !saved) {
        // No token in memory that is not on disk: the next request would
        // otherwise go out without one, and no login would follow.
        reloadFromDisk();
        co_return AuthStoreError::message(
            QStringLiteral("Logged in, but the token could not be saved: ") + saved.error().description);
    }
    // The reply's texts are stored as sent but shown without the new token or the password.
    const QList<HttpExchange::Secret> shown { hiddenToken(token),
        { pass, QStringLiteral("\u2022\u2022\u2022\u2022") } };
    const QString shownName = HttpExchange::masked(name, shown);
    const QString shownRole = HttpExchange::masked(role, shown);
    setSessionSummary(QStringLiteral("Logged in as ") + shownName + roleSuffix(shownRole)
        + expirySuffix(HttpExchange::masked(expires, shown)));
    co_return Identity { shownName, shownRole };
}

QCoro::Task<Expected<AuthStore::Identity>> AuthStore::validate()
{
    auto refreshing = ensureFreshToken(5);
    auto refreshed = co_await refreshing;
    if (!refreshed)
        co_return refreshed.error();

    const QString token = Text::trimmed(m_accessToken);
    if (token.isEmpty())
        co_return AuthStoreError::message(lit("No access token to validate"));
    const auto url = endpointURL(m_authURL, kValidatePath);
    if (!url)
        co_return AuthStoreError::message(lit("Invalid Auth API URL"));

    QNetworkRequest request(*url);
    request.setRawHeader("Accept", "application/json");
    request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    const QByteArray method = "GET";
    const QByteArray noBody;
    const QString action = QStringLiteral("validate");
    const QList<HttpExchange::Secret> secrets { hiddenToken(token) };
    auto sending = exchange(request, method, noBody, action, secrets);
    const auto reply = co_await sending;
    if (!reply)
        co_return reply.error();

    const ValidateReply read = readValidateReply(*reply, m_username);
    // Shown, so never the token whole, even when the server echoes it.
    const QString name = HttpExchange::masked(read.name, secrets);
    const QString role = HttpExchange::masked(read.role, secrets);
    if (!read.expires.isEmpty())
        setExpiresAt(read.expires); // memory only

    setSessionSummary(QStringLiteral("Session OK \u00b7 ") + name + roleSuffix(role) + QStringLiteral(" \u00b7 ")
        + tokenHint(token) + expirySuffix(HttpExchange::masked(m_expiresAt, secrets)));
    co_return Identity { name, role };
}

QCoro::Task<Expected<void>> AuthStore::ensureFreshToken(int skewMinutes)
{
    // The file is the truth: the app, the CLI and earlier refreshes all save there.
    const auto entries = CredentialsFile::readProperties(m_fileURL);
    if (const QString token = storedToken(entries); !token.isEmpty())
        setAccessToken(token); // an empty first entry changes nothing, even if a later name holds one
    if (entries.contains(QStringLiteral("username")))
        setUsername(entries.value(QStringLiteral("username")));
    if (!entries.value(QStringLiteral("password")).isEmpty())
        setPassword(entries.value(QStringLiteral("password")));
    if (entries.contains(QStringLiteral("expires_at")))
        setExpiresAt(entries.value(QStringLiteral("expires_at")));
    if (!entries.value(QStringLiteral("auth_url")).isEmpty())
        setAuthURL(entries.value(QStringLiteral("auth_url")));

    if (!Text::trimmed(m_accessToken).isEmpty()) {
        const auto expiry = parseExpiresAt(m_expiresAt);
        if (!expiry) // no readable expiry: the token counts as fresh
            co_return Expected<void> {};
        if (m_clock().msecsTo(*expiry) > static_cast<qint64>(skewMinutes) * 60'000)
            co_return Expected<void> {};
    }
    if (Text::trimmed(m_username).isEmpty() || m_password.isEmpty())
        co_return Expected<void> {}; // nothing to log in with; the caller goes on as it is

    auto loggingIn = login();
    auto result = co_await loggingIn;
    if (!result)
        co_return result.error();
    co_return Expected<void> {};
}

std::optional<QDateTime> AuthStore::parseExpiresAt(const QString &text)
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

QString AuthStore::sanitizeErrorBody(const QString &body)
{
    const QString t = Text::trimmed(body);
    if (Text::hasMoreGraphemesThan(t, 200))
        return Text::leftGraphemes(t, 200) + QStringLiteral("\u2026");
    // Three or more dot-separated pieces and some length: likely a token.
    if (t.split(QLatin1Char('.'), Qt::SkipEmptyParts).size() >= 3 && Text::graphemeCount(t) >= 41)
        return QStringLiteral("(redacted error body)");
    return t;
}
