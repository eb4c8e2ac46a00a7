#include "service/mcp/jsonrpc.h"

namespace JsonRpc {

QJsonObject resultResponse(const QJsonValue &id, const QJsonObject &result)
{
    return QJsonObject { { QStringLiteral("jsonrpc"), QStringLiteral("2.0") }, { QStringLiteral("id"), id },
        { QStringLiteral("result"), result } };
}

QJsonObject errorResponse(const QJsonValue &id, const Failure &failure)
{
    return QJsonObject {
        { QStringLiteral("jsonrpc"), QStringLiteral("2.0") },
        { QStringLiteral("id"), id },
        { QStringLiteral("error"),
            QJsonObject { { QStringLiteral("code"), failure.code }, { QStringLiteral("message"), failure.message } } },
    };
}

} // namespace JsonRpc
