#include "storage/evidencefiles.h"

#include "core/atomicfile.h"
#include "core/jsonwriter.h"
#include "storage/nivetpaths.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <functional>

#include <sys/stat.h>

namespace {

const QString kItems = QStringLiteral("items");
const QString kReceiptId = QStringLiteral("receipt_id");
const QString kService = QStringLiteral("service");
const QString kPublicKey = QStringLiteral("public_key");
const QString kEvidence = QStringLiteral("evidence");
const QString kKeyId = QStringLiteral("key_id");
const QString kPinnedAt = QStringLiteral("pinned_at");
const QString kScope = QStringLiteral("scope");
const QString kTreeSize = QStringLiteral("tree_size");
const QString kEvidenceFolder = QStringLiteral("/evidence");

Error unreadable(const QString &path, const QString &why)
{
    return Error { QStringLiteral("%1 cannot be read: %2").arg(path, why) };
}

// The JSON object in path; nothing when there is no file.
Expected<std::optional<QJsonObject>> readObject(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (!file.exists())
            return std::optional<QJsonObject>();
        return unreadable(path, file.errorString());
    }
    QJsonParseError parseError {};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return unreadable(path, parseError.errorString());
    if (!document.isObject())
        return unreadable(path, QStringLiteral("not a JSON object"));
    return std::optional<QJsonObject>(document.object());
}

// Reads path's object under its folder's lock, lets change edit it, and
// writes it back when change says so. A file that does not decode is set
// aside first: whatever it held stays on disk.
Expected<void, SaveError> updateObject(const QString &path, const std::function<bool(QJsonObject &)> &change)
{
    const QString folder = QFileInfo(path).path();
    const AtomicFile::FolderLock lock(folder);
    if (lock.failure())
        return *lock.failure();
    AtomicFile::sweepScratch(folder, QFileInfo(path).fileName());
    QJsonObject object;
    const auto current = readObject(path);
    if (current && *current) {
        object = **current;
    } else if (!current) {
        if (const int err = AtomicFile::setAside(path, QDateTime::currentDateTimeUtc()))
            return SaveError { SaveError::Kind::setAside, path, err, {} };
    }
    if (!change(object))
        return {};
    return AtomicFile::write(path, JsonWriter::pretty(object), 0600);
}

std::optional<EvidenceItem> itemOf(const QJsonValue &value)
{
    const QJsonObject o = value.toObject();
    if (!o.value(kReceiptId).isString() || !o.value(kEvidence).isObject())
        return std::nullopt;
    return EvidenceItem { o.value(kReceiptId).toString(), o.value(kService).toString(),
        o.value(kPublicKey).toString().toUtf8(), o.value(kEvidence).toObject() };
}

// Reading creates no folder; saving does.
QString evidencePath(const QString &sha256, bool forSaving)
{
    const QString dir
        = forSaving ? EvidenceStore::directory() : NivetPaths::applicationSupportNivetPath() + kEvidenceFolder;
    return dir + QLatin1Char('/') + sha256 + QStringLiteral(".json");
}

std::optional<PinnedKey> pinOf(const QJsonValue &value)
{
    const QJsonObject o = value.toObject();
    if (!o.value(kKeyId).isString() || !o.value(kPublicKey).isString())
        return std::nullopt;
    return PinnedKey { o.value(kKeyId).toString(), o.value(kPublicKey).toString().toUtf8(),
        o.value(kPinnedAt).toString() };
}

Expected<PinnedKey, SaveError> pin(
    const QString &service, const QString &keyId, const QByteArray &publicKey, bool replace)
{
    PinnedKey inEffect { keyId, publicKey,
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'")) };
    auto written = updateObject(LogKeyPins::path(), [&](QJsonObject &pins) {
        if (!replace) {
            if (auto existing = pinOf(pins.value(service))) {
                inEffect = *existing;
                return false;
            }
        }
        pins.insert(service,
            QJsonObject { { kKeyId, inEffect.keyId }, { kPublicKey, QString::fromUtf8(inEffect.publicKey) },
                { kPinnedAt, inEffect.pinnedAt } });
        return true;
    });
    if (!written)
        return written.error();
    return inEffect;
}

} // namespace

bool EvidenceItem::anchored() const
{
    return evidence.value(QStringLiteral("anchor")).isObject();
}

