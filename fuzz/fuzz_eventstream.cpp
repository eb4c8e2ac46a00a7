// The event-stream reader.
#include "net/eventstream.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const auto events = parseEventStream(body);
    qsizetype total = 0;
    for (const auto &e : events)
        total += e.data.size();
    if (total > body.size())
        __builtin_trap(); // data can only come from the input
    return 0;
}
