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

/// Puts everything written to the file system holding folder on disk: one
/// wait for many files written with Durability::later.
void syncFileSystem(const QString &folder);

} // namespace AtomicFile
