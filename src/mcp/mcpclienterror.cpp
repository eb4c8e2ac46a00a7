#include "mcp/mcpclienterror.h"

QString MCPClientError::description() const
{
    switch (kind) {
    case Case::badStatus:
        return QStringLiteral("HTTP %1: %2").arg(code).arg(body);
    case Case::message:
        return text;
    case Case::noSession:
        return QStringLiteral("MCP server did not return Mcp-Session-Id");
    case Case::noReceipt:
        return QStringLiteral("No receipt in MCP response");
    }
    return text;
}
