// Verify: by the first local receipt's identifier when there is one, else by
// a report on the digest. Positive answers are written back to the local
// record so that the next Verify can go by identifier.
#include "mcp/mcpclient.h"

#include "core/resultrows.h"
#include "storage/receiptstore.h"

#include <QJsonArray>

#include <initializer_list>
#include <optional>

namespace {

// The first member of object, among keys, that holds text. Members of other
// JSON types count as absent.
std::optional<QString> firstText(const QJsonObject &object, std::initializer_list<const char *> keys)
{
    for (const char *key : keys) {
        const QJsonValue value = object.value(QLatin1String(key));
        if (value.isString())
            return value.toString();
    }
    return std::nullopt;
}

// A row, and the receipt to record locally for it, if any.
struct Outcome {
    FileResult row;
    std::optional<Receipt> toSave;
};

FileResult outcome(const QString &path, const QString &sha256, const QString &receiptId, const QString &createdAt,
    const QString &scope, const QString &status, const QString &merkle, ResultKind kind)
{
    return FileResult { path, sha256, receiptId, createdAt, scope, status, merkle, kind };
}

// The row for the "verify" tool's result object raw, which answered about
// receiptId; fallback is the local receipt that was verified. A confirmed
// receipt is to be saved.
Outcome parseVerifyResponse(const QString &path, const QString &sha256, const QString &scope, const QString &receiptId,
    const QJsonObject &raw, const Receipt &fallback)
{
    const QJsonValue validValue = raw.value(QStringLiteral("valid"));
    // Only a JSON boolean is a verdict; the text "true" is none.
    enum class Verdict { none, valid, invalid };
    const Verdict verdict = !validValue.isBool() ? Verdict::none
        : validValue.toBool()                    ? Verdict::valid
                                                 : Verdict::invalid;
    const QJsonValue receiptValue = raw.value(QStringLiteral("receipt"));
    const std::optional<QJsonObject> d
        = receiptValue.isObject() ? std::optional<QJsonObject>(receiptValue.toObject()) : std::nullopt;

    // Each value: the verified receipt's, then the reply's own, then the
    // local receipt's.
    const auto pick = [&](const char *key, std::initializer_list<const char *> topKeys,
                          const std::optional<QString> &local) -> std::optional<QString> {
        if (d) {
            if (auto v = firstText(*d, { key }))
                return v;
        }
        if (auto v = firstText(raw, topKeys))
            return v;
        return local;
    };
    const QString created = pick("created_at", { "created_at", "timestamp" }, fallback.createdAt).value_or(QString());
    const QString merkle = pick("merkle", { "merkle", "blockHash" }, fallback.merkle).value_or(QString());
    const QString sc = pick("scope", { "scope" }, fallback.scope).value_or(scope);
    const QString rid = (d ? firstText(*d, { "receipt_id" }) : std::nullopt).value_or(receiptId);

    if (verdict == Verdict::valid || (verdict == Verdict::none && d)) {
        Receipt confirmed;
        confirmed.receiptId = rid;
        confirmed.hash = sha256;
        confirmed.scope = sc;
        confirmed.createdAt = created;
        confirmed.merkle = merkle;
        return { outcome(path, sha256, rid, created, sc, QStringLiteral("Valid"), merkle, ResultKind::valid),
            confirmed };
    }
    if (verdict == Verdict::none) {
        if (rid.isEmpty())
            return { ResultRows::notFound(path, sha256, scope), std::nullopt };
        return { outcome(path, sha256, rid, created, sc, QStringLiteral("Found"), merkle, ResultKind::found),
            std::nullopt };
    }
    // The verdict is false.
    if (!d && receiptValue.isNull() && raw.contains(QStringLiteral("receipt")))
        return { ResultRows::notFound(path, sha256, scope), std::nullopt };
    const QString reason = firstText(raw, { "error" }).value_or(QStringLiteral("Invalid"));
    return { outcome(path, sha256, rid, created, sc, QStringLiteral("Invalid: ") + reason, merkle, ResultKind::invalid),
        std::nullopt };
}

// The row for a "hash_report" result; a found report is to be saved.
Outcome evaluateHashReport(const QString &path, const QString &sha256, const QString &scope, const QJsonObject &report)
{
    const QJsonValue receiptsValue = report.value(QStringLiteral("receipts"));
    if (!receiptsValue.isArray())
        return { ResultRows::notFound(path, sha256, scope), std::nullopt };
    const QJsonArray receipts = receiptsValue.toArray();
    if (receipts.isEmpty())
        return { ResultRows::notFound(path, sha256, scope), std::nullopt };
    for (const QJsonValue &element : receipts) {
        if (!element.isObject())
            return { ResultRows::notFound(path, sha256, scope), std::nullopt };
    }

    const QJsonObject e = receipts.first().toObject();
    Receipt found;
    found.receiptId = firstText(e, { "receipt_id" });
    found.hash = firstText(e, { "hash" }).value_or(sha256);
    found.scope = firstText(e, { "scope" }).value_or(scope);
    found.createdAt = firstText(e, { "created_at", "timestamp" }).value_or(QString());
    found.merkle = firstText(e, { "merkle", "blockHash" }).value_or(QString());
    return { outcome(path, sha256, found.receiptId.value_or(QString()), *found.createdAt, *found.scope,
                 QStringLiteral("Found"), *found.merkle, ResultKind::found),
        found };
}

// The evidence members of the receipts in a verify or hash_report reply, by
// receipt id.
QList<std::pair<QString, QJsonValue>> evidenceIn(const QJsonObject &reply)
{
    QJsonArray receipts = reply.value(QStringLiteral("receipts")).toArray();
    if (reply.value(QStringLiteral("receipt")).isObject())
        receipts.prepend(reply.value(QStringLiteral("receipt")));
    QList<std::pair<QString, QJsonValue>> out;
    for (const QJsonValue &receipt : receipts) {
        const QJsonValue evidence = receipt.toObject().value(QStringLiteral("evidence"));
        if (!evidence.isUndefined() && !evidence.isNull())
            out.append({ receipt.toObject().value(QStringLiteral("receipt_id")).toString(), evidence });
    }
    return out;
}

} // namespace

