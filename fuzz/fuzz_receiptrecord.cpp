// The receipt record decoder, and the writer's round trip of what it accepts.
#include "storage/receiptstore.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const auto record = ReceiptRecord::fromJson(bytes);
    if (!record.ok())
        return 0;
    // What was read must be written so that it reads back the same.
    const auto again = ReceiptRecord::fromJson(record->toJson());
    if (!again.ok() || again->receipts != record->receipts || again->sourcePaths != record->sourcePaths
        || again->sha256 != record->sha256)
        __builtin_trap();
    return 0;
}
