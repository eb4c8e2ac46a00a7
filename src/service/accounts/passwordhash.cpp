#include "service/accounts/passwordhash.h"

#include "service/common/securerandom.h"

#include <QStringList>

#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace PasswordHash {

namespace {

const QLatin1String kScheme("pbkdf2-sha256");
constexpr int kKeyLength = 32;
constexpr int kSaltLength = 16;
// Refuses absurd counts from a damaged row instead of spinning for hours.
constexpr int kMaxIterations = 10'000'000;

QByteArray derive(const QString &password, const QByteArray &salt, int iterations)
{
    const QByteArray secret = password.toUtf8();
    QByteArray key(kKeyLength, '\0');
    const int ok = PKCS5_PBKDF2_HMAC(secret.constData(), static_cast<int>(secret.size()),
        reinterpret_cast<const unsigned char *>(salt.constData()), static_cast<int>(salt.size()), iterations,
        EVP_sha256(), kKeyLength, reinterpret_cast<unsigned char *>(key.data()));
    return ok == 1 ? key : QByteArray();
}

} // namespace

QString create(const QString &password, int iterations)
{
    const QByteArray salt = SecureRandom::bytes(kSaltLength);
    const QByteArray key = derive(password, salt, iterations);
    return QStringLiteral("%1$%2$%3$%4")
        .arg(kScheme)
        .arg(iterations)
        .arg(QString::fromLatin1(salt.toBase64()), QString::fromLatin1(key.toBase64()));
}

bool verify(const QString &password, const QString &encoded)
{
    const QStringList parts = encoded.split(QLatin1Char('$'));
    if (parts.size() != 4 || parts[0] != kScheme)
        return false;
    bool numeric = false;
    const int iterations = parts[1].toInt(&numeric);
    if (!numeric || iterations < 1 || iterations > kMaxIterations)
        return false;
    const auto salt = QByteArray::fromBase64Encoding(parts[2].toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    const auto expected = QByteArray::fromBase64Encoding(parts[3].toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!salt || !expected || expected.decoded.size() != kKeyLength)
        return false;
    const QByteArray actual = derive(password, salt.decoded, iterations);
    return actual.size() == kKeyLength
        && CRYPTO_memcmp(actual.constData(), expected.decoded.constData(), kKeyLength) == 0;
}

void burn(const QString &password, int iterations)
{
    derive(password, QByteArray(kSaltLength, 'x'), iterations);
}

} // namespace PasswordHash
