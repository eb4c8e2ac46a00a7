#pragma once

#include "core/resultmodel.h"
#include "core/stampingclient.h"
#include "evidence/logpublickey.h"
#include "evidence/rfc3161.h"
#include "storage/evidencefiles.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMutex>

#include <memory>
#include <utility>

/// Verify with no network at all: each file's kept evidence (Nivet/evidence)
/// is checked against the log key it was checked with when it arrived and,
/// when anchored, the authorities' tokens against the trusted CAs. The rows:
/// "Existed by <time>: …" or exactly what failed.
class OfflineVerifier : public StampingClient {
public:
    /// trustedCaPems: the authorities' CAs to trust (PEM texts); none: the
    /// system's CA store.
    explicit OfflineVerifier(QList<QByteArray> trustedCaPems = {});
    /// The CAs to trust when none are named: those in <Nivet>/tsa-ca.pem
    /// when that file exists (a private authority's), else none (the
    /// system's CA store); or why the file cannot be read.
    static Expected<QList<QByteArray>> configuredCas();
    ~OfflineVerifier() override;

    /// Registering needs the service: an error row.
    QCoro::Task<FileResult> registerFile(QString path, QString sha256, QString scope) override;
    /// Checks the evidence off the caller's thread; the row.
    QCoro::Task<FileResult> verify(QString path, QString sha256, QString scope) override;

    /// The row for the file at path whose digest is sha256, from the items kept.
    FileResult check(const QString &path, const QString &sha256, const Expected<QList<EvidenceItem>> &items);

private:
    Expected<Rfc3161::TokenCheck> checkToken(const QByteArray &token, const QByteArray &message);
    Expected<LogPublicKey> key(const QByteArray &pem);
    bool verifies(const LogPublicKey &key, const QByteArray &message, const QByteArray &signature);

    QList<QByteArray> m_trustedCaPems;
    // A token's check depends only on its bytes, the head it covers and the
    // CAs: many files share one anchor, whose token is checked once a run.
    QMutex m_mutex;
    QHash<std::pair<QByteArray, QByteArray>, Expected<Rfc3161::TokenCheck>> m_tokens; // by token and head
    QHash<QByteArray, Expected<LogPublicKey>> m_keys; // by PEM: reading one costs more than a check
    // Anchored heads' signature checks by key id, message and signature: one
    // anchored head is shared by many files, and one Ed25519 check costs more
    // than the rest of a file's check. A file's own head is seldom shared, so
    // its check is not kept.
    QHash<std::pair<QByteArray, QByteArray>, bool> m_signatures;
};
