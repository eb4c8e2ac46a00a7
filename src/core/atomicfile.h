#pragma once

#include "core/expected.h"

#include <QByteArray>
#include <QString>

#include <optional>

/// Replaces a file in one step: the bytes go to a new temporary file in the
/// same folder, are flushed to disk, and the temporary file is renamed over
/// the target; then the folder is flushed too. A reader sees the old file or
/// the new one, never none and never a partial one, and a file opened (or
/// linked) before keeps its own bytes.
namespace AtomicFile {

/// Writes data to path. The temporary file is 0600 from its creation and takes
/// its final mode before the first byte: with mode, exactly that (umask
/// notwithstanding), so a secret is never on disk with wider permissions;
/// without it, an existing target's mode, or for a new file the usual 0666
/// less umask. Fails with a message naming the path.
Expected<void> write(const QString &path, const QByteArray &data, std::optional<int> mode = std::nullopt);

/// The exclusive advisory lock of a folder (its file ".lock", mode 0600),
/// held for the object's lifetime. Every writer of our own data folders takes
/// it around its writes there, so while it is held nobody else is between making a
/// scratch file and renaming it. Gives up after 10 s: only a stopped process
/// holds it that long, and writing unlocked beats hanging.
class FolderLock {
public:
    explicit FolderLock(const QString &folder);
    ~FolderLock();
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;

    bool held() const { return m_held; }

private:
    int m_fd = -1;
    bool m_held = false;
};

/// Removes the scratch files that write() left beside the files of folder
/// named like pattern (a wildcard, "*.json" or "client.json") when their
/// process was killed. Once per process for each folder and pattern, as
/// listing a large folder costs time. Call it only while holding the folder's
/// FolderLock.
void sweepScratch(const QString &folder, const QString &pattern);

} // namespace AtomicFile
