#pragma once

#include "auth/credentials.h"
#include "core/expected.h"
#include "core/saveerror.h"

#include <QCoro/QCoroTask>
#include <QMap>
#include <QString>

/// The credentials file: UTF-8 "key=value" lines under a fixed header comment.
/// The sibling command-line client reads and writes the same format, so every
/// detail here (comment characters, escapes, key order, header) is shared.
namespace CredentialsFile {

/// The comment line every written file starts with.
QString headerLine();

/// Reads the file at path into a map. A missing or unreadable file, or one
/// that is not valid UTF-8, reads as an empty map; malformed lines are skipped.
QMap<QString, QString> readProperties(const QString &path);

/// The reading rules applied to a file's bytes; text that is not UTF-8 reads
/// as no entries.
QMap<QString, QString> parseProperties(const QByteArray &bytes);

/// The file's bytes for entries: the header, the known keys in their fixed
/// order, then the others by code point; empty values are left out. Fails,
/// naming the field, when a value would not read back unchanged (a line
/// break other than line feed, or a trailing space or tab) or a key cannot be
/// written as a key.
Expected<QByteArray, SaveError> encode(const QMap<QString, QString> &entries);

/// applicationSupportNivet()/auth.properties
QString defaultPath();

/// The credentials the file at path holds.
Credentials load(const QString &path = defaultPath());

/// Under the folder's lock: reads the file at path, sets the entries of
/// fields from values (keeping every other entry), and replaces the file in
/// one atomic rename, mode 0600 from its first byte. Returns what the file
/// now holds; on failure the file is left as it was.
Expected<Credentials, SaveError> save(
    const Credentials &values, Credentials::Fields fields, const QString &path = defaultPath());

/// load() and save() on a worker thread, awaited from the event loop: the
/// wait for another process's lock and the disk never hold up the caller.
QCoro::Task<Credentials> loadAsync();
QCoro::Task<Expected<Credentials, SaveError>> saveAsync(Credentials values, Credentials::Fields fields);

} // namespace CredentialsFile
