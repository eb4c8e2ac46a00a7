#pragma once

#include "core/expected.h"

#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

/// The outcome class of one row. The first three pass, the last three fail.
enum class ResultKind { registered, found, valid, notFound, invalid, error };

namespace ResultKinds {
/// "registered", "found", "valid", "not_found", "invalid" or "error".
QString toText(ResultKind kind);
/// The kind whose text form is exactly text; nothing for any other text.
std::optional<ResultKind> fromText(const QString &text);
/// registered, found and valid pass; notFound, invalid and error fail.
bool passes(ResultKind kind);
} // namespace ResultKinds

/// One row of results: the outcome of one Register or Verify on one file.
struct FileResult {
    QString path;
    QString sha256;
    QString receiptId;
    QString createdAt;
    QString scope;
    QString status;
    QString merkle;
    ResultKind kind = ResultKind::error;

    /// path + "|" + sha256 + "|" + status: the row key in tables.
    QString id() const;
    bool passes() const { return ResultKinds::passes(kind); }

    friend bool operator==(const FileResult &, const FileResult &) = default;
};

size_t qHash(const FileResult &row, size_t seed = 0) noexcept;

/// One timestamp receipt issued by the service. Each field may be absent,
/// which is different from empty.
struct Receipt {
    std::optional<QString> receiptId; // "receipt_id"
    std::optional<QString> hash; // "hash"
    std::optional<QString> scope; // "scope"
    std::optional<QString> createdAt; // "created_at"
    std::optional<QString> merkle; // "merkle"

    /// Members of other names, kept so that a rewrite of a stored record does
    /// not destroy what another writer put there. Not part of equality.
    QJsonObject extra;

    /// A missing key or JSON null leaves a field absent; any other non-string
    /// value fails the whole decoding. Members of other names go to extra.
    static Expected<Receipt> fromJson(const QJsonObject &object);
    /// Only present fields are written, followed by the extra members.
    QJsonObject toJson() const;

    friend bool operator==(const Receipt &a, const Receipt &b)
    {
        return a.receiptId == b.receiptId && a.hash == b.hash && a.scope == b.scope && a.createdAt == b.createdAt
            && a.merkle == b.merkle;
    }
};

size_t qHash(const Receipt &receipt, size_t seed = 0) noexcept;

/// The decoded result of the "stamp" tool.
struct StampPayload {
    std::optional<QList<Receipt>> receipts;

    /// {"receipts": []} gives present and empty; {} or null gives absent;
    /// anything but an array of receipt objects fails.
    static Expected<StampPayload> fromJson(const QJsonObject &object);
    QJsonObject toJson() const;
};
