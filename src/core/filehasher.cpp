#include "core/filehasher.h"

#include <QFile>

#include <openssl/evp.h>

#include <memory>

namespace FileHasher {

static constexpr qint64 kChunkSize = 1024 * 1024;

QString cancelledText()
{
    return QStringLiteral("Hashing stopped");
}

Expected<QString> sha256Hex(const QString &path, const Progress &progress, const std::atomic_bool *cancel)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Error { QStringLiteral("Cannot open %1: %2").arg(path, file.errorString()) };

    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
        return Error { QStringLiteral("Cannot start SHA-256") };

    const qint64 total = file.size();
    qint64 done = 0;
    QByteArray chunk(kChunkSize, Qt::Uninitialized);
    for (;;) {
        if (cancel && cancel->load(std::memory_order_relaxed))
            return Error { cancelledText() };
        const qint64 n = file.read(chunk.data(), kChunkSize);
        if (n < 0)
            return Error { QStringLiteral("Cannot read %1: %2").arg(path, file.errorString()) };
        if (n == 0)
            break; // only an empty read ends the loop; short reads do not
        EVP_DigestUpdate(ctx.get(), chunk.constData(), static_cast<size_t>(n));
        done += n;
        if (progress)
            progress(done, total);
    }

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1 || length != 32)
        return Error { QStringLiteral("Cannot finish SHA-256") };
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), 32).toHex());
}

} // namespace FileHasher
