#include "core/resultrows.h"

namespace ResultRows {

FileResult error(const QString &path, const QString &sha256, const QString &scope, const QString &description)
{
    return FileResult { path, sha256, {}, {}, scope, QStringLiteral("Error: ") + description, {}, ResultKind::error };
}

FileResult notFound(const QString &path, const QString &sha256, const QString &scope)
{
    return FileResult { path, sha256, {}, {}, scope, QStringLiteral("Not found"), {}, ResultKind::notFound };
}

FileResult receiptNotSaved(FileResult row, const SaveError &why)
{
    row.status = QStringLiteral("Error: The service answered (%1), but the receipt was not saved: %2")
                     .arg(row.status, why.describe());
    row.kind = ResultKind::error;
    return row;
}

} // namespace ResultRows
