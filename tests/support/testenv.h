#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <sys/stat.h>

/// Points XDG_DATA_HOME at a fresh temporary folder for the lifetime of the
/// object, so a test never touches the user's real files.
class IsolatedDataHome {
public:
    IsolatedDataHome();
    ~IsolatedDataHome();

    QString path() const { return m_dir.path(); }
    QString nivet() const { return m_dir.path() + QStringLiteral("/Nivet"); } // the app's own folder in it

private:
    QTemporaryDir m_dir;
    QByteArray m_previous; // null when it was unset
};

/// Reads a whole file, or an empty array.
QByteArray readFile(const QString &path);
/// Writes a whole file, creating parent folders; returns false on failure.
bool writeFile(const QString &path, const QByteArray &data);
/// The SHA-256 digest of data in lower-case hex, as the client names it.
QString digestOf(const QByteArray &data);
/// The permission bits of a path (st_mode & 07777), or -1.
int fileMode(const QString &path);

/// Sets the process umask for the lifetime of the object.
struct ScopedUmask {
    explicit ScopedUmask(mode_t mask)
        : previous(::umask(mask))
    {
    }
    ~ScopedUmask() { ::umask(previous); }
    const mode_t previous;
};
