#include "evidence/evidencecheck.h"

#include "evidence/logpublickey.h"
#include "evidence/merkleproof.h"
#include "evidence/rfc3161.h"

namespace {

// The leaf at index leads to head's root along path.
Expected<void> checkPath(
    const QByteArray &leafHash, qint64 index, const QList<QByteArray> &path, const TreeHead &head, bool anchor)
{
    if (index >= head.treeSize) {
        return Error { QStringLiteral("the leaf index %1 is outside the %2 tree of %3 leaves")
                           .arg(index)
                           .arg(anchor ? QStringLiteral("anchored") : QStringLiteral("signed"))
                           .arg(head.treeSize) };
    }
    if (!MerkleProof::inclusionHolds(index, head.treeSize, leafHash, path, head.root)) {
        return Error { anchor ? QStringLiteral("the anchor's audit path does not lead to its signed root")
                              : QStringLiteral("the audit path does not lead to the signed root") };
    }
    return {};
}

} // namespace

Expected<EvidenceCheck> checkEvidence(const QString &sha256Hex, const Evidence &evidence,
    const QByteArray &publicKeyPem, const std::optional<QList<QByteArray>> &trustedCaPems,
    const TokenChecker &checkToken)
{
    auto key = LogPublicKey::fromPem(publicKeyPem);
    if (!key)
        return key.error();
    return checkEvidence(sha256Hex, evidence, *key, trustedCaPems, checkToken);
}

Expected<EvidenceCheck> checkEvidence(const QString &sha256Hex, const Evidence &evidence, const LogPublicKey &publicKey,
    const std::optional<QList<QByteArray>> &trustedCaPems, const TokenChecker &checkToken,
    const LogPublicKey::Verifier &verify)
{
    const LogPublicKey *key = &publicKey;
    const auto leaf = Evidence::leafHashOf(sha256Hex);
    if (!leaf)
        return leaf.error();
    const QByteArray &leafHash = *leaf;

    const TreeHead &head = evidence.treeHead;
    if (auto signedByKey = key->checkHead(head); !signedByKey)
        return signedByKey.error();
    if (auto onPath = checkPath(leafHash, evidence.leafIndex, evidence.auditPath, head, false); !onPath)
        return onPath.error();
    EvidenceCheck out { key->keyId(), head.scope, head.treeSize, head.time, false, 0, {}, {} };
    if (!evidence.anchor)
        return out;

    const Anchor &anchor = *evidence.anchor;
    if (auto signedByKey = key->checkHead(anchor.treeHead, QStringLiteral("the anchored tree head"), verify);
        !signedByKey)
        return signedByKey.error();
    if (anchor.treeHead.scope != head.scope) {
        return Error {
            QStringLiteral("the anchored tree head is of the scope %1, not %2").arg(anchor.treeHead.scope, head.scope)
        };
    }
    if (auto onPath = checkPath(leafHash, evidence.leafIndex, anchor.auditPath, anchor.treeHead, true); !onPath)
        return onPath.error();
    out.anchored = true;
    out.anchorTreeSize = anchor.treeHead.treeSize;
    out.anchorHeadTime = anchor.treeHead.time;
    if (!trustedCaPems)
        return out;

    // One authority that checks is enough to date the head; when none does,
    // the first one's failure is the answer.
    std::optional<Error> firstFailure;
    const QByteArray message = anchor.treeHead.message();
    for (const AnchorToken &timestamp : anchor.timestamps) {
        auto checked = checkToken ? checkToken(timestamp.token, message)
                                  : Rfc3161::checkToken(timestamp.token, message, *trustedCaPems);
        if (checked)
            out.timestamps.append({ timestamp.authority, checked->authority, checked->time });
        else if (!firstFailure)
            firstFailure = checked.error();
    }
    if (out.timestamps.isEmpty())
        return firstFailure.value_or(Error { QStringLiteral("the anchor carries no timestamp") });
    return out;
}
