#include "evidence/crypto.h"

#include <openssl/err.h>
#include <openssl/evp.h>

namespace Crypto {

QByteArray sha256(QByteArrayView data)
{
    QByteArray digest(32, Qt::Uninitialized);
    unsigned int length = 0;
    // One-shot hashing of bytes in memory cannot fail short of a broken library.
    EVP_Digest(data.data(), static_cast<size_t>(data.size()), reinterpret_cast<unsigned char *>(digest.data()), &length,
        EVP_sha256(), nullptr);
    return digest;
}

QString takeError()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    const char *reason = code ? ERR_reason_error_string(code) : nullptr;
    return reason ? QString::fromUtf8(reason) : QStringLiteral("unknown error");
}

} // namespace Crypto
