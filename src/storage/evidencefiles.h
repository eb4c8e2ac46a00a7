#pragma once

#include "core/expected.h"
#include "core/saveerror.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>

#include <optional>

/// The files the client keeps about signed logs, beside (never inside) the
/// receipt records: the evidence of each digest, the log key pinned for each
/// service, and the largest tree head seen of each log. Each is pretty JSON
/// with sorted keys, mode 0600, replaced under its folder's lock in one
/// atomic rename. A file that does not decode is set aside before a fresh one
/// is written, and a read of it fails: a lost pin or witness would quietly
/// trust whatever comes next.

/// One receipt's evidence, as checked when it arrived.
struct EvidenceItem {
    QString receiptId;
    QString service; // the MCP URL it came from
    QByteArray publicKey; // PEM of the log key it was checked with
    QJsonObject evidence; // as on the wire

    bool anchored() const;
    QJsonObject toJson() const;
};

namespace EvidenceStore {

/// <Nivet>/evidence, created with mode 0700.
QString directory();
/// The items kept for sha256 (64 lower-case hex), or why they cannot be read;
/// none when there is no file.
Expected<QList<EvidenceItem>> read(const QString &sha256);
/// Adds item, or replaces the item of the same receipt unless that one is
/// anchored and item is not (the better evidence stays).
Expected<void, SaveError> save(const QString &sha256, const EvidenceItem &item);

} // namespace EvidenceStore

/// A service's log key as the client trusts it.
struct PinnedKey {
    QString keyId;
    QByteArray publicKey; // PEM
    QString pinnedAt; // UTC, yyyy-MM-ddTHH:mm:ssZ
};

namespace LogKeyPins {

/// <Nivet>/log-keys.json
QString path();
/// Every pin by service URL, or why the file cannot be read.
Expected<QMap<QString, PinnedKey>> all();
/// The key pinned for service, if any.
Expected<std::optional<PinnedKey>> pinned(const QString &service);
/// Pins key for service unless one is pinned already; returns the pin in effect.
Expected<PinnedKey, SaveError> pinFirst(const QString &service, const QString &keyId, const QByteArray &publicKey);
/// "<key id> (pinned <time>)", "none pinned yet (…)", or why the pins cannot be read.
QString summary(const QString &service);
/// Pins key for service, replacing any other: the user's explicit acceptance.
Expected<PinnedKey, SaveError> accept(const QString &service, const QString &keyId, const QByteArray &publicKey);

} // namespace LogKeyPins

namespace Witness {

/// <Nivet>/witness.json
QString path();
/// The largest signed tree head seen of scope in the log of keyId, or why the
/// file cannot be read.
Expected<std::optional<QJsonObject>> largest(const QString &keyId, const QString &scope);
/// Keeps head (a signed tree head as on the wire) when it is larger than the
/// one kept for its key_id and scope.
Expected<void, SaveError> record(const QJsonObject &head);

} // namespace Witness
