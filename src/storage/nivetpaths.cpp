#include "storage/nivetpaths.h"

#include <QDir>
#include <QStandardPaths>

#include <sys/stat.h>

namespace NivetPaths {

QString applicationSupportNivetPath()
{
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty())
        base = QDir::tempPath();
    return base + QStringLiteral("/Nivet");
}

QString applicationSupportNivet()
{
    const QString dir = applicationSupportNivetPath();
    QDir().mkpath(dir); // failures surface at the first read or write
    return dir;
}

QString receiptsDirectory()
{
    const QString dir = applicationSupportNivet() + QStringLiteral("/receipts");
    // mkdir with an explicit mode, so the folder is never wider than 0700,
    // not even for a moment; an existing folder is left as it is.
    const QByteArray native = QFile::encodeName(dir);
    if (::mkdir(native.constData(), 0700) == 0)
        ::chmod(native.constData(), 0700); // umask may have narrowed it; never widened
    return dir;
}

} // namespace NivetPaths
