#include "evidence/evidence.h"

#include "evidence/jsonfields.h"
#include "evidence/merkleproof.h"

#include <QJsonArray>

namespace {

QJsonArray hexArray(const QList<QByteArray> &hashes)
{
    QJsonArray out;
    for (const QByteArray &hash : hashes)
        out.append(QString::fromLatin1(hash.toHex()));
    return out;
}

Expected<TreeHead> headOf(const JsonFields &fields)
{
    auto head = fields.value(QStringLiteral("tree_head"));
    if (!head)
        return head.error();
    return TreeHead::fromJson(*head, fields.path(QStringLiteral("tree_head")));
}

Expected<AnchorToken> tokenFromJson(const QJsonValue &value, const QString &where)
{
    auto fields = JsonFields::of(value, where);
    if (!fields)
        return fields.error();
    auto authority = fields->text(QStringLiteral("authority"));
    if (!authority)
        return authority.error();
    auto token = fields->base64(QStringLiteral("token"));
    if (!token)
        return token.error();
    return AnchorToken { *authority, *token };
}

Expected<Anchor> anchorFromJson(const QJsonValue &value, const QString &where)
{
    auto fields = JsonFields::of(value, where);
    if (!fields)
        return fields.error();
    Anchor anchor;
    auto treeHead = headOf(*fields);
    if (!treeHead)
        return treeHead.error();
    anchor.treeHead = *treeHead;
    auto path = fields->hashes(QStringLiteral("audit_path"));
    if (!path)
        return path.error();
    anchor.auditPath = *path;
    auto timestamps = fields->array(QStringLiteral("timestamps"));
    if (!timestamps)
        return timestamps.error();
    if (timestamps->isEmpty())
        return Error { QStringLiteral("%1 is empty").arg(fields->path(QStringLiteral("timestamps"))) };
    for (qsizetype i = 0; i < timestamps->size(); ++i) {
        auto token = tokenFromJson(
            timestamps->at(i), QStringLiteral("%1[%2]").arg(fields->path(QStringLiteral("timestamps"))).arg(i));
        if (!token)
            return token.error();
        anchor.timestamps.append(*token);
    }
    return anchor;
}

} // namespace

QJsonObject Evidence::toJson() const
{
    QJsonObject out {
        { QStringLiteral("leaf_index"), leafIndex },
        { QStringLiteral("audit_path"), hexArray(auditPath) },
        { QStringLiteral("tree_head"), treeHead.toJson() },
    };
    if (anchor) {
        QJsonArray timestamps;
        for (const AnchorToken &t : anchor->timestamps) {
            timestamps.append(QJsonObject {
                { QStringLiteral("authority"), t.authority },
                { QStringLiteral("token"), QString::fromLatin1(t.token.toBase64()) },
            });
        }
        out.insert(QStringLiteral("anchor"),
            QJsonObject {
                { QStringLiteral("tree_head"), anchor->treeHead.toJson() },
                { QStringLiteral("audit_path"), hexArray(anchor->auditPath) },
                { QStringLiteral("timestamps"), timestamps },
            });
    }
    return out;
}

Expected<Evidence> Evidence::fromJson(const QJsonValue &value, const QString &where)
{
    auto fields = JsonFields::of(value, where);
    if (!fields)
        return fields.error();
    Evidence evidence;
    auto index = fields->count(QStringLiteral("leaf_index"));
    if (!index)
        return index.error();
    evidence.leafIndex = *index;
    auto path = fields->hashes(QStringLiteral("audit_path"));
    if (!path)
        return path.error();
    evidence.auditPath = *path;
    auto treeHead = headOf(*fields);
    if (!treeHead)
        return treeHead.error();
    evidence.treeHead = *treeHead;
    // A service may spell "not anchored yet" as null as well as by leaving the member out.
    if (fields->has(QStringLiteral("anchor")) && !fields->value(QStringLiteral("anchor"))->isNull()) {
        auto anchor = anchorFromJson(*fields->value(QStringLiteral("anchor")), fields->path(QStringLiteral("anchor")));
        if (!anchor)
            return anchor.error();
        evidence.anchor = *anchor;
    }
    return evidence;
}

Expected<QByteArray> Evidence::leafHashOf(const QString &sha256Hex)
{
    auto digest = JsonFields::hashOf(sha256Hex, QStringLiteral("the file's digest"));
    if (!digest)
        return digest.error();
    return MerkleProof::leafHash(*digest);
}
