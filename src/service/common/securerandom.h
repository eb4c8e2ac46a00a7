#pragma once

#include <QByteArray>

/// Unpredictable bytes from the operating system's generator, for salts,
/// signing keys and session ids.
namespace SecureRandom {

QByteArray bytes(int count);

/// count random bytes as unpadded base64url text (visible ASCII only).
QByteArray token(int count);

} // namespace SecureRandom
