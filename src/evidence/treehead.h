#pragma once

#include "core/expected.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

/// A signed tree head: the log's key signs that the tree of a scope held
/// tree_size leaves with this root at this time.
struct TreeHead {
    QString keyId; // 64 lower-case hex: SHA-256 of the key's DER SubjectPublicKeyInfo
    QString scope;
    qint64 treeSize = 0;
    QByteArray root; // 32 bytes
    QDateTime time; // UTC, milliseconds
    QByteArray signature; // 64 bytes of Ed25519

    /// The exact bytes that are signed, and that a timestamp token covers:
    /// six lines of UTF-8, each ended by one line feed.
    QByteArray message() const;

    /// { key_id, scope, tree_size, root, time, signature } as on the wire.
    QJsonObject toJson() const;
    /// Strict: every member present with its type and form (hashes as 64
    /// lower-case hex, the time as yyyy-MM-ddTHH:mm:ss.zzzZ, the signature as
    /// base64 of 64 bytes, a scope without control characters). Errors name
    /// the member under where.
    static Expected<TreeHead> fromJson(const QJsonValue &value, const QString &where = QStringLiteral("tree_head"));

    /// time in the one form heads carry: 2026-12-07T17:00:00.123Z.
    static QString timeText(const QDateTime &time);
    /// Why scope cannot be in a signed head (it would forge or hide a line of
    /// the message), or nothing.
    static std::optional<QString> scopeProblem(const QString &scope);
};
