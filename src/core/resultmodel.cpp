#include "core/resultmodel.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonValue>

#include <array>

namespace {

constexpr std::array<std::pair<ResultKind, const char *>, 6> kKindTexts { {
    { ResultKind::registered, "registered" },
    { ResultKind::found, "found" },
    { ResultKind::valid, "valid" },
    { ResultKind::notFound, "not_found" },
    { ResultKind::invalid, "invalid" },
    { ResultKind::error, "error" },
} };

// What a decoding error says was found.
const char *jsonTypeName(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Bool:
        return "a boolean";
    case QJsonValue::Double:
        return "a number";
    case QJsonValue::String:
        return "a string";
    case QJsonValue::Array:
        return "an array";
    case QJsonValue::Object:
        return "an object";
    case QJsonValue::Null:
        return "null";
    case QJsonValue::Undefined:
        return "missing";
    }
    return "missing";
}

} // namespace

namespace ResultKinds {

QString toText(ResultKind kind)
{
    for (const auto &[k, text] : kKindTexts) {
        if (k == kind)
            return QString::fromLatin1(text);
    }
    return {};
}

std::optional<ResultKind> fromText(const QString &text)
{
    for (const auto &[k, t] : kKindTexts) {
        if (text == QLatin1String(t))
            return k;
    }
    return std::nullopt;
}

bool passes(ResultKind kind)
{
    return kind == ResultKind::registered || kind == ResultKind::found || kind == ResultKind::valid;
}

} // namespace ResultKinds

QString FileResult::id() const
{
    return path + QLatin1Char('|') + sha256 + QLatin1Char('|') + status;
}

size_t qHash(const FileResult &row, size_t seed) noexcept
{
    return qHashMulti(seed, row.path, row.sha256, row.receiptId, row.createdAt, row.scope, row.status, row.merkle,
        ResultKinds::toText(row.kind));
}

static const QString kReceiptId = QStringLiteral("receipt_id");
static const QString kHash = QStringLiteral("hash");
static const QString kScope = QStringLiteral("scope");
static const QString kCreatedAt = QStringLiteral("created_at");
static const QString kMerkle = QStringLiteral("merkle");

Expected<Receipt> Receipt::fromJson(const QJsonObject &object)
{
    Receipt receipt;
    const std::array<std::pair<const QString *, std::optional<QString> Receipt::*>, 5> fields { {
        { &kReceiptId, &Receipt::receiptId },
        { &kHash, &Receipt::hash },
        { &kScope, &Receipt::scope },
        { &kCreatedAt, &Receipt::createdAt },
        { &kMerkle, &Receipt::merkle },
    } };
    for (auto it = object.begin(); it != object.end(); ++it) {
        bool known = false;
        for (const auto &[key, member] : fields) {
            if (it.key() != *key)
                continue;
            known = true;
            const QJsonValue value = it.value();
            if (value.isNull())
                break;
            if (!value.isString()) {
                return Error { QStringLiteral("Invalid receipt: \"%1\" is %2, expected a string")
                                   .arg(*key, QLatin1String(jsonTypeName(value))) };
            }
            receipt.*member = value.toString();
            break;
        }
        if (!known)
            receipt.extra.insert(it.key(), it.value());
    }
    return receipt;
}

QJsonObject Receipt::toJson() const
{
    QJsonObject object = extra;
    const auto put = [&](const QString &key, const std::optional<QString> &value) {
        if (value)
            object.insert(key, *value);
        else
            object.remove(key);
    };
    put(kReceiptId, receiptId);
    put(kHash, hash);
    put(kScope, scope);
    put(kCreatedAt, createdAt);
    put(kMerkle, merkle);
    return object;
}

size_t qHash(const Receipt &r, size_t seed) noexcept
{
    const auto h = [](const std::optional<QString> &v) { return v ? qHash(*v) + 1 : size_t(0); };
    return qHashMulti(seed, h(r.receiptId), h(r.hash), h(r.scope), h(r.createdAt), h(r.merkle));
}

Expected<StampPayload> StampPayload::fromJson(const QJsonObject &object)
{
    StampPayload payload;
    const QJsonValue value = object.value(QStringLiteral("receipts"));
    if (value.isUndefined() || value.isNull())
        return payload;
    if (!value.isArray()) {
        return Error { QStringLiteral("Invalid stamp reply: \"receipts\" is %1, expected an array")
                           .arg(QLatin1String(jsonTypeName(value))) };
    }
    QList<Receipt> receipts;
    const QJsonArray array = value.toArray();
    for (qsizetype i = 0; i < array.size(); ++i) {
        if (!array.at(i).isObject()) {
            return Error { QStringLiteral("Invalid stamp reply: receipt %1 is %2, expected an object")
                               .arg(i + 1)
                               .arg(QLatin1String(jsonTypeName(array.at(i)))) };
        }
        auto receipt = Receipt::fromJson(array.at(i).toObject());
        if (!receipt)
            return receipt.error();
        receipts.append(receipt.value());
    }
    payload.receipts = receipts;
    return payload;
}

QJsonObject StampPayload::toJson() const
{
    QJsonObject object;
    if (receipts) {
        QJsonArray array;
        for (const Receipt &r : *receipts)
            array.append(r.toJson());
        object.insert(QStringLiteral("receipts"), array);
    }
    return object;
}
