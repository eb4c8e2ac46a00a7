#pragma once

#include "core/expected.h"
#include "core/resultmodel.h"
#include "core/saveerror.h"

#include <QByteArray>
#include <QCoro/QCoroTask>
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
    QStringList sourcePaths; // "source_paths"
    std::optional<QString> updatedAt; // "updated_at"
    QJsonObject extra; // members of other names, carried over on rewrite

    /// Decodes a record file. Requires "sha256" (string), "receipts" (array of
    /// receipt objects) and "source_paths" (array of strings); "retention_days"
    /// (integer) and "updated_at" (string) are optional. JSON null counts as
    /// absent. Anything else fails with a message saying what was wrong.
    static Expected<ReceiptRecord> fromJson(const QByteArray &bytes);

    /// The stored layout: pretty-printed with sorted keys, absent optionals
    /// omitted, members of other names included.
    QByteArray toJson() const;
};

/// Reading and saving receipt records. A record that cannot be read counts as
/// none; a save that cannot reach the disk says why.
namespace ReceiptStore {

/// Unicode-trimmed, lower-cased, with a leading "sha256:" dropped.
QString normalizeDigest(const QString &sha256);

/// receiptsDirectory()/<normalised digest>.json. A "/" or NUL inside the
/// digest is written as %2F or %00 so the file always stays in that folder.
QString receiptFileURL(const QString &sha256);

/// The stored record, or nothing when there is no file, or it cannot be read
/// or decoded, or it holds another digest's record.
std::optional<ReceiptRecord> read(const QString &sha256);

/// Merges receipts into the digest's record, notes sourcePath (when given and
/// not empty), stamps updated_at with now, and replaces the file in one atomic
/// step (mode 0600), flushed to disk before it returns. Saves of the same
/// folder from several processes are serialised with an advisory lock; a lock
/// not obtained in time fails the save. A file that does not decode, or holds
/// another digest's record, is moved aside to <name>.corrupt-<UTC time> first.
/// Returns the record as written.
Expected<ReceiptRecord, SaveError> save(const QString &sha256, const QList<Receipt> &receipts,
    const std::optional<QString> &sourcePath, const QDateTime &now = QDateTime::currentDateTimeUtc());

/// save() on a worker thread, awaited from the event loop: the flush and the
/// wait for another process's lock never hold up the caller's thread. The
/// save completes even when nobody awaits it any more.
QCoro::Task<Expected<ReceiptRecord, SaveError>> saveAsync(
    QString sha256, QList<Receipt> receipts, std::optional<QString> sourcePath);

/// read() on a worker thread, awaited from the event loop.
QCoro::Task<std::optional<ReceiptRecord>> readAsync(QString sha256);

/// Combines two receipt lists: one receipt per receipt_id (or, without one,
/// per identical content); a later receipt fills in and overwrites fields but
/// never blanks one out. Keeps first-seen order.
QList<Receipt> merge(const QList<Receipt> &existing, const QList<Receipt> &incoming);

} // namespace ReceiptStore
