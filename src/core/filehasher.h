#pragma once

#include "core/expected.h"

#include <QString>

#include <atomic>
#include <functional>

/// SHA-256 of a file's contents, the one place where file bytes are read.
namespace FileHasher {

/// Called after each chunk with the bytes hashed so far and the file size.
using Progress = std::function<void(qint64 done, qint64 total)>;

/// What a hash ended by cancel fails with.
QString cancelledText();

/// Reads the file in 1 MiB chunks (constant memory) and returns its digest as
/// 64 lower-case hexadecimal characters. An open or read failure fails; so
/// does cancel, set from any thread, which is looked at between chunks.
Expected<QString> sha256Hex(
    const QString &path, const Progress &progress = {}, const std::atomic_bool *cancel = nullptr);

} // namespace FileHasher
