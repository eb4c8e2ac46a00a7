#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <sys/types.h>

/// Points XDG_DATA_HOME at a fresh temporary folder for the lifetime of the
/// object, so a test never touches the user's real files.
class IsolatedDataHome {
public:
    IsolatedDataHome();
    ~IsolatedDataHome();
    IsolatedDataHome(const IsolatedDataHome &) = delete;
    IsolatedDataHome &operator=(const IsolatedDataHome &) = delete;

    QString path() const { return m_dir.path(); }
    /// <path>/Nivet
    QString nivet() const { return m_dir.path() + QStringLiteral("/Nivet"); }

private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
    bool m_hadPrevious = false;
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
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask);
    ~ScopedUmask();
    ScopedUmask(const ScopedUmask &) = delete;
    ScopedUmask &operator=(const ScopedUmask &) = delete;

private:
    mode_t m_previous;
};