QCoro::Task<FileResult> MCPClient::verify(QString path, QString sha256, QString scope)
{
    auto session = co_await openSession();
    if (!session)
        co_return ResultRows::error(path, sha256, scope, session.error().description);
    const QString sessionId = session.value();

    Outcome answer;
    QJsonObject reply;
    auto reading = ReceiptStore::readAsync(sha256);
    const std::optional<ReceiptRecord> record = co_await reading;
    // Only the first receipt is considered; without an identifier the digest
    // itself is looked up.
    if (record && !record->receipts.isEmpty() && record->receipts.first().receiptId.has_value()
        && !record->receipts.first().receiptId->isEmpty()) {
        const Receipt r0 = record->receipts.first();
        const QString receiptId = *r0.receiptId;
        const QString tool = QStringLiteral("verify");
        const QJsonObject arguments { { QStringLiteral("receipt_id"), receiptId },
            { QStringLiteral("want_scope"), scope } };
        auto result = co_await callToolRaw(sessionId, tool, arguments);
        if (!result)
            co_return ResultRows::error(path, sha256, scope, result.error().description);
        answer = parseVerifyResponse(path, sha256, scope, receiptId, result.value(), r0);
        reply = result.value();
    } else {
        const QString tool = QStringLiteral("hash_report");
        const QJsonObject arguments { { QStringLiteral("sha256"), sha256 }, { QStringLiteral("want_scope"), scope } };
        auto report = co_await callToolRaw(sessionId, tool, arguments);
        // Any failure of the report means nothing was found.
        if (!report)
            co_return ResultRows::notFound(path, sha256, scope);
        answer = evaluateHashReport(path, sha256, scope, report.value());
        reply = report.value();
    }

    // The evidence of a positive answer is checked and kept before its receipt.
    if (answer.row.passes()) {
        for (const auto &[receiptId, evidence] : evidenceIn(reply)) {
            auto accepting = acceptEvidence(sessionId, sha256, receiptId, evidence);
            const auto accepted = co_await accepting;
            if (!accepted)
                co_return evidenceFailed(answer.row, accepted.error());
        }
    }
    if (answer.toSave) {
        // On a worker thread and awaited, like Register's save.
        const QList<Receipt> receipts { *answer.toSave };
        const std::optional<QString> source = path;
        auto saving = ReceiptStore::saveAsync(sha256, receipts, source);
        const auto saved = co_await saving;
        if (!saved)
            co_return ResultRows::receiptNotSaved(answer.row, saved.error());
    }
    co_return answer.row;
}
