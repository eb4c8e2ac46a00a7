#include "core/atomicfile.h"

#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString errnoText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

Error failure(const char *what, const QString &path, int err)
{
    return Error{QStringLiteral("Cannot %1 %2: %3").arg(QLatin1String(what), path, errnoText(err))};
}

QByteArray randomSuffix()
{
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    return QByteArray::number(static_cast<qulonglong>(rng()), 36);
}

// Runs sync (fsync for the folder's own entries, syncfs for its whole file
// system) on folder. Not every file system can sync a folder; a failure
// leaves the files as the system's write-back will store them.
void syncFolder(const QString &folder, int (*sync)(int) = ::fsync)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    sync(fd);
    ::close(fd);
}

mode_t modeFor(const QByteArray &target, std::optional<int> mode)
{
    if (mode)
        return static_cast<mode_t>(*mode);
    struct stat st {};
    if (::stat(target.constData(), &st) == 0)
        return st.st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// Fills a scratch file beside path with data and mode, and closes it: reused
// is written over in place when it still opens (its blocks are reused, only a
// longer earlier content's tail is cut off), else a new file is made, 0600
// from its first byte whatever the umask. Returns the scratch file's name.
Expected<QByteArray> fillScratch(const QString &path, const QByteArray &data, mode_t mode, bool flush,
                                 const QByteArray &reused = {})
{
    const QByteArray target = QFile::encodeName(path);
    QByteArray scratch = reused;
    int fd = reused.isEmpty() ? -1 : ::open(reused.constData(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        scratch = target + ".tmp-" + randomSuffix();
        fd = ::open(scratch.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            return failure("create a file beside", path, errno);
    }
    if (fd < 0)
        return failure("create a file beside", path, EEXIST);

    const auto abandon = [&](const char *what, int err) {
        if (fd >= 0)
            ::close(fd);
        ::unlink(scratch.constData());
        return failure(what, path, err);
    };
    if (::fchmod(fd, mode) != 0)
        return abandon("set the mode of", errno);
    const char *p = data.constData();
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::pwrite(fd, p + done, static_cast<size_t>(data.size() - done), done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return abandon("write", errno);
        }
        done += n;
    }
    if (::ftruncate(fd, data.size()) != 0)
        return abandon("write", errno);
    if (flush && ::fsync(fd) != 0)
        return abandon("write", errno);
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0)
        return abandon("write", errno);
    return scratch;
}

// Moves scratch onto path; on failure the scratch file goes.
Expected<void> moveOnto(const QByteArray &scratch, const QString &path)
{
    if (::rename(scratch.constData(), QFile::encodeName(path).constData()) == 0)
        return {};
    const int err = errno;
    ::unlink(scratch.constData());
    return failure("replace", path, err);
}

} // namespace

namespace AtomicFile {

Expected<void> write(const QString &path, const QByteArray &data, std::optional<int> mode, Durability durability)
{
    const bool flush = durability == Durability::now;
    const Expected<QByteArray> scratch = fillScratch(path, data, modeFor(QFile::encodeName(path), mode), flush);
    if (!scratch)
        return scratch.error();
    if (auto moved = moveOnto(scratch.value(), path); !moved)
        return moved;
    if (flush)
        syncFolder(QFileInfo(path).path());
    return {};
}

Expected<QString> writeTrading(const QString &path, const QByteArray &data, int mode, const QString &spare)
{
    const Expected<QByteArray> scratch
        = fillScratch(path, data, static_cast<mode_t>(mode), false, QFile::encodeName(spare));
    if (!scratch)
        return scratch.error();
    const QByteArray target = QFile::encodeName(path);
    if (::renameat2(AT_FDCWD, scratch->constData(), AT_FDCWD, target.constData(), RENAME_EXCHANGE) == 0)
        return QFile::decodeName(scratch.value());
    // Nothing to trade with (a new file), or a file system that cannot.
    if (auto moved = moveOnto(scratch.value(), path); !moved)
        return moved.error();
    return QString();
}

bool isStillAt(int fd, const QString &path)
{
    struct stat opened {};
    struct stat named {};
    return ::fstat(fd, &opened) == 0 && ::stat(QFile::encodeName(path).constData(), &named) == 0
        && opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

void syncFileSystem(const QString &folder)
{
    syncFolder(folder, ::syncfs);
}

} // namespace AtomicFile
