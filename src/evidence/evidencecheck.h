#pragma once

#include "core/expected.h"
#include "evidence/evidence.h"
#include "evidence/logpublickey.h"
#include "evidence/rfc3161.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

/// An authority's timestamp that checked.
struct CheckedTimestamp {
    QString url; // where the service asked (its word, not checked)
    QString authority; // the signer certificate's subject, one-line form
    QDateTime time; // the token's genTime, UTC
};

/// What evidence proves once it checks: the file's digest is leaf leafIndex
/// of the log whose key is keyId, in the tree of scope signed at headTime;
/// with an anchor, also in a later tree head that independent authorities
/// dated.
struct EvidenceCheck {
    QString keyId;
    QString scope;
    qint64 treeSize = 0;
    QDateTime headTime;
    bool anchored = false;
    qint64 anchorTreeSize = 0;
    QDateTime anchorHeadTime;
    QList<CheckedTimestamp> timestamps; // only when the tokens were checked
};

/// Checks evidence for the file whose SHA-256 is sha256Hex (64 lower-case hex)
/// against publicKeyPem, the log key the caller trusts (the pinned one): the
/// leaf is the digest, each audit path leads to its signed root, each head is
/// signed by that key. With trustedCaPems (empty: the system's CA store), the
/// anchor's timestamps are checked too and at least one must hold; without,
/// they are not looked at. The error is what failed, worded to follow
/// "Evidence does not match: ".
///
/// checkToken, when given, stands in for Rfc3161::checkToken with the same
/// trustedCaPems, and verify for the key's own check of the anchored head's
/// signature: a caller checking many files whose evidence shares an anchor
/// checks its token and its signature once.
using TokenChecker = std::function<Expected<Rfc3161::TokenCheck>(const QByteArray &token, const QByteArray &message)>;
Expected<EvidenceCheck> checkEvidence(const QString &sha256Hex, const Evidence &evidence,
    const QByteArray &publicKeyPem, const std::optional<QList<QByteArray>> &trustedCaPems = std::nullopt,
    const TokenChecker &checkToken = {});
/// The same with the key read already: reading PEM costs more than the
/// whole check, so a caller checking many files reads each key once.
Expected<EvidenceCheck> checkEvidence(const QString &sha256Hex, const Evidence &evidence, const LogPublicKey &key,
    const std::optional<QList<QByteArray>> &trustedCaPems = std::nullopt, const TokenChecker &checkToken = {},
    const LogPublicKey::Verifier &verify = {});
