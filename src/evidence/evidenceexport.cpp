#include "evidence/evidenceexport.h"

#include "evidence/logpublickey.h"
#include "evidence/rfc3161.h"

#include <QJsonArray>

namespace EvidenceExport {

Expected<QJsonObject> document(const QString &fileName, const QString &sha256Hex, const QJsonObject &receipt,
    const QByteArray &publicKeyPem, const Evidence &evidence, const QList<QByteArray> &trustedCaPems)
{
    auto key = LogPublicKey::fromPem(publicKeyPem);
    if (!key)
        return key.error();
    const auto leafHash = Evidence::leafHashOf(sha256Hex);
    if (!leafHash)
        return leafHash.error();
    QList<QByteArray> certificates;
    if (evidence.anchor) {
        for (const AnchorToken &timestamp : evidence.anchor->timestamps) {
            auto carried = Rfc3161::certificates(timestamp.token);
            if (!carried)
                return carried.error();
            certificates += *carried;
        }
    }
    certificates += trustedCaPems;
    QJsonArray pems;
    for (const QByteArray &pem : certificates) {
        if (!pems.contains(QString::fromLatin1(pem)))
            pems.append(QString::fromLatin1(pem));
    }
    return QJsonObject {
        { QStringLiteral("format"), kFormat },
        { QStringLiteral("file"), fileName },
        { QStringLiteral("sha256"), sha256Hex },
        { QStringLiteral("leaf_hash"), QString::fromLatin1(leafHash->toHex()) },
        { QStringLiteral("receipt"), receipt },
        { QStringLiteral("public_key"), QString::fromLatin1(key->pem()) },
        { QStringLiteral("key_id"), key->keyId() },
        { QStringLiteral("evidence"), evidence.toJson() },
        { QStringLiteral("authority_certificates"), pems },
    };
}

} // namespace EvidenceExport
