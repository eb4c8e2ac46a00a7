#pragma once

#include "core/expected.h"

#include <QCoro/QCoroTask>
#include <QString>

#include <functional>

class QObject;

/// SHA-256 of a file's contents, the one place where file bytes are read.
namespace FileHasher {

/// Called after each chunk with the bytes hashed so far and the file size.
using Progress = std::function<void(qint64 done, qint64 total)>;

/// Reads the file in 1 MiB chunks (constant memory) and returns its digest as
/// 64 lower-case hexadecimal characters. An open or read failure fails.
Expected<QString> sha256Hex(const QString &path, const Progress &progress = {});

/// The same on a worker thread, awaited from the event loop. progress, if
/// given, is called on context's thread.
QCoro::Task<Expected<QString>> sha256HexAsync(QString path, QObject *context = nullptr, Progress progress = {});

} // namespace FileHasher
