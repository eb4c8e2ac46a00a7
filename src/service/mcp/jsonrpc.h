#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <variant>

/// JSON-RPC 2.0 error codes the service answers with.
namespace JsonRpc {

inline constexpr int kParseError = -32700;
inline constexpr int kInvalidRequest = -32600;
inline constexpr int kMethodNotFound = -32601;
inline constexpr int kInvalidParams = -32602;
inline constexpr int kInternalError = -32603;
// Transport-level refusals, in the server-defined range.
inline constexpr int kSessionRequired = -32000;
inline constexpr int kSessionNotFound = -32001;
inline constexpr int kTooManySessions = -32002;
inline constexpr int kReplyTooLarge = -32003;

struct Failure {
    int code;
    QString message;
};

/// {"jsonrpc":"2.0","id":id,"result":result}
QJsonObject resultResponse(const QJsonValue &id, const QJsonObject &result);
/// {"jsonrpc":"2.0","id":id,"error":{"code":code,"message":message}}
QJsonObject errorResponse(const QJsonValue &id, const Failure &failure);

} // namespace JsonRpc

/// What a method produced: its result object, or a JSON-RPC error.
using RpcOutcome = std::variant<QJsonObject, JsonRpc::Failure>;
