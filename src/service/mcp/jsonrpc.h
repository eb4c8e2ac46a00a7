#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <functional>
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

/// What a method answers: its outcome now, or later (a stamp waits for its
/// commit): then start is called once with where the outcome goes, and the
/// outcome is delivered once, on the thread that called.
struct RpcReply {
    using Deliver = std::function<void(const RpcOutcome &outcome)>;

    RpcReply(QJsonObject result)
        : outcome(std::move(result))
    {
    }
    RpcReply(JsonRpc::Failure failure)
        : outcome(std::move(failure))
    {
    }
    static RpcReply later(std::function<void(Deliver deliver)> start)
    {
        RpcReply reply { QJsonObject() };
        reply.pending = std::move(start);
        return reply;
    }

    RpcOutcome outcome;
    std::function<void(Deliver)> pending; // when set, outcome is not used
};
