#pragma once

#include "core/expected.h"

#include <QByteArray>
#include <QString>

/// What a valid bearer token says.
struct TokenClaims {
    QString username; // "sub"
    QString role; // "role"
    qint64 generation = 0; // "gen": the user's generation when the token was issued
    qint64 issuedAtMs = 0;
    qint64 expiresAtMs = 0;
};

/// A freshly issued token.
struct IssuedToken {
    QByteArray token;
    qint64 expiresAtMs = 0;
};

/// Issues and checks HS256 JSON Web Tokens with one secret key.
class TokenSigner {
public:
    /// The issuer ("iss") written into every token and required on reading.
    static QString issuer();

    /// Reads the 32-byte key at path, or creates it (mode 0600) when the file
    /// does not exist. Two processes starting at once end up with the same key.
    static Expected<TokenSigner> loadOrCreate(const QString &path);

    explicit TokenSigner(QByteArray key)
        : m_key(std::move(key))
    {
    }

    /// A token for username with role and generation, valid from nowMs for ttlMs
    /// (at least a second). Expiry has whole-second precision, as the format counts seconds.
    IssuedToken issue(
        const QString &username, const QString &role, qint64 generation, qint64 nowMs, qint64 ttlMs) const;

    /// The claims of token if its signature is ours, it names HS256, our
    /// issuer, a user and a generation, and it has not expired at nowMs.
    Expected<TokenClaims> verify(const QByteArray &token, qint64 nowMs) const;

    /// A text that tells keys apart without giving the key away.
    QString keyCheck() const;

private:
    QByteArray sign(const QByteArray &signingInput) const;

    QByteArray m_key;
};
