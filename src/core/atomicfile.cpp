#include "core/atomicfile.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMutex>
#include <QSet>

#include <cerrno>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

SaveError failure(const char *what, const QString &path, int err)
{
    return SaveError { SaveError::Kind::write, path, err, QLatin1String(what) };
}

// Read once, before main() and so before any thread starts: finding the umask
// means setting it, which must never happen while other threads create files.
const mode_t kStartupUmask = [] {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}();

QByteArray randomSuffix()
{
    static thread_local std::mt19937_64 rng { std::random_device {}() };
    return QByteArray::number(static_cast<qulonglong>(rng()), 36);
}

mode_t modeFor(const QByteArray &target, std::optional<int> mode)
{
    if (mode)
        return static_cast<mode_t>(*mode);
    struct stat st { };
    if (::stat(target.constData(), &st) == 0)
        return st.st_mode & 07777;
    return 0666 & ~kStartupUmask;
}

// Makes the rename itself survive a power cut. Not every file system can
// flush a folder; then the system's own write-back stores it.
void flushFolder(const QString &folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace

namespace AtomicFile {

Expected<void, SaveError> write(const QString &path, const QByteArray &data, std::optional<int> mode)
{
    const QByteArray target = QFile::encodeName(path);
    const mode_t finalMode = modeFor(target, mode);

    QByteArray tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        tmp = target + ".tmp-" + randomSuffix();
        // Always a new file, 0600 whatever the umask: a file written over in
        // place would change under a hard link or a reader of the old one.
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
    for (qsizetype done = 0; done < data.size();) {
        const ssize_t n = ::write(fd, data.constData() + done, static_cast<size_t>(data.size() - done));
        if (n < 0 && errno != EINTR)
            return abandon("write", errno);
        done += n > 0 ? n : 0;
    }
    if (::fsync(fd) != 0)
        return abandon("write", errno);
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0)
        return abandon("write", errno);
    if (::rename(tmp.constData(), target.constData()) != 0)
        return abandon("replace", errno);
    flushFolder(QFileInfo(path).path());
    return {};
}

FolderLock::FolderLock(const QString &folder, std::chrono::milliseconds patience)
{
    const QByteArray path = QFile::encodeName(folder + QStringLiteral("/.lock"));
    m_fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        const int err = errno;
        struct stat st { };
        const bool elsewise = ::stat(QFile::encodeName(folder).constData(), &st) == 0 && !S_ISDIR(st.st_mode);
        m_failure = SaveError { elsewise ? SaveError::Kind::notAFolder : SaveError::Kind::folder, folder, err, {} };
        return;
    }
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0)
            return;
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK) {
            m_failure = SaveError { SaveError::Kind::folder, folder, errno, {} };
            return;
        }
        if (waited.elapsed() > patience.count()) {
            m_failure = SaveError { SaveError::Kind::lockTimeout, folder, static_cast<int>(patience.count()), {} };
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

FolderLock::~FolderLock()
{
    if (m_fd >= 0)
        ::close(m_fd); // releases the lock
}

void sweepScratch(const QString &folder, const QString &pattern)
{
    static QMutex mutex;
    static QSet<QString> swept;
    {
        const QMutexLocker locker(&mutex);
        const QString key = QDir(folder).absolutePath() + QLatin1Char('/') + pattern;
        if (swept.contains(key))
            return;
        swept.insert(key);
    }
    QDir dir(folder);
    const QStringList stale
        = dir.entryList({ pattern + QStringLiteral(".tmp-*") }, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : stale)
        dir.remove(name);
}

int setAside(const QString &path, const QDateTime &now)
{
    const QString base
        = path + QStringLiteral(".corrupt-") + now.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    QString target = base;
    for (int n = 2; QFileInfo::exists(target) || QFileInfo(target).isSymLink(); ++n)
        target = base + QLatin1Char('-') + QString::number(n);
    return ::rename(QFile::encodeName(path).constData(), QFile::encodeName(target).constData()) == 0 ? 0 : errno;
}

} // namespace AtomicFile
