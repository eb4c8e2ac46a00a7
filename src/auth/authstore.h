#pragma once

#include "core/expected.h"
#include "net/httpexchange.h"

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QMap>
#include <QNetworkRequest>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>
#include <utility>

/// Failures the Auth API client raises itself; the message is shown as it stands.
namespace AuthStoreError {
inline Error message(QString text)
{
    return Error { std::move(text) };
}
} // namespace AuthStoreError

/// The owner of the user's Auth API credentials and the client of the Auth
/// API. Fields are Qt properties so that a settings window can bind them both
/// ways; edits stay in memory until save(). All instance operations run on
/// the thread that created the store.
class AuthStore : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString accessToken READ accessToken WRITE setAccessToken NOTIFY accessTokenChanged)
    Q_PROPERTY(QString username READ username WRITE setUsername NOTIFY usernameChanged)
    Q_PROPERTY(QString password READ password WRITE setPassword NOTIFY passwordChanged)
    Q_PROPERTY(QString expiresAt READ expiresAt WRITE setExpiresAt NOTIFY expiresAtChanged)
    Q_PROPERTY(QString authURL READ authURL WRITE setAuthURL NOTIFY authURLChanged)
    Q_PROPERTY(QString issuer READ issuer WRITE setIssuer NOTIFY issuerChanged)
    Q_PROPERTY(QString sessionSummary READ sessionSummary WRITE setSessionSummary NOTIFY sessionSummaryChanged)

public:
    using Clock = std::function<QDateTime()>;
    /// (user name, role) as the Auth API reports them.
    using Identity = std::pair<QString, QString>;

    /// A store on the credentials file in the application-support folder,
    /// loaded at once. The application uses shared(); tests make their own.
    explicit AuthStore(QObject *parent = nullptr);
    ~AuthStore() override;

    /// The one store of the process, created on first use.
    static AuthStore &shared();

    /// The built-in Auth API base URL.
    static QString defaultAuthURL();

    QString accessToken() const { return m_accessToken; }
    QString username() const { return m_username; }
    QString password() const { return m_password; }
    QString expiresAt() const { return m_expiresAt; }
    QString authURL() const { return m_authURL; }
    QString issuer() const { return m_issuer; }
    QString sessionSummary() const { return m_sessionSummary; }

    void setAccessToken(const QString &value);
    void setUsername(const QString &value);
    void setPassword(const QString &value);
    void setExpiresAt(const QString &value);
    void setAuthURL(const QString &value);
    void setIssuer(const QString &value);
    void setSessionSummary(const QString &value);

    /// The credentials file this store reads and writes.
    QString fileURL() const { return m_fileURL; }

    /// Replaces every field from the file and sets the load summary. Never fails.
    void reloadFromDisk();

    /// Writes the fields to the file, keeping entries the store does not
    /// manage, and sets the save summary. On failure nothing changes.
    Expected<void> save();

    /// A safe-to-show rendering of a token: "(empty)", "••••", or "…" and its
    /// last 8 user-perceived characters.
    static QString tokenHint(const QString &token);

    /// False when token holds white space or a control character: it would
    /// split or corrupt the Authorization header it goes into.
    static bool isUsableToken(const QString &token);

    /// The token as a secret to hide in server text: shown as its hint, or
    /// as "••••" where the hint would show all of it.
    static HttpExchange::Secret hiddenToken(const QString &token);

    /// The token stored in the credentials file right now (untrimmed), or
    /// empty text. Reads the file afresh; safe from any thread.
    static QString currentBearerToken();

    /// Logs in with the user name and password in the fields, saves the new
    /// token and returns (user name, role).
    QCoro::Task<Expected<Identity>> login();

    /// Refreshes the token if needed, asks the Auth API whether it is good and
    /// returns (user name, role).
    QCoro::Task<Expected<Identity>> validate();

    /// Copies the stored credentials into the fields and logs in again when
    /// the token expires within skewMinutes and a user name and password are
    /// known. Fails only when that login fails.
    QCoro::Task<Expected<void>> ensureFreshToken(int skewMinutes);

    /// Reads an expiry: an internet date-time with zone (any fraction
    /// length), or a count of seconds or milliseconds since 1970.
    static std::optional<QDateTime> parseExpiresAt(const QString &text);

    /// An Auth API error body made fit to show: trimmed, cut at 200
    /// characters, and hidden when it looks like a token.
    static QString sanitizeErrorBody(const QString &body);

    /// True when authURL, as the Auth API client reads it, is an absolute
    /// http or https URL.
    static bool isValidAuthURL(const QString &authURL);

    /// What a successful login reply says.
    struct LoginReply {
        QString token; // trimmed, never empty
        QString expires; // "expiresAt", else "expires_at", else empty
        QString name; // "user.username", else typedName
        QString role; // "user.role", else empty
    };
    /// Reads the body of a 2xx login reply; fails with the texts the user reads.
    static Expected<LoginReply> readLoginReply(const QByteArray &body, const QString &typedName);

    /// What a successful validate reply says; a body that is not a JSON
    /// object tells nothing.
    struct ValidateReply {
        QString name; // the non-empty "username" (of "user" when it is an object), else storedName
        QString role;
        QString expires; // empty when the reply names none
    };
    static ValidateReply readValidateReply(const QByteArray &body, const QString &storedName);

    /// "Now" for expiry decisions; tests fix it.
    void setClock(Clock clock) { m_clock = std::move(clock); }

    /// The inactivity timeout of every Auth API request (60 s); tests shorten it.
    void setTransferTimeout(std::chrono::milliseconds timeout) { m_http.setTransferTimeout(timeout); }

Q_SIGNALS:
    void accessTokenChanged();
    void usernameChanged();
    void passwordChanged();
    void expiresAtChanged();
    void authURLChanged();
    void issuerChanged();
    void sessionSummaryChanged();

private:
    void assign(QString &field, const QString &value, void (AuthStore::*changed)());
    /// The token under the first of its three names that is present in
    /// entries, even when that one is empty.
    static QString storedToken(const QMap<QString, QString> &entries);
    /// " · expires <text>" for the summaries, or nothing when there is no expiry.
    static QString expirySuffix(const QString &expiresAt);

    /// Sends one Auth API request; the body of a 2xx answer, else the failure
    /// in the words of action ("login", "validate"), with secrets hidden.
    QCoro::Task<Expected<QByteArray>> exchange(QNetworkRequest request, QByteArray method, QByteArray body,
        QString action, QList<HttpExchange::Secret> secrets);

    QString m_accessToken;
    QString m_username;
    QString m_password;
    QString m_expiresAt;
    QString m_authURL;
    QString m_issuer;
    QString m_sessionSummary;
    QString m_fileURL;

    Clock m_clock;
    HttpExchange m_http;
};
