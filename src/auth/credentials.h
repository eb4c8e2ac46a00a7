#pragma once

#include "core/saveerror.h"
#include "net/httpexchange.h"

#include <QMap>
#include <QString>

#include <optional>

/// The Auth API credentials as the credentials file holds them: plain values,
/// copied freely. A window edits a copy of its own; only
/// CredentialsFile::save puts values on disk, and MCP requests read the disk.
struct Credentials {
    /// Fields, for saving some and keeping what the file holds for the others.
    struct Field {
        enum : unsigned { token = 1, username = 2, password = 4, expiresAt = 8, authURL = 16, issuer = 32 };
    };
    using Fields = unsigned;
    static constexpr Fields allFields = 63;

    QString accessToken; // may hold surrounding white space as typed; stored trimmed
    QString username;
    QString password;
    QString expiresAt; // as received or stored
    QString authURL = defaultAuthURL();
    QString issuer;

    /// The built-in Auth API base URL.
    static QString defaultAuthURL();

    /// What the entries of a credentials file say: the token under the first
    /// of access_token, auth_token, id_token present (even when empty), the
    /// default Auth API URL when none is stored.
    static Credentials fromEntries(const QMap<QString, QString> &entries);

    /// Sets the entries of fields from these values: the trimmed token under
    /// its three names (an empty one leaves the stored token), user name,
    /// password and expiry (removed when empty), the issuer (kept when empty),
    /// the Auth API URL (removed when it is the default). Refuses a token
    /// holding white space or a control character.
    std::optional<SaveError> writeInto(QMap<QString, QString> &entries, Fields fields = allFields) const;

    /// The fields in which other differs from these values.
    Fields differences(const Credentials &other) const;
    /// Takes the values of fields from other.
    void assign(const Credentials &other, Fields fields);

    /// "Loaded credentials for …", "Token on disk · …" or "No credentials on disk".
    QString loadSummary() const;
    /// "Saved credentials[ for NAME] · HINT", or " (no token)" in place of the hint.
    QString saveSummary() const;

    /// A safe-to-show rendering of a token: "(empty)", "••••", or "…" and its
    /// last 8 user-perceived characters.
    static QString tokenHint(const QString &token);

    /// False when token holds white space or a control character: it would
    /// split or corrupt the Authorization header it goes into.
    static bool isUsableToken(const QString &token);

    /// The token as a secret to hide in server text: shown as its hint, or
    /// as "••••" where the hint would show all of it.
    static HttpExchange::Secret hiddenToken(const QString &token);

    /// " · expires <text>", or nothing when there is no expiry.
    static QString expirySuffix(const QString &expiresAt);

    friend bool operator==(const Credentials &, const Credentials &) = default;
};
