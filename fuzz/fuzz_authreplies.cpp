// The Auth API helpers that read outside text: expiry texts, error bodies,
// and the login and validate reply bodies.
#include "auth/authclient.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QString text = QString::fromUtf8(bytes);
    (void)AuthClient::parseExpiresAt(text);
    const QString shown = AuthClient::sanitizeErrorBody(text);
    if (shown.size() > 2 * 200 + 1 && shown != text.trimmed())
        __builtin_trap(); // never more than 200 characters and the ellipsis
    const auto login = AuthClient::readLoginReply(bytes, QStringLiteral("typed"));
    if (login.ok() && login->token.isEmpty())
        __builtin_trap();
    (void)AuthClient::readValidateReply(bytes, QStringLiteral("stored"));
    return 0;
}
