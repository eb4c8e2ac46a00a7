#pragma once

#include "core/expected.h"
#include "evidence/logpublickey.h"
#include "evidence/treehead.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <openssl/types.h>

#include <memory>

/// A log's Ed25519 signing key. The service keeps it as PKCS#8 PEM in its
/// data folder, readable by its owner only.
class LogKey {
public:
    /// A new random key.
    static Expected<LogKey> generate();
    /// Reads an unencrypted PKCS#8 PEM private key; fails unless it is Ed25519.
    static Expected<LogKey> load(const QString &path);

    /// Writes the key as PKCS#8 PEM, mode 0600 from the first byte, replacing
    /// path in one atomic rename.
    Expected<void> save(const QString &path) const;

    LogPublicKey publicKey() const { return m_public; }
    QString keyId() const { return m_public.keyId(); }

    /// Signs the head of scope's tree of treeSize leaves with root (32 bytes)
    /// at time (kept to the millisecond, in UTC). Fails for a scope that a
    /// head cannot carry (empty, or holding control characters).
    Expected<TreeHead> signHead(
        const QString &scope, qint64 treeSize, const QByteArray &root, const QDateTime &time) const;

private:
    explicit LogKey(std::shared_ptr<EVP_PKEY> key);

    std::shared_ptr<EVP_PKEY> m_key;
    LogPublicKey m_public;
};
