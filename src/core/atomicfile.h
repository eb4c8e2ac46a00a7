#pragma once

#include "core/expected.h"
#include "core/saveerror.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <chrono>
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
/// without it, an existing target's mode, or for a new file 0666 less the
/// umask the process started with.
Expected<void, SaveError> write(const QString &path, const QByteArray &data, std::optional<int> mode = std::nullopt);

/// How long a save waits for another process's lock of the same folder.
inline constexpr std::chrono::milliseconds kLockPatience { 10'000 };

/// The exclusive advisory lock of a folder (its file ".lock", mode 0600),
/// held for the object's lifetime. Every writer of our own data folders takes
/// it around its read-merge-write there, so while it is held nobody else is
/// between reading a file and replacing it. Taking it waits, so it is taken
/// on worker threads only. Not obtained within patience, it is a failure:
/// nothing is written without it.
class FolderLock {
public:
    explicit FolderLock(const QString &folder, std::chrono::milliseconds patience = kLockPatience);
    ~FolderLock();
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;

    /// Nothing while the lock is held; otherwise why it is not.
    const std::optional<SaveError> &failure() const { return m_failure; }

private:
    int m_fd = -1;
    std::optional<SaveError> m_failure;
};

/// Removes the scratch files that write() left beside the files of folder
/// named like pattern (a wildcard, "*.json" or "client.json") when their
/// process was killed. Once per process for each folder and pattern, as
/// listing a large folder costs time. Call it only while holding the folder's
/// FolderLock.
void sweepScratch(const QString &folder, const QString &pattern);

/// Keeps a file that cannot be used under a name of its own,
/// <name>.corrupt-<UTC time>, so the fresh file written next destroys
/// nothing. Returns errno, or 0. Call it only while holding the folder's
/// FolderLock.
int setAside(const QString &path, const QDateTime &now);

} // namespace AtomicFile
