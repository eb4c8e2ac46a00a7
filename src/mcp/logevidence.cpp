// Evidence as it arrives: checked against the log key pinned for the
// service, witnessed against the largest tree head seen, then kept in a file
// of its own. The receipt record never holds it.
#include "mcp/mcpclient.h"

#include "evidence/evidence.h"
#include "evidence/evidencecheck.h"
#include "evidence/jsonfields.h"
#include "evidence/logpublickey.h"
#include "evidence/merkleproof.h"
#include "evidence/treehead.h"
#include "storage/evidencefiles.h"

#include <QCoro/QCoroFuture>
#include <QJsonArray>
#include <QtConcurrent/QtConcurrentRun>

#include <type_traits>

namespace {

// f() on a worker thread, awaited: files are read and flushed off the
// caller's thread, as receipts are.
template<typename F> QCoro::Task<std::invoke_result_t<F>> onWorker(F f)
{
    QFuture<std::invoke_result_t<F>> future = QtConcurrent::run(std::move(f));
    co_return co_await future;
}

Error mismatch(const QString &why)
{
    return Error { MCPClient::kEvidenceMismatch + why };
}

QString headText(const TreeHead &head)
{
    return QStringLiteral("%1 leaves (root %2, %3)")
        .arg(head.treeSize)
        .arg(QString::fromLatin1(head.root.toHex()), TreeHead::timeText(head.time));
}

} // namespace

const QString MCPClient::kEvidenceMismatch = QStringLiteral("Evidence does not match: ");

QString MCPClient::serviceKey() const
{
    return m_url.toString();
}

QCoro::Task<Expected<PinnedKey>> MCPClient::offeredKey(QString session)
{
    auto calling = callToolRaw(session, QStringLiteral("log_key"), {});
    auto reply = co_await calling;
    if (!reply)
        co_return Error { QStringLiteral("The service's log key cannot be read: ") + reply.error().description };
    const QString keyId = reply->value(QStringLiteral("key_id")).toString();
    auto key = LogPublicKey::fromPem(reply->value(QStringLiteral("public_key")).toString().toUtf8());
    if (!key)
        co_return Error { QStringLiteral("The service's log key cannot be read: ") + key.error().description };
    if (key->keyId() != keyId) {
        co_return Error {
            QStringLiteral("The service's log key is %1, not the key id %2 it names").arg(key->keyId(), keyId)
        };
    }
    co_return PinnedKey { keyId, key->pem(), {} };
}

QCoro::Task<Expected<PinnedKey>> MCPClient::fetchLogKey()
{
    auto session = co_await openSession();
    if (!session)
        co_return session.error();
    auto offering = offeredKey(*session);
    co_return co_await offering;
}

QCoro::Task<Expected<PinnedKey>> MCPClient::trustedKey(QString session, QString headKeyId)
{
    const QString service = serviceKey();
    auto reading = onWorker([service] { return LogKeyPins::pinned(service); });
    const auto pinned = co_await reading;
    if (!pinned)
        co_return pinned.error();
    if (*pinned && (*pinned)->keyId == headKeyId)
        co_return **pinned;
    // First use pins what the service offers; a head by another key than the
    // pinned one is either a forgery or a new key, which only the user may accept.
    auto offering = offeredKey(session);
    const auto offered = co_await offering;
    if (!offered)
        co_return offered.error();
    if (*pinned) {
        if (offered->keyId == (*pinned)->keyId)
            co_return **pinned; // the check names the stranger's key
        co_return Error { QStringLiteral("The log key of %1 changed: %2 is pinned, the service now offers %3. "
                                         "Accept the new key only if its operator confirms it: "
                                         "nivet-timestamp key accept %1, or Accept New Key in Settings")
                              .arg(service, (*pinned)->keyId, offered->keyId) };
    }
    auto pinning
        = onWorker([service, key = *offered] { return LogKeyPins::pinFirst(service, key.keyId, key.publicKey); });
    const auto pin = co_await pinning;
    if (!pin)
        co_return Error { QStringLiteral("The log key could not be pinned: ") + pin.error().describe() };
    co_return *pin;
}

