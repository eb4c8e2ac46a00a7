#pragma once

#include "core/expected.h"
#include "evidence/treehead.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

/// One authority's timestamp over an anchored tree head.
struct AnchorToken {
    QString authority; // the URL the service asked: outside text, shown inert
    QByteArray token; // DER TimeStampToken
};

/// A later signed tree head that an independent clock vouched for, and the
/// leaf's path to its root.
struct Anchor {
    TreeHead treeHead;
    QList<QByteArray> auditPath;
    QList<AnchorToken> timestamps; // at least one
};

/// What a receipt's `evidence` member holds: the leaf's place in the signed
/// log and, once there is one, an anchor.
struct Evidence {
    qint64 leafIndex = 0;
    QList<QByteArray> auditPath; // leaf -> treeHead.root
    TreeHead treeHead;
    std::optional<Anchor> anchor;

    /// The member as on the wire and in our evidence files.
    QJsonObject toJson() const;
    /// Strict: every member present with its type and form; an error names
    /// the member under where ("evidence.anchor.timestamps[0].token is not base64").
    static Expected<Evidence> fromJson(const QJsonValue &value, const QString &where = QStringLiteral("evidence"));

    /// The leaf hash of the file whose SHA-256 is sha256Hex (64 lower-case hex).
    static Expected<QByteArray> leafHashOf(const QString &sha256Hex);
};
