#pragma once

#include "core/expected.h"
#include "evidence/evidence.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

/// The self-contained document that lets anyone check a file's evidence by
/// hand, with standard tools and none of ours (docs/evidence.md).
namespace EvidenceExport {

/// The format's name, its "format" member.
inline const QString kFormat = QStringLiteral("nivet-evidence-1");

/// { format, file, sha256, leaf_hash, receipt, public_key, key_id, evidence,
/// authority_certificates }. receipt is the receipt's five members as kept;
/// authority_certificates are the certificates the tokens carry, then those
/// of trustedCaPems (what the exporter trusted), each once.
Expected<QJsonObject> document(const QString &fileName, const QString &sha256Hex, const QJsonObject &receipt,
    const QByteArray &publicKeyPem, const Evidence &evidence, const QList<QByteArray> &trustedCaPems = {});

} // namespace EvidenceExport
