// Register: stamp one digest, keep every receipt the service returns, and
// show the one that matches the first.
#include "mcp/mcpclient.h"

#include "core/resultrows.h"
#include "storage/receiptstore.h"

#include <optional>

namespace {

bool usable(const std::optional<QString> &value)
{
    return value.has_value() && !value->isEmpty();
}

// The first usable value of field among the stored receipts, preferring one
// whose identifier equals id.
std::optional<QString> storedFallback(
    const QList<Receipt> &stored, const std::optional<QString> &id, std::optional<QString> Receipt::*field)
{
    for (const Receipt &r : stored) {
        if (r.receiptId == id && usable(r.*field))
            return r.*field;
    }
    for (const Receipt &r : stored) {
        if (usable(r.*field))
            return r.*field;
    }
    return std::nullopt;
}

// E: the first reply receipt with the gaps filled from the arguments and the
// record that was on disk before the call.
Receipt fallbackReceipt(
    const Receipt &first, const QString &sha256, const QString &scope, const std::optional<ReceiptRecord> &existing)
{
    Receipt e;
    e.receiptId = first.receiptId;
    e.hash = usable(first.hash) ? first.hash : std::optional<QString>(sha256);
    e.scope = usable(first.scope) ? first.scope : std::optional<QString>(scope);
    for (auto field : { &Receipt::createdAt, &Receipt::merkle }) {
        e.*field = first.*field;
        if (usable(first.*field) || !existing)
            continue;
        if (auto stored = storedFallback(existing->receipts, first.receiptId, field))
            e.*field = stored;
    }
    return e;
}

} // namespace

QCoro::Task<FileResult> MCPClient::registerFile(QString path, QString sha256, QString scope)
{
    auto reading = ReceiptStore::readAsync(sha256);
    const std::optional<ReceiptRecord> existing = co_await reading;

    auto session = co_await openSession();
    if (!session)
        co_return ResultRows::error(path, sha256, scope, session.error().description);

    const QString sessionId = session.value();
    const QString tool = QStringLiteral("stamp");
    const QJsonObject arguments { { QStringLiteral("sha256"), sha256 }, { QStringLiteral("scope"), scope } };
    auto result = co_await callToolRaw(sessionId, tool, arguments);
    if (!result)
        co_return ResultRows::error(path, sha256, scope, result.error().description);

    const Expected<StampPayload> payload = StampPayload::fromJson(result.value());
    if (!payload)
        co_return ResultRows::error(path, sha256, scope, payload.error().description);
    if (!payload->receipts || payload->receipts->isEmpty())
        co_return ResultRows::error(path, sha256, scope, QStringLiteral("no receipt in MCP response"));

    const QList<Receipt> &receipts = *payload->receipts;
    const Receipt &first = receipts.first();
    const Receipt fallback = fallbackReceipt(first, sha256, scope, existing);

    // Evidence is checked and kept before the receipts; evidence that does
    // not check fails the row, yet the receipts are kept as ever: the stamp
    // was made, and the sibling client reads them.
    std::optional<Error> evidenceProblem;
    for (const Receipt &r : receipts) {
        auto accepting = acceptEvidence(
            sessionId, sha256, r.receiptId.value_or(QString()), r.extra.value(QStringLiteral("evidence")));
        const auto accepted = co_await accepting;
        if (!accepted) {
            evidenceProblem = accepted.error();
            break;
        }
    }

    // All receipts are kept; the row shows the stored one matching the first.
    // On a worker thread: a save waits for the disk, and a busy disk must not
    // freeze the window. The row comes only once the receipts are on disk.
    const std::optional<QString> source = path;
    auto saving = ReceiptStore::saveAsync(sha256, receipts, source);
    const auto stored = co_await saving;
    Receipt shown = fallback;
    if (stored && !stored->receipts.isEmpty()) {
        shown = stored->receipts.first();
        for (const Receipt &r : stored->receipts) {
            if (r.receiptId == first.receiptId) {
                shown = r;
                break;
            }
        }
    }

    FileResult row;
    row.path = path;
    row.sha256 = usable(shown.hash) ? *shown.hash : sha256;
    row.receiptId = shown.receiptId.value_or(QString());
    row.createdAt = shown.createdAt.value_or(QString());
    row.scope = shown.scope.has_value() ? *shown.scope : scope;
    row.status = QStringLiteral("Registered");
    row.merkle = shown.merkle.value_or(QString());
    row.kind = ResultKind::registered;
    if (!stored)
        co_return ResultRows::receiptNotSaved(row, stored.error());
    if (evidenceProblem)
        co_return evidenceFailed(row, *evidenceProblem);
    co_return row;
}
