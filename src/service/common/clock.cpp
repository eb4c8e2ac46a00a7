#include "service/common/clock.h"

#include <QDateTime>
#include <QTimeZone>

qint64 systemNowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

QString isoTimestamp(qint64 msSinceEpoch)
{
    return QDateTime::fromMSecsSinceEpoch(msSinceEpoch, QTimeZone::utc())
        .toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
}
