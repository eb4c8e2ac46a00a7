#include "auth/credentials.h"

#include "core/text.h"

#include <algorithm>

namespace {

const QString kUsername = QStringLiteral("username");
const QString kPassword = QStringLiteral("password");
const QString kExpiresAt = QStringLiteral("expires_at");
const QString kIssuer = QStringLiteral("issuer");
const QString kAuthURL = QStringLiteral("auth_url");

void setOrRemove(QMap<QString, QString> &entries, const QString &key, const QString &value)
{
    if (value.isEmpty())
        entries.remove(key);
    else
        entries.insert(key, value);
}

} // namespace

QString Credentials::defaultAuthURL()
{
    return QStringLiteral("https://auth.nivet.example");
}

Credentials Credentials::fromEntries(const QMap<QString, QString> &entries)
{
    Credentials c;
    for (const char *key : { "access_token", "auth_token", "id_token" }) {
        const auto it = entries.constFind(QLatin1String(key));
        if (it != entries.constEnd()) {
            c.accessToken = it.value();
            break;
        }
    }
    c.username = entries.value(kUsername);
    c.password = entries.value(kPassword);
    c.expiresAt = entries.value(kExpiresAt);
    c.issuer = entries.value(kIssuer);
    if (const QString url = entries.value(kAuthURL); !url.isEmpty())
        c.authURL = url;
    return c;
}

std::optional<SaveError> Credentials::writeInto(QMap<QString, QString> &entries, Fields fields) const
{
    if (fields & Field::token) {
        const QString t = Text::trimmed(accessToken);
        if (!isUsableToken(t))
            return SaveError { SaveError::Kind::value, {}, 0,
                QStringLiteral("The token contains white space or a control character") };
        if (!t.isEmpty()) {
            for (const char *key : { "access_token", "id_token", "auth_token" })
                entries.insert(QLatin1String(key), t);
        }
    }
    if (fields & Field::username)
        setOrRemove(entries, kUsername, username);
    if (fields & Field::password)
        setOrRemove(entries, kPassword, password);
    if (fields & Field::expiresAt)
        setOrRemove(entries, kExpiresAt, expiresAt);
    if ((fields & Field::issuer) && !issuer.isEmpty())
        entries.insert(kIssuer, issuer);
    if (fields & Field::authURL) {
        const QString url = Text::trimmed(authURL);
        setOrRemove(entries, kAuthURL, url == defaultAuthURL() ? QString() : url);
    }
    return std::nullopt;
}

namespace {

using Field = Credentials::Field;
constexpr std::pair<Credentials::Fields, QString Credentials::*> kMembers[] {
    { Field::token, &Credentials::accessToken },
    { Field::username, &Credentials::username },
    { Field::password, &Credentials::password },
    { Field::expiresAt, &Credentials::expiresAt },
    { Field::authURL, &Credentials::authURL },
    { Field::issuer, &Credentials::issuer },
};

} // namespace

Credentials::Fields Credentials::differences(const Credentials &other) const
{
    Fields fields = 0;
    for (const auto &[field, member] : kMembers) {
        if (this->*member != other.*member)
            fields |= field;
    }
    return fields;
}

void Credentials::assign(const Credentials &other, Fields fields)
{
    for (const auto &[field, member] : kMembers) {
        if (fields & field)
            this->*member = other.*member;
    }
}

QString Credentials::loadSummary() const
{
    if (!username.isEmpty())
        return QStringLiteral("Loaded credentials for ") + username + expirySuffix(expiresAt);
    if (!accessToken.isEmpty())
        return QStringLiteral("Token on disk \u00b7 ") + tokenHint(accessToken) + expirySuffix(expiresAt);
    return QStringLiteral("No credentials on disk");
}

QString Credentials::saveSummary() const
{
    const QString t = Text::trimmed(accessToken);
    QString summary = QStringLiteral("Saved credentials");
    if (!username.isEmpty())
        summary += QStringLiteral(" for ") + username;
    return summary + (t.isEmpty() ? QStringLiteral(" (no token)") : QStringLiteral(" \u00b7 ") + tokenHint(t));
}

QString Credentials::tokenHint(const QString &token)
{
    const QString t = Text::trimmed(token);
    if (Text::graphemeCount(t) < 8)
        return t.isEmpty() ? QStringLiteral("(empty)") : QStringLiteral("\u2022\u2022\u2022\u2022");
    return QStringLiteral("\u2026") + Text::rightGraphemes(t, 8);
}

bool Credentials::isUsableToken(const QString &token)
{
    return std::none_of(
        token.begin(), token.end(), [](QChar c) { return c.isSpace() || c.category() == QChar::Other_Control; });
}

HttpExchange::Secret Credentials::hiddenToken(const QString &token)
{
    const QString hint = tokenHint(token);
    return { token, hint.contains(token) ? QStringLiteral("\u2022\u2022\u2022\u2022") : hint };
}

QString Credentials::expirySuffix(const QString &expiresAt)
{
    return expiresAt.isEmpty() ? QString() : QStringLiteral(" \u00b7 expires ") + expiresAt;
}
