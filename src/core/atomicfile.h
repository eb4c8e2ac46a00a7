#pragma once

#include "core/expected.h"

#include <QByteArray>
#include <QString>

#include <optional>

/// Replaces a file in one step: the bytes go to a new temporary file in the
/// same folder, which is renamed over the target. A reader sees the old file
/// or the new one, never none and never a partial one.
namespace AtomicFile {

enum class Durability {
    now,   // the bytes and the rename are on disk when write() returns
    later, // left to the system's own write-back, or to syncFileSystem()
};

/// Writes data to path. With mode, the temporary file is created with exactly
/// that mode (umask notwithstanding), so a secret is never on disk with wider
/// permissions; without it, an existing target's mode is kept and a new file
/// gets the usual 0666 less umask. Fails with a message naming the path.
Expected<void> write(const QString &path, const QByteArray &data, std::optional<int> mode = std::nullopt,
                     Durability durability = Durability::now);

/// write() for a file that is rewritten again and again, with
/// Durability::later. The bytes go into spare (a scratch file that an earlier
/// call returned; a new one is made when spare is empty or gone), which then
/// trades places with path in one step. The old contents end up under the
/// scratch name, which is returned as the next spare, so that no file is made
/// or deleted per write. Where path does not exist or the file system cannot
/// trade places, it is a plain replace and no spare is returned.
/// A reader that opened path before the trade may see a later write's bytes
/// through its open file: it must check that path still names the file it
/// read (see isStillAt()).
Expected<QString> writeTrading(const QString &path, const QByteArray &data, int mode, const QString &spare);

/// Whether the open file fd is still the one at path.
bool isStillAt(int fd, const QString &path);

/// Puts everything written to the file system holding folder on disk: one
/// wait for many files written with Durability::later.
void syncFileSystem(const QString &folder);

} // namespace AtomicFile
