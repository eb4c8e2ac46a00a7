#include "evidence/logpublickey.h"

#include "evidence/crypto.h"
#include "evidence/treehead.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

LogPublicKey::LogPublicKey(std::shared_ptr<EVP_PKEY> key)
    : m_key(std::move(key))
{
    unsigned char *der = nullptr;
    const int length = i2d_PUBKEY(m_key.get(), &der);
    if (length > 0)
        m_keyId = QString::fromLatin1(Crypto::sha256(QByteArrayView(der, length)).toHex());
    OPENSSL_free(der);
}

Expected<LogPublicKey> LogPublicKey::fromPem(const QByteArray &pem)
{
    Crypto::Handle<BIO, BIO_free> bio(BIO_new_mem_buf(pem.constData(), static_cast<int>(pem.size())));
    std::shared_ptr<EVP_PKEY> key(
        bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr, EVP_PKEY_free);
    if (!key) {
        Crypto::takeError();
        return Error { QStringLiteral("the public key is not PEM text of a public key") };
    }
    if (EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519)
        return Error { QStringLiteral("the public key is not an Ed25519 key") };
    return LogPublicKey(std::move(key));
}

QByteArray LogPublicKey::pem() const
{
    Crypto::Handle<BIO, BIO_free> bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PUBKEY(bio.get(), m_key.get()) != 1) {
        Crypto::takeError();
        return {};
    }
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, length);
}

QString LogPublicKey::keyId() const
{
    return m_keyId;
}

bool LogPublicKey::verifies(const QByteArray &message, const QByteArray &signature) const
{
    Crypto::Handle<EVP_MD_CTX, EVP_MD_CTX_free> ctx(EVP_MD_CTX_new());
    const bool ok = ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, m_key.get()) == 1
        && EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char *>(signature.constData()),
               static_cast<size_t>(signature.size()), reinterpret_cast<const unsigned char *>(message.constData()),
               static_cast<size_t>(message.size()))
            == 1;
    if (!ok)
        Crypto::takeError();
    return ok;
}

Expected<void> LogPublicKey::checkHead(const TreeHead &head, const QString &what, const Verifier &verify) const
{
    if (head.keyId != m_keyId)
        return Error { QStringLiteral("%1 names the key %2, not the pinned key %3").arg(what, head.keyId, m_keyId) };
    const QByteArray message = head.message();
    if (!(verify ? verify(message, head.signature) : verifies(message, head.signature)))
        return Error { QStringLiteral("%1 is not signed by the pinned key %2").arg(what, m_keyId) };
    return {};
}
