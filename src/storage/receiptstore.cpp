#include "storage/receiptstore.h"

#include "core/atomicfile.h"
#include "core/jsonwriter.h"
#include "core/text.h"
#include "storage/nivetpaths.h"

#include <QCoro/QCoroFuture>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace {

const QString kSha256 = QStringLiteral("sha256");
const QString kRetentionDays = QStringLiteral("retention_days");
const QString kReceipts = QStringLiteral("receipts");
const QString kSourcePaths = QStringLiteral("source_paths");
const QString kUpdatedAt = QStringLiteral("updated_at");

Error invalid(const QString &what)
{
    return Error { QStringLiteral("Invalid receipt record: %1").arg(what) };
}

QString quoted(const QString &key)
{
    return QLatin1Char('"') + key + QLatin1Char('"');
}

// A member of the wrong type.
Error wrongType(const QString &key, const char *expected)
{
    return invalid(quoted(key) + QStringLiteral(" is not ") + QLatin1String(expected));
}

// A required member: present, not null, and of the given type.
Expected<QJsonValue> required(const QJsonObject &object, const QString &key, QJsonValue::Type type, const char *name)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return invalid(quoted(key) + QStringLiteral(" is missing"));
    if (value.type() != type)
        return wrongType(key, name);
    return value;
}

QString fileStem(const QString &digest)
{
    QString stem = digest;
    stem.replace(QLatin1Char('/'), QStringLiteral("%2F"));
    stem.replace(QChar(u'\0'), QStringLiteral("%00"));
    return stem;
}

QString recordPath(const QString &dir, const QString &digest)
{
    return dir + QLatin1Char('/') + fileStem(digest) + QStringLiteral(".json");
}

enum class Stored { none, record, unusable };

struct Loaded {
    Stored state = Stored::none;
    ReceiptRecord record;
};

// Whether a record's own digest is the one its file is named for. Our own
// saves write the normalised digest itself, which normalising again could
// change ("sha256:sha256:ab"); either form is this digest.
bool isRecordOf(const ReceiptRecord &record, const QString &digest)
{
    return record.sha256 == digest || ReceiptStore::normalizeDigest(record.sha256) == digest;
}

// A record of another digest under this name (a file copied or restored by
// hand, a sync tool's mix-up) is no more to be trusted than one that does not
// decode: it would vouch for the wrong file.
Loaded load(const QString &path, const QString &digest)
{
    QFile file(path);
    if (!file.exists())
        return {};
    if (!file.open(QIODevice::ReadOnly))
        return { Stored::unusable, {} };
    auto decoded = ReceiptRecord::fromJson(file.readAll());
    if (file.error() != QFileDevice::NoError || !decoded || !isRecordOf(*decoded, digest))
        return { Stored::unusable, {} };
    return { Stored::record, std::move(decoded).value() };
}

bool canonicallyEqual(const QString &a, const QString &b)
{
    return a == b || a.normalized(QString::NormalizationForm_C) == b.normalized(QString::NormalizationForm_C);
}

// The five service fields only: members of other names are the store's, not
// the service's, and never decide whether two receipts are the same.
Receipt serviceFields(const Receipt &receipt)
{
    Receipt plain = receipt;
    plain.extra = {};
    return plain;
}

QString mergeKey(const Receipt &receipt)
{
    if (receipt.receiptId && !receipt.receiptId->isEmpty())
        return QStringLiteral("id:") + *receipt.receiptId;
    // Text that has no UTF-8 form (a lone surrogate) cannot be compared by
    // its encoding; such a receipt is never merged with another.
    for (const auto *field : { &receipt.hash, &receipt.scope, &receipt.createdAt, &receipt.merkle }) {
        if (*field && !field->value().isValidUtf16())
            return QStringLiteral("uuid:") + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    }
    return QStringLiteral("json:") + QString::fromUtf8(JsonWriter::compact(serviceFields(receipt).toJson()));
}

Receipt combine(const Receipt &earlier, const Receipt &later)
{
    Receipt merged = earlier;
    if (later.receiptId)
        merged.receiptId = later.receiptId;
    for (auto field : { &Receipt::hash, &Receipt::scope, &Receipt::createdAt, &Receipt::merkle }) {
        const std::optional<QString> &value = later.*field;
        if (value && !value->isEmpty())
            merged.*field = value;
    }
    // The earlier (stored) receipt's members of other names win.
    merged.extra = later.extra;
    for (auto it = earlier.extra.begin(); it != earlier.extra.end(); ++it)
        merged.extra.insert(it.key(), it.value());
    return merged;
}

} // namespace

