#pragma once

#include "core/expected.h"
#include "core/resultmodel.h"

#include <QCoro/QCoroTask>
#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

/// The local record of one digest: the receipts the service returned for it,
/// the local paths it was saved from, and the time of the last save. Stored
/// as receipts/<digest>.json, a format shared with the command-line tool.
struct ReceiptRecord {
    QString sha256;
    std::optional<qint64> retentionDays; // "retention_days": carried over, never set here
    QList<Receipt> receipts;
    QStringList sourcePaths;             // "source_paths"
    std::optional<QString> updatedAt;    // "updated_at"
    QJsonObject extra;                   // members of other names, carried over on rewrite

    /// Decodes a record file. Requires "sha256" (string), "receipts" (array of
    /// receipt objects) and "source_paths" (array of strings); "retention_days"
    /// (integer) and "updated_at" (string) are optional. JSON null counts as
    /// absent. Anything else fails with a message saying what was wrong.
    static Expected<ReceiptRecord> fromJson(const QByteArray &bytes);

    /// The stored layout: pretty-printed with sorted keys, absent optionals
    /// omitted, members of other names included.
    QByteArray toJson() const;
};

/// Reading and saving receipt records. Nothing here reports a failure: local
/// storage is best effort, and a save always returns the merged record.
namespace ReceiptStore {

/// Unicode-trimmed, lower-cased, with a leading "sha256:" dropped.
QString normalizeDigest(const QString &sha256);

/// receiptsDirectory()/<normalised digest>.json. A "/" or NUL inside the
/// digest is written as %2F or %00 so the file always stays in that folder.
QString receiptFileURL(const QString &sha256);

/// The stored record, or nothing when there is no file or it cannot be read
/// or decoded. A record with saves still on their way reads as they will
/// leave it.
std::optional<ReceiptRecord> read(const QString &sha256);

/// Merges receipts into the digest's record, notes sourcePath (when given and
/// not empty), stamps updated_at with now, and replaces the file in one atomic
/// step (mode 0600). Saves of the same folder from several processes are
/// serialised with an advisory lock. A file that does not decode is moved
/// aside to <name>.corrupt-<UTC time> first. Returns the record as written
/// (or as it would have been written when writing failed), once it is on disk.
ReceiptRecord save(const QString &sha256, const QList<Receipt> &receipts, const std::optional<QString> &sourcePath,
                   const QDateTime &now = QDateTime::currentDateTimeUtc());

/// save() without waiting for the disk: returns the merged record at once and
/// writes it on the store's own thread, after every save asked for before it.
/// Until then read() returns the record as it will be written. settled()
/// waits for the file; a process that ends first still writes it on the way
/// out.
ReceiptRecord saveLater(const QString &sha256, const QList<Receipt> &receipts,
                        const std::optional<QString> &sourcePath);

/// saveLater() for a caller that read() the record a moment ago (lastRead,
/// nothing when there was none): the merge it gets back is made on that
/// instead of reading the file again. The file itself is merged with what it
/// holds when its turn comes, as always.
ReceiptRecord saveLater(const QString &sha256, const QList<Receipt> &receipts,
                        const std::optional<QString> &sourcePath, const std::optional<ReceiptRecord> &lastRead);

/// Completes when every save asked for so far is on disk; the caller's event
/// loop runs on meanwhile.
QCoro::Task<void> settled();

/// Combines two receipt lists: one receipt per receipt_id (or, without one,
/// per identical content); a later receipt fills in and overwrites fields but
/// never blanks one out. Keeps first-seen order.
QList<Receipt> merge(const QList<Receipt> &existing, const QList<Receipt> &incoming);

} // namespace ReceiptStore
