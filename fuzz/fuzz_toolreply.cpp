// The tool-call reply rules: body bytes and content type to a result or an error.
#include "mcp/mcpclient.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // First byte picks the content type, so both readers are reached.
    if (size == 0)
        return 0;
    const QByteArray type = (data[0] & 1) ? QByteArray("text/event-stream") : QByteArray("application/json");
    const QByteArray body(reinterpret_cast<const char *>(data + 1), static_cast<qsizetype>(size - 1));
    const auto result = MCPClient::readToolReply(body, type);
    if (!result.ok() && result.error().description.isEmpty())
        __builtin_trap(); // every failure must say what went wrong
    return 0;
}
