#include "auth/authstore.h"

#include "auth/credentialsfile.h"
#include "core/text.h"
#include "storage/nivetpaths.h"

#include <algorithm>

namespace {

QString credentialsPath()
{
    return NivetPaths::applicationSupportNivet() + QStringLiteral("/auth.properties");
}

void setOrRemove(QMap<QString, QString> &entries, const QString &key, const QString &value)
{
    if (value.isEmpty())
        entries.remove(key);
    else
        entries.insert(key, value);
}

} // namespace

AuthStore::AuthStore(QObject *parent)
    : QObject(parent)
    , m_authURL(defaultAuthURL())
    , m_fileURL(credentialsPath())
    , m_clock([] { return QDateTime::currentDateTimeUtc(); })
{
    reloadFromDisk();
}

AuthStore::~AuthStore() = default;

AuthStore &AuthStore::shared()
{
    // Never destroyed: it lives until the process ends, and tearing down its
    // network access manager after the application object is gone is unsafe.
    static AuthStore *const instance = new AuthStore();
    return *instance;
}

QString AuthStore::defaultAuthURL()
{
    return QStringLiteral("https://auth.nivet.example");
}

void AuthStore::assign(QString &field, const QString &value, void (AuthStore::*changed)())
{
    if (field == value)
        return;
    field = value;
    Q_EMIT(this->*changed)();
}

void AuthStore::setAccessToken(const QString &value)
{
    assign(m_accessToken, value, &AuthStore::accessTokenChanged);
}
void AuthStore::setUsername(const QString &value)
{
    assign(m_username, value, &AuthStore::usernameChanged);
}
void AuthStore::setPassword(const QString &value)
{
    assign(m_password, value, &AuthStore::passwordChanged);
}
void AuthStore::setExpiresAt(const QString &value)
{
    assign(m_expiresAt, value, &AuthStore::expiresAtChanged);
}
void AuthStore::setAuthURL(const QString &value)
{
    assign(m_authURL, value, &AuthStore::authURLChanged);
}
void AuthStore::setIssuer(const QString &value)
{
    assign(m_issuer, value, &AuthStore::issuerChanged);
}
void AuthStore::setSessionSummary(const QString &value)
{
    assign(m_sessionSummary, value, &AuthStore::sessionSummaryChanged);
}

void AuthStore::reloadFromDisk()
{
    const auto entries = CredentialsFile::readProperties(m_fileURL);
    setAccessToken(storedToken(entries));
    setUsername(entries.value(QStringLiteral("username")));
    setPassword(entries.value(QStringLiteral("password")));
    setExpiresAt(entries.value(QStringLiteral("expires_at")));
    setIssuer(entries.value(QStringLiteral("issuer")));
    const QString url = entries.value(QStringLiteral("auth_url"));
    setAuthURL(url.isEmpty() ? defaultAuthURL() : url);

    if (!m_username.isEmpty())
        setSessionSummary(QStringLiteral("Loaded credentials for ") + m_username + expirySuffix(m_expiresAt));
    else if (!m_accessToken.isEmpty())
        setSessionSummary(
            QStringLiteral("Token on disk \u00b7 ") + tokenHint(m_accessToken) + expirySuffix(m_expiresAt));
    else
        setSessionSummary(QStringLiteral("No credentials on disk"));
}

Expected<void> AuthStore::save()
{
    auto entries = CredentialsFile::readProperties(m_fileURL);
    const QString token = Text::trimmed(m_accessToken);
    if (!isUsableToken(token))
        return AuthStoreError::message(QStringLiteral("The token contains white space or a control character"));
    if (!token.isEmpty()) {
        for (const char *key : { "access_token", "id_token", "auth_token" })
            entries.insert(QLatin1String(key), token);
    }
    setOrRemove(entries, QStringLiteral("username"), m_username);
    setOrRemove(entries, QStringLiteral("password"), m_password);
    setOrRemove(entries, QStringLiteral("expires_at"), m_expiresAt);
    if (!m_issuer.isEmpty())
        entries.insert(QStringLiteral("issuer"), m_issuer);
    const QString url = Text::trimmed(m_authURL);
    setOrRemove(entries, QStringLiteral("auth_url"), url == defaultAuthURL() ? QString() : url);

    if (auto written = CredentialsFile::writeProperties(entries, m_fileURL); !written)
        return written.error();

    QString summary = QStringLiteral("Saved credentials");
    if (!m_username.isEmpty())
        summary += QStringLiteral(" for ") + m_username;
    summary += token.isEmpty() ? QStringLiteral(" (no token)") : QStringLiteral(" \u00b7 ") + tokenHint(token);
    setSessionSummary(summary);
    return {};
}

QString AuthStore::storedToken(const QMap<QString, QString> &entries)
{
    for (const char *key : { "access_token", "auth_token", "id_token" }) {
        const auto it = entries.constFind(QLatin1String(key));
        if (it != entries.constEnd())
            return it.value();
    }
    return {};
}

QString AuthStore::expirySuffix(const QString &expiresAt)
{
    return expiresAt.isEmpty() ? QString() : QStringLiteral(" \u00b7 expires ") + expiresAt;
}

QString AuthStore::tokenHint(const QString &token)
{
    const QString t = Text::trimmed(token);
    if (Text::graphemeCount(t) < 8)
        return t.isEmpty() ? QStringLiteral("(empty)") : QStringLiteral("\u2022\u2022\u2022\u2022");
    return QStringLiteral("\u2026") + Text::rightGraphemes(t, 8);
}

bool AuthStore::isUsableToken(const QString &token)
{
    return std::none_of(
        token.begin(), token.end(), [](QChar c) { return c.isSpace() || c.category() == QChar::Other_Control; });
}

HttpExchange::Secret AuthStore::hiddenToken(const QString &token)
{
    const QString hint = tokenHint(token);
    return { token, hint.contains(token) ? QStringLiteral("\u2022\u2022\u2022\u2022") : hint };
}

QString AuthStore::currentBearerToken()
{
    // Not through shared(): its fields may hold unsaved edits.
    return storedToken(CredentialsFile::readProperties(credentialsPath()));
}
