#pragma once

#include "auth/credentials.h"
#include "core/expected.h"
#include "net/httpexchange.h"

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QNetworkRequest>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

/// The client of the Auth API: logs in and validates tokens. It keeps no
/// credentials of its own: each call is given the values it acts on, and a
/// login saves its new token through CredentialsFile.
class AuthClient : public QObject {
    Q_OBJECT
public:
    using Clock = std::function<QDateTime()>;

    /// What a login or a validation leaves behind.
    struct Session {
        Credentials credentials; // as saved by a login, or as checked (expiry as the service named it)
        std::optional<Credentials> saved; // what the file holds after a login, renewals included
        QString name; // shown texts: the token and password hidden
        QString role;
        QString summary; // "Logged in as …" or "Session OK · …"
    };

    explicit AuthClient(QObject *parent = nullptr);
    ~AuthClient() override;

    /// Logs in with the user name, password and Auth API URL of c. On success
    /// saves the new token, its expiry and the user name the service gave,
    /// with the fields alsoSave of c, and returns what was saved. A token that
    /// cannot be saved fails the login and changes nothing on disk.
    QCoro::Task<Expected<Session>> login(Credentials c, Credentials::Fields alsoSave = 0);

    /// Renews c's token first when renewalDue() (a login, saving as above),
    /// then asks the Auth API whether the token is good.
    QCoro::Task<Expected<Session>> validate(Credentials c, Credentials::Fields alsoSave = 0);

    /// True when c's token is missing or expires within skewMinutes, and a
    /// user name and password are there to log in with. A token without a
    /// readable expiry counts as fresh.
    bool renewalDue(const Credentials &c, int skewMinutes = 5) const;

    /// Reads an expiry: an internet date-time with zone (any fraction
    /// length), or a count of seconds or milliseconds since 1970.
    static std::optional<QDateTime> parseExpiresAt(const QString &text);

    /// An Auth API error body made fit to show: trimmed, cut at 200
    /// characters, and hidden when it looks like a token.
    static QString sanitizeErrorBody(const QString &body);

    /// True when authURL, as this client reads it, is an absolute http or
    /// https URL.
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

private:
    /// Sends one Auth API request; the body of a 2xx answer, else the failure
    /// in the words of action ("login", "validate"), with secrets hidden.
    QCoro::Task<Expected<QByteArray>> exchange(QNetworkRequest request, QByteArray method, QByteArray body,
        QString action, QList<HttpExchange::Secret> secrets);

    Clock m_clock;
    HttpExchange m_http;
};
