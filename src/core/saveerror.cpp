#include "core/saveerror.h"

#include <cstring>

namespace {

QString reason(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

} // namespace

QString SaveError::describe() const
{
    switch (kind) {
    case Kind::lockTimeout:
        return QStringLiteral("Another program kept %1 locked for %2 seconds; nothing was saved")
            .arg(path, QString::number(code / 1000.0));
    case Kind::notAFolder:
        return QStringLiteral("%1 is not a folder").arg(path);
    case Kind::folder:
        return QStringLiteral("Cannot use the folder %1: %2").arg(path, reason(code));
    case Kind::write:
        return QStringLiteral("Cannot %1 %2: %3").arg(detail, path, reason(code));
    case Kind::setAside:
        return QStringLiteral("%1 cannot be read and could not be set aside: %2").arg(path, reason(code));
    case Kind::value:
        return detail;
    }
    return detail;
}
