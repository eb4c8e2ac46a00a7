#pragma once

#include <QByteArray>
#include <QString>

/// Salted PBKDF2-HMAC-SHA256 password hashes, stored as one text:
/// "pbkdf2-sha256$<iterations>$<salt, base64>$<hash, base64>". The iteration
/// count travels with each hash, so raising the default later keeps old
/// passwords working.
namespace PasswordHash {

inline constexpr int kDefaultIterations = 600'000;

/// A fresh 16-byte random salt and the derived 32-byte key, encoded as above.
QString create(const QString &password, int iterations = kDefaultIterations);

/// True when password matches encoded. An encoded text of any other form
/// never matches. The comparison takes the same time wherever bytes differ.
bool verify(const QString &password, const QString &encoded);

/// Spends about as long as verify() on a stored hash, so that an unknown user
/// name is not told apart from a wrong password by the reply time.
void burn(const QString &password, int iterations = kDefaultIterations);

} // namespace PasswordHash
