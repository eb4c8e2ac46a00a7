#include "evidence/logkey.h"

#include "core/atomicfile.h"
#include "evidence/crypto.h"

#include <QFile>

#include <openssl/evp.h>
#include <openssl/pem.h>

namespace {

// Never asks for a passphrase: our keys are stored without one, and a prompt
// on the terminal would hang a service.
int noPassphrase(char *, int, int, void *)
{
    return -1;
}

// The public half of a private key, as a key of its own.
std::shared_ptr<EVP_PKEY> publicHalf(EVP_PKEY *key)
{
    unsigned char *der = nullptr;
    const int length = i2d_PUBKEY(key, &der);
    const unsigned char *cursor = der;
    std::shared_ptr<EVP_PKEY> half(length > 0 ? d2i_PUBKEY(nullptr, &cursor, length) : nullptr, EVP_PKEY_free);
    OPENSSL_free(der);
    return half;
}

} // namespace

LogKey::LogKey(std::shared_ptr<EVP_PKEY> key)
    : m_key(std::move(key))
    , m_public(publicHalf(m_key.get()))
{
}

Expected<LogKey> LogKey::generate()
{
    std::shared_ptr<EVP_PKEY> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), EVP_PKEY_free);
    if (!key)
        return Error { QStringLiteral("Cannot create an Ed25519 key: %1").arg(Crypto::takeError()) };
    return LogKey(std::move(key));
}

Expected<LogKey> LogKey::load(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Error { QStringLiteral("Cannot read the log key %1: %2").arg(path, file.errorString()) };
    const QByteArray pem = file.readAll();
    Crypto::Handle<BIO, BIO_free> bio(BIO_new_mem_buf(pem.constData(), static_cast<int>(pem.size())));
    std::shared_ptr<EVP_PKEY> key(
        bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr) : nullptr, EVP_PKEY_free);
    if (!key) {
        Crypto::takeError();
        return Error { QStringLiteral("The log key %1 is not an unencrypted PEM private key").arg(path) };
    }
    if (EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519)
        return Error { QStringLiteral("The log key %1 is not an Ed25519 key").arg(path) };
    return LogKey(std::move(key));
}

Expected<void> LogKey::save(const QString &path) const
{
    Crypto::Handle<BIO, BIO_free> bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), m_key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return Error { QStringLiteral("Cannot encode the log key: %1").arg(Crypto::takeError()) };
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    QByteArray pem(data, length);
    auto written = AtomicFile::write(path, pem, 0600);
    // The key's bytes must not linger in freed memory.
    OPENSSL_cleanse(pem.data(), static_cast<size_t>(pem.size()));
    OPENSSL_cleanse(data, static_cast<size_t>(length));
    if (!written)
        return Error { written.error().describe() };
    return {};
}

Expected<TreeHead> LogKey::signHead(
    const QString &scope, qint64 treeSize, const QByteArray &root, const QDateTime &time) const
{
    if (auto problem = TreeHead::scopeProblem(scope))
        return Error { QStringLiteral("The scope %1").arg(*problem) };
    if (root.size() != 32 || treeSize < 0)
        return Error { QStringLiteral("A tree head needs a 32-byte root and a size of at least 0") };
    TreeHead head { keyId(), scope, treeSize, root, time.toUTC(), {} };
    const QByteArray message = head.message();
    Crypto::Handle<EVP_MD_CTX, EVP_MD_CTX_free> ctx(EVP_MD_CTX_new());
    size_t length = 64;
    head.signature.resize(64);
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, m_key.get()) != 1
        || EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char *>(head.signature.data()), &length,
               reinterpret_cast<const unsigned char *>(message.constData()), static_cast<size_t>(message.size()))
            != 1
        || length != 64)
        return Error { QStringLiteral("Cannot sign the tree head: %1").arg(Crypto::takeError()) };
    return head;
}