QCoro::Task<Expected<void>> MCPClient::witness(QString session, TreeHead head)
{
    auto reading = onWorker([keyId = head.keyId, scope = head.scope] { return Witness::largest(keyId, scope); });
    const auto kept = co_await reading;
    if (!kept)
        co_return kept.error();
    if (*kept) {
        const auto seen = TreeHead::fromJson(**kept, QStringLiteral("witness"));
        if (!seen)
            co_return Error { Witness::path() + QStringLiteral(" cannot be read: ") + seen.error().description };
        const TreeHead &small = seen->treeSize <= head.treeSize ? *seen : head;
        const TreeHead &large = seen->treeSize <= head.treeSize ? head : *seen;
        bool extends = small.root == large.root;
        if (small.treeSize != large.treeSize) {
            const QJsonObject arguments { { QStringLiteral("scope"), head.scope },
                { QStringLiteral("first"), small.treeSize }, { QStringLiteral("second"), large.treeSize } };
            auto asking = callToolRaw(session, QStringLiteral("consistency"), arguments);
            const auto reply = co_await asking;
            if (!reply)
                co_return Error { QStringLiteral("The consistency proof from %1 to %2 leaves cannot be had: %3")
                                      .arg(small.treeSize)
                                      .arg(large.treeSize)
                                      .arg(reply.error().description) };
            const auto fields = JsonFields::of(*reply, QStringLiteral("consistency"));
            const auto proof
                = fields ? fields->hashes(QStringLiteral("proof")) : Expected<QList<QByteArray>>(fields.error());
            if (!proof)
                co_return Error { QStringLiteral("The consistency proof cannot be read: ")
                    + proof.error().description };
            extends = MerkleProof::consistencyHolds(small.treeSize, large.treeSize, small.root, large.root, *proof);
        }
        if (!extends) {
            m_halt = QStringLiteral("The log was forked or rewritten: its tree heads of scope %1 with %2 and with %3, "
                                    "both signed by %4, do not extend each other")
                         .arg(head.scope, headText(small), headText(large), head.keyId);
            co_return Error { *m_halt };
        }
        if (seen->treeSize >= head.treeSize)
            co_return {};
    }
    auto recording = onWorker([json = head.toJson()] { return Witness::record(json); });
    const auto recorded = co_await recording;
    if (!recorded)
        co_return Error { QStringLiteral("The tree head could not be witnessed: ") + recorded.error().describe() };
    co_return {};
}

QCoro::Task<Expected<void>> MCPClient::acceptEvidence(
    QString session, QString sha256, QString receiptId, QJsonValue evidenceJson)
{
    if (evidenceJson.isUndefined() || evidenceJson.isNull())
        co_return {}; // a service without a signed log
    const auto evidence = Evidence::fromJson(evidenceJson);
    if (!evidence)
        co_return mismatch(evidence.error().description);
    auto trusting = trustedKey(session, evidence->treeHead.keyId);
    const auto key = co_await trusting;
    if (!key)
        co_return key.error();
    const auto checked = checkEvidence(sha256, *evidence, key->publicKey);
    if (!checked)
        co_return mismatch(checked.error().description);

    QList<TreeHead> heads { evidence->treeHead };
    if (evidence->anchor)
        heads.append(evidence->anchor->treeHead);
    for (const TreeHead &head : heads) {
        auto witnessing = witness(session, head);
        const auto witnessed = co_await witnessing;
        if (!witnessed)
            co_return witnessed.error();
    }
    const EvidenceItem item { receiptId, serviceKey(), key->publicKey, evidence->toJson() };
    auto saving = onWorker([sha256, item] { return EvidenceStore::save(sha256, item); });
    const auto saved = co_await saving;
    if (!saved)
        co_return Error { QStringLiteral("The evidence was checked but not saved: ") + saved.error().describe() };
    co_return {};
}

QCoro::Task<Expected<bool>> MCPClient::updateEvidence(QString sha256, QString receiptId)
{
    auto session = co_await openSession();
    if (!session)
        co_return session.error();
    auto asking = callToolRaw(*session, QStringLiteral("evidence"), { { QStringLiteral("receipt_id"), receiptId } });
    const auto reply = co_await asking;
    if (!reply)
        co_return reply.error();
    const QJsonValue evidence = reply->value(QStringLiteral("receipt")).toObject().value(QStringLiteral("evidence"));
    if (!evidence.isObject())
        co_return Error { QStringLiteral("The service sent no evidence for this receipt") };
    auto accepting = acceptEvidence(*session, sha256, receiptId, evidence);
    const auto accepted = co_await accepting;
    if (!accepted)
        co_return accepted.error();
    co_return evidence.toObject().value(QStringLiteral("anchor")).isObject();
}

FileResult MCPClient::evidenceFailed(FileResult row, const Error &why)
{
    const bool checkFailed = why.description.startsWith(kEvidenceMismatch);
    row.status = checkFailed ? why.description : QStringLiteral("Error: ") + why.description;
    row.kind = checkFailed ? ResultKind::invalid : ResultKind::error;
    return row;
}
