#pragma once

#include "core/resultmodel.h"
#include "core/saveerror.h"

#include <QString>

/// The two row shapes that every operation produces the same way.
namespace ResultRows {

/// path, sha256 and scope as given, status "Error: " + description, kind error.
FileResult error(const QString &path, const QString &sha256, const QString &scope, const QString &description);

/// path, sha256 and scope as given, status "Not found", kind notFound.
FileResult notFound(const QString &path, const QString &sha256, const QString &scope);

/// A passing row whose receipt could not be saved: it fails, keeps what the
/// service said, and says why the receipt is not on disk.
FileResult receiptNotSaved(FileResult row, const SaveError &why);

} // namespace ResultRows