Expected<ReceiptRecord> ReceiptRecord::fromJson(const QByteArray &bytes)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        return invalid(QStringLiteral("%1 at offset %2").arg(parseError.errorString()).arg(parseError.offset));
    }
    if (!document.isObject())
        return invalid(QStringLiteral("not a JSON object"));
    const QJsonObject object = document.object();

    ReceiptRecord record;
    const auto sha256 = required(object, kSha256, QJsonValue::String, "a string");
    if (!sha256)
        return sha256.error();
    record.sha256 = sha256->toString();

    const QJsonValue retention = object.value(kRetentionDays);
    if (!retention.isUndefined() && !retention.isNull()) {
        // toInteger() gives its default unless the number is a whole number
        // within range; two different defaults tell the cases apart.
        const qint64 days = retention.toInteger(0);
        if (!retention.isDouble() || retention.toInteger(1) != days)
            return wrongType(kRetentionDays, "an integer");
        record.retentionDays = days;
    }

    const auto receipts = required(object, kReceipts, QJsonValue::Array, "an array");
    if (!receipts)
        return receipts.error();
    const QJsonArray receiptArray = receipts->toArray();
    for (const QJsonValue &element : receiptArray) {
        if (!element.isObject())
            return invalid(QStringLiteral("a receipt is not an object"));
        auto receipt = Receipt::fromJson(element.toObject());
        if (!receipt)
            return receipt.error();
        record.receipts.append(std::move(receipt).value());
    }

    const auto paths = required(object, kSourcePaths, QJsonValue::Array, "an array");
    if (!paths)
        return paths.error();
    const QJsonArray pathArray = paths->toArray();
    for (const QJsonValue &element : pathArray) {
        if (!element.isString())
            return invalid(QStringLiteral("a source path is not a string"));
        record.sourcePaths.append(element.toString());
    }

    const QJsonValue updated = object.value(kUpdatedAt);
    if (!updated.isUndefined() && !updated.isNull()) {
        if (!updated.isString())
            return wrongType(kUpdatedAt, "a string");
        record.updatedAt = updated.toString();
    }

    for (auto it = object.begin(); it != object.end(); ++it) {
        const QString &key = it.key();
        if (key != kSha256 && key != kRetentionDays && key != kReceipts && key != kSourcePaths && key != kUpdatedAt)
            record.extra.insert(key, it.value());
    }
    return record;
}

QByteArray ReceiptRecord::toJson() const
{
    QJsonObject object = extra;
    object.insert(kSha256, sha256);
    if (retentionDays)
        object.insert(kRetentionDays, *retentionDays);
    else
        object.remove(kRetentionDays);
    QJsonArray receiptArray;
    for (const Receipt &receipt : receipts)
        receiptArray.append(receipt.toJson());
    object.insert(kReceipts, receiptArray);
    object.insert(kSourcePaths, QJsonArray::fromStringList(sourcePaths));
    if (updatedAt)
        object.insert(kUpdatedAt, *updatedAt);
    else
        object.remove(kUpdatedAt);
    return JsonWriter::pretty(object);
}

namespace ReceiptStore {

QString normalizeDigest(const QString &sha256)
{
    QString digest = Text::trimmed(sha256).toLower();
    if (digest.startsWith(QLatin1String("sha256:")))
        digest.remove(0, 7);
    return digest;
}

QString receiptFileURL(const QString &sha256)
{
    return recordPath(NivetPaths::receiptsDirectory(), normalizeDigest(sha256));
}

std::optional<ReceiptRecord> read(const QString &sha256)
{
    const QString digest = normalizeDigest(sha256);
    Loaded loaded = load(recordPath(NivetPaths::receiptsDirectory(), digest), digest);
    if (loaded.state != Stored::record)
        return std::nullopt;
    return std::move(loaded.record);
}

QList<Receipt> merge(const QList<Receipt> &existing, const QList<Receipt> &incoming)
{
    QList<Receipt> merged;
    QHash<QString, qsizetype> index;
    for (const QList<Receipt> *list : { &existing, &incoming }) {
        for (const Receipt &receipt : *list) {
            const QString key = mergeKey(receipt);
            const auto found = index.constFind(key);
            if (found == index.cend()) {
                index.insert(key, merged.size());
                merged.append(receipt);
            } else {
                merged[*found] = combine(merged.at(*found), receipt);
            }
        }
    }
    return merged;
}

Expected<ReceiptRecord, SaveError> save(const QString &sha256, const QList<Receipt> &receipts,
    const std::optional<QString> &sourcePath, const QDateTime &now)
{
    const QString digest = normalizeDigest(sha256);
    const QString dir = NivetPaths::receiptsDirectory(); // also makes sure it exists, mode 0700
    const QString path = recordPath(dir, digest);

    // Read, merge and write as one step against other processes' saves.
    const AtomicFile::FolderLock lock(dir);
    if (lock.failure())
        return *lock.failure();
    AtomicFile::sweepScratch(dir, QStringLiteral("*.json"));

    ReceiptRecord record;
    Loaded loaded = load(path, digest);
    if (loaded.state == Stored::record) {
        record = std::move(loaded.record);
    } else if (loaded.state == Stored::unusable) {
        // Never overwrite what could not be kept.
        if (const int err = AtomicFile::setAside(path, now))
            return SaveError { SaveError::Kind::setAside, path, err, {} };
    }

    QList<Receipt> fromService;
    fromService.reserve(receipts.size());
    for (const Receipt &receipt : receipts)
        fromService.append(serviceFields(receipt));
    record.receipts = merge(record.receipts, fromService);
    record.sha256 = digest;
    record.updatedAt = now.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'"));
    if (sourcePath && !sourcePath->isEmpty()) {
        const bool seen = std::any_of(record.sourcePaths.cbegin(), record.sourcePaths.cend(),
            [&](const QString &p) { return canonicallyEqual(p, *sourcePath); });
        if (!seen)
            record.sourcePaths.append(*sourcePath);
    }
    if (auto written = AtomicFile::write(path, record.toJson(), 0600); !written)
        return written.error();
    return record;
}

QCoro::Task<Expected<ReceiptRecord, SaveError>> saveAsync(
    QString sha256, QList<Receipt> receipts, std::optional<QString> sourcePath)
{
    // The future goes into a local first: g++ 12 mishandles non-trivial
    // temporaries inside a co_await expression.
    QFuture<Expected<ReceiptRecord, SaveError>> future
        = QtConcurrent::run([sha256, receipts, sourcePath] { return save(sha256, receipts, sourcePath); });
    co_return co_await future;
}

QCoro::Task<std::optional<ReceiptRecord>> readAsync(QString sha256)
{
    QFuture<std::optional<ReceiptRecord>> future = QtConcurrent::run([sha256] { return read(sha256); });
    co_return co_await future;
}

} // namespace ReceiptStore
