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

} // namespace

namespace AtomicFile {

Expected<void> write(const QString &path, const QByteArray &data, std::optional<int> mode, Durability durability)
{
    const QByteArray target = QFile::encodeName(path);
    const mode_t finalMode = modeFor(target, mode);

    QByteArray tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        tmp = target + ".tmp-" + randomSuffix();
        // Created 0600 whatever the umask; widened below only when asked.
        fd = ::open(tmp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            return failure("create a file beside", path, errno);
    }
    if (fd < 0)
        return failure("create a file beside", path, EEXIST);

    const auto abandon = [&](const char *what, int err) {
        if (fd >= 0)
            ::close(fd);
        ::unlink(tmp.constData());
        return failure(what, path, err);
    };

    if (::fchmod(fd, finalMode) != 0)
        return abandon("set the mode of", errno);
    const char *p = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return abandon("write", errno);
        }
        p += n;
        left -= n;
    }
    if (durability == Durability::now && ::fsync(fd) != 0)
        return abandon("write", errno);
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0)
        return abandon("write", errno);
    if (::rename(tmp.constData(), target.constData()) != 0)
        return abandon("replace", errno);
    if (durability == Durability::now)
        syncFolder(QFileInfo(path).path());
    return {};
}

Expected<QString> writeTrading(const QString &path, const QByteArray &data, int mode, const QString &spare)
{
    const QByteArray target = QFile::encodeName(path);
    QByteArray scratch = QFile::encodeName(spare);
    int fd = spare.isEmpty() ? -1 : ::open(scratch.constData(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
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
    // Written over in place: its blocks are reused, and only the tail of a
    // longer earlier content is cut off.
    if (::fchmod(fd, static_cast<mode_t>(mode)) != 0)
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
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0)
        return abandon("write", errno);

    if (::renameat2(AT_FDCWD, scratch.constData(), AT_FDCWD, target.constData(), RENAME_EXCHANGE) == 0)
        return QFile::decodeName(scratch);
    // Nothing to trade with (a new file), or a file system that cannot.
    if (::rename(scratch.constData(), target.constData()) != 0)
        return abandon("replace", errno);
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