QJsonObject EvidenceItem::toJson() const
{
    return { { kReceiptId, receiptId }, { kService, service }, { kPublicKey, QString::fromUtf8(publicKey) },
        { kEvidence, evidence } };
}

namespace EvidenceStore {

QString directory()
{
    const QString dir = NivetPaths::applicationSupportNivet() + kEvidenceFolder;
    const QByteArray native = QFile::encodeName(dir);
    if (::mkdir(native.constData(), 0700) == 0)
        ::chmod(native.constData(), 0700);
    return dir;
}

Expected<QList<EvidenceItem>> read(const QString &sha256)
{
    const auto object = readObject(evidencePath(sha256, false));
    if (!object)
        return object.error();
    QList<EvidenceItem> items;
    if (!*object)
        return items;
    const QJsonArray array = (*object)->value(kItems).toArray();
    for (const QJsonValue &value : array) {
        if (auto item = itemOf(value))
            items.append(*item);
    }
    return items;
}

Expected<void, SaveError> save(const QString &sha256, const EvidenceItem &item)
{
    return updateObject(evidencePath(sha256, true), [&](QJsonObject &file) {
        QJsonArray items = file.value(kItems).toArray();
        qsizetype at = items.size();
        for (qsizetype i = 0; i < items.size(); ++i) {
            const auto kept = itemOf(items.at(i));
            if (kept && kept->receiptId == item.receiptId) {
                if (kept->anchored() && !item.anchored())
                    return false;
                at = i;
                break;
            }
        }
        if (at == items.size())
            items.append(item.toJson());
        else
            items.replace(at, item.toJson());
        file.insert(QStringLiteral("sha256"), sha256);
        file.insert(kItems, items);
        return true;
    });
}

} // namespace EvidenceStore

namespace LogKeyPins {

QString path()
{
    return NivetPaths::applicationSupportNivet() + QStringLiteral("/log-keys.json");
}

Expected<QMap<QString, PinnedKey>> all()
{
    const auto object = readObject(path());
    if (!object)
        return object.error();
    QMap<QString, PinnedKey> pins;
    if (*object) {
        for (auto it = (*object)->begin(); it != (*object)->end(); ++it) {
            if (auto key = pinOf(it.value()))
                pins.insert(it.key(), *key);
        }
    }
    return pins;
}

Expected<std::optional<PinnedKey>> pinned(const QString &service)
{
    const auto pins = all();
    if (!pins)
        return pins.error();
    if (!pins->contains(service))
        return std::optional<PinnedKey>();
    return std::optional<PinnedKey>(pins->value(service));
}

QString summary(const QString &service)
{
    const auto key = pinned(service);
    if (!key)
        return key.error().description;
    if (!*key)
        return QStringLiteral("none pinned yet (pinned when the service first sends evidence)");
    return QStringLiteral("%1 (pinned %2)").arg((*key)->keyId, (*key)->pinnedAt);
}

Expected<PinnedKey, SaveError> pinFirst(const QString &service, const QString &keyId, const QByteArray &publicKey)
{
    return pin(service, keyId, publicKey, false);
}

Expected<PinnedKey, SaveError> accept(const QString &service, const QString &keyId, const QByteArray &publicKey)
{
    return pin(service, keyId, publicKey, true);
}

} // namespace LogKeyPins

namespace Witness {

QString path()
{
    return NivetPaths::applicationSupportNivet() + QStringLiteral("/witness.json");
}

Expected<std::optional<QJsonObject>> largest(const QString &keyId, const QString &scope)
{
    const auto object = readObject(path());
    if (!object)
        return object.error();
    const QJsonValue head = *object ? (*object)->value(keyId).toObject().value(scope) : QJsonValue();
    if (!head.isObject())
        return std::optional<QJsonObject>();
    return std::optional<QJsonObject>(head.toObject());
}

Expected<void, SaveError> record(const QJsonObject &head)
{
    const QString keyId = head.value(kKeyId).toString();
    const QString scope = head.value(kScope).toString();
    return updateObject(path(), [&](QJsonObject &witness) {
        QJsonObject heads = witness.value(keyId).toObject();
        const QJsonValue kept = heads.value(scope);
        if (kept.isObject() && kept.toObject().value(kTreeSize).toInteger() >= head.value(kTreeSize).toInteger())
            return false;
        heads.insert(scope, head);
        witness.insert(keyId, heads);
        return true;
    });
}

} // namespace Witness
