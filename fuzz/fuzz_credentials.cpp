// The credentials-file reader, and the writer's round trip of what it accepts.
#include "auth/credentialsfile.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QMap<QString, QString> entries = CredentialsFile::parseProperties(bytes);
    // Whatever the writer agrees to store must read back unchanged.
    const auto encoded = CredentialsFile::encode(entries);
    if (encoded.ok()) {
        QMap<QString, QString> nonEmpty;
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            if (!it.value().isEmpty())
                nonEmpty.insert(it.key(), it.value());
        }
        if (CredentialsFile::parseProperties(encoded.value()) != nonEmpty)
            __builtin_trap();
    }
    return 0;
}
