#pragma once

#include "core/expected.h"

#include <QByteArray>
#include <QString>

#include <openssl/types.h>

#include <functional>
#include <memory>

struct TreeHead;

/// The public half of a log's Ed25519 key: what a client pins, and what
/// checks the log's signed tree heads.
class LogPublicKey {
public:
    /// From SubjectPublicKeyInfo PEM text; fails unless it holds an Ed25519 key.
    static Expected<LogPublicKey> fromPem(const QByteArray &pem);

    /// The key as "-----BEGIN PUBLIC KEY-----" PEM text, 64-column base64, LF
    /// line ends, trailing LF (what `openssl pkey -pubout` prints).
    QByteArray pem() const;
    /// SHA-256 of the DER SubjectPublicKeyInfo, 64 lower-case hex.
    QString keyId() const;

    /// True when signature is this key's Ed25519 signature of message.
    bool verifies(const QByteArray &message, const QByteArray &signature) const;
    /// Stands in for verifies (same answer for the same bytes).
    using Verifier = std::function<bool(const QByteArray &message, const QByteArray &signature)>;
    /// Checks that head names this key and carries its signature; the error
    /// says which ("the tree head is not signed by the pinned key …"), worded
    /// to follow "Evidence does not match: ". what names the head ("the tree head").
    Expected<void> checkHead(
        const TreeHead &head, const QString &what = QStringLiteral("the tree head"), const Verifier &verify = {}) const;

private:
    explicit LogPublicKey(std::shared_ptr<EVP_PKEY> key);
    friend class LogKey;

    std::shared_ptr<EVP_PKEY> m_key; // never changed once made, so copies share it
    QString m_keyId;
};
