#include "service/accounts/tokensigner.h"

#include "core/jsonwriter.h"
#include "service/common/securerandom.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>

#include <openssl/crypto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kKeyLength = 32;
const auto kBase64Url = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

std::optional<QByteArray> decodeSegment(const QByteArray &segment)
{
    // Padding is not part of the format; anything outside the alphabet fails.
    if (segment.contains('='))
        return std::nullopt;
    auto decoded = QByteArray::fromBase64Encoding(
        segment, QByteArray::Base64UrlEncoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    return decoded.decoded;
}

QString systemError(const QString &what, const QString &path)
{
    return QStringLiteral("Cannot %1 %2: %3").arg(what, path, QString::fromLocal8Bit(std::strerror(errno)));
}

Expected<QByteArray> readKey(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Error { QStringLiteral("Cannot read the signing key %1: %2").arg(path, file.errorString()) };
    const QByteArray key = file.readAll();
    if (key.size() != kKeyLength) {
        return Error { QStringLiteral("The signing key %1 is not %2 bytes long; move it away to create a new one "
                                      "(tokens issued with it then stop working)")
                           .arg(path)
                           .arg(kKeyLength) };
    }
    // The key signs every token: keep it private even if someone widened it.
    struct stat st { };
    if (::stat(QFile::encodeName(path).constData(), &st) == 0 && (st.st_mode & 077) != 0)
        ::chmod(QFile::encodeName(path).constData(), 0600);
    return key;
}

// Creates the key file only if it does not exist yet: written in full under a
// private name, then linked into place, which fails if another process won.
Expected<void> createKey(const QString &path)
{
    const QByteArray target = QFile::encodeName(path);
    const QByteArray temp = target + ".new-" + SecureRandom::token(6);
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return Error { systemError(QStringLiteral("create"), QFile::decodeName(temp)) };
    const QByteArray key = SecureRandom::bytes(kKeyLength);
    const bool written = ::write(fd, key.constData(), key.size()) == key.size() && ::fsync(fd) == 0;
    const int writeErrno = errno;
    ::close(fd);
    if (!written) {
        ::unlink(temp.constData());
        errno = writeErrno;
        return Error { systemError(QStringLiteral("write"), QFile::decodeName(temp)) };
    }
    const int linked = ::link(temp.constData(), target.constData());
    const int linkErrno = errno;
    ::unlink(temp.constData());
    if (linked != 0 && linkErrno != EEXIST) {
        errno = linkErrno;
        return Error { systemError(QStringLiteral("create"), path) };
    }
    return {};
}

} // namespace

QString TokenSigner::issuer()
{
    return QStringLiteral("nivet-stampd");
}

Expected<TokenSigner> TokenSigner::loadOrCreate(const QString &path)
{
    if (!QFile::exists(path)) {
        if (auto created = createKey(path); !created)
            return created.error();
    }
    auto key = readKey(path);
    if (!key)
        return key.error();
    return TokenSigner(*key);
}

QString TokenSigner::keyCheck() const
{
    return QString::fromLatin1(sign("nivet-stampd key check").toBase64());
}

QByteArray TokenSigner::sign(const QByteArray &signingInput) const
{
    return QMessageAuthenticationCode::hash(signingInput, m_key, QCryptographicHash::Sha256);
}

IssuedToken TokenSigner::issue(
    const QString &username, const QString &role, qint64 generation, qint64 nowMs, qint64 ttlMs) const
{
    const qint64 expires = (nowMs + std::max<qint64>(ttlMs, 1000)) / 1000;
    const QJsonObject header { { QStringLiteral("alg"), QStringLiteral("HS256") },
        { QStringLiteral("typ"), QStringLiteral("JWT") } };
    const QJsonObject payload {
        { QStringLiteral("iss"), issuer() },
        { QStringLiteral("sub"), username },
        { QStringLiteral("role"), role },
        { QStringLiteral("gen"), generation },
        { QStringLiteral("iat"), nowMs / 1000 },
        { QStringLiteral("exp"), expires },
        { QStringLiteral("jti"), QString::fromLatin1(SecureRandom::token(12)) },
    };
    const QByteArray input
        = JsonWriter::compact(header).toBase64(kBase64Url) + '.' + JsonWriter::compact(payload).toBase64(kBase64Url);
    return IssuedToken { input + '.' + sign(input).toBase64(kBase64Url), expires * 1000 };
}

Expected<TokenClaims> TokenSigner::verify(const QByteArray &token, qint64 nowMs) const
{
    const Error invalid { QStringLiteral("Invalid token") };
    const QList<QByteArray> parts = token.split('.');
    if (parts.size() != 3)
        return invalid;
    const auto signature = decodeSegment(parts[2]);
    const QByteArray expected = sign(parts[0] + '.' + parts[1]);
    if (!signature || signature->size() != expected.size()
        || CRYPTO_memcmp(signature->constData(), expected.constData(), static_cast<size_t>(expected.size())) != 0)
        return invalid;

    // Signed by us, so the segments are ours; still read them defensively.
    const auto headerBytes = decodeSegment(parts[0]);
    const auto payloadBytes = decodeSegment(parts[1]);
    if (!headerBytes || !payloadBytes)
        return invalid;
    const QJsonObject header = QJsonDocument::fromJson(*headerBytes).object();
    const QJsonObject payload = QJsonDocument::fromJson(*payloadBytes).object();
    if (header.value(QStringLiteral("alg")).toString() != QLatin1String("HS256")
        || payload.value(QStringLiteral("iss")).toString() != issuer())
        return invalid;

    TokenClaims claims;
    claims.username = payload.value(QStringLiteral("sub")).toString();
    claims.role = payload.value(QStringLiteral("role")).toString();
    claims.issuedAtMs = static_cast<qint64>(payload.value(QStringLiteral("iat")).toDouble()) * 1000;
    const QJsonValue exp = payload.value(QStringLiteral("exp"));
    // Tokens from before generations existed may predate a password change: void.
    const QJsonValue generation = payload.value(QStringLiteral("gen"));
    if (claims.username.isEmpty() || !exp.isDouble() || !generation.isDouble())
        return invalid;
    claims.generation = static_cast<qint64>(generation.toDouble());
    claims.expiresAtMs = static_cast<qint64>(exp.toDouble()) * 1000;
    if (nowMs >= claims.expiresAtMs)
        return Error { QStringLiteral("Token expired") };
    return claims;
}
