#pragma once

#include "core/expected.h"

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
Expected<QByteArray> encode(const QMap<QString, QString> &entries);

/// Replaces the file at path with entries in one atomic rename. The file has
/// mode 0600 from its first byte. On failure the old file is left as it was.
Expected<void> writeProperties(const QMap<QString, QString> &entries, const QString &path);

} // namespace CredentialsFile
