#include "service/mcp/mcpendpoint.h"

#include "core/jsonwriter.h"
#include "service/mcp/mcptools.h"
#include "service/mcp/sessionstore.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <memory>
#include <optional>

#ifndef NIVET_SERVICE_VERSION
#define NIVET_SERVICE_VERSION "0.0.0"
#endif

namespace {

const QByteArray kSessionHeader = "Mcp-Session-Id";

// A body as one JSON value. QJsonDocument reads only objects and arrays; a
// lone scalar is still valid JSON (an invalid request, not a parse error),
// so it is read inside brackets to tell the two apart.
std::variant<QJsonValue, QString> parseBody(const QByteArray &body)
{
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error == QJsonParseError::NoError)
        return document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
    QJsonParseError wrappedError {};
    const QJsonDocument wrapped = QJsonDocument::fromJson('[' + body + ']', &wrappedError);
    if (wrappedError.error == QJsonParseError::NoError && wrapped.array().size() == 1 && !body.trimmed().isEmpty())
        return wrapped.array().first();
    if (body.trimmed().isEmpty())
        return QStringLiteral("Parse error: empty body");
    return QStringLiteral("Parse error: %1 at offset %2").arg(error.errorString()).arg(error.offset);
}

bool acceptsEventStream(const ServiceRequest &request)
{
    const QByteArray accept = request.header("Accept");
    if (accept.isNull())
        return true;
    for (const QByteArray &range : accept.split(',')) {
        const QByteArray type = range.split(';').first().trimmed().toLower();
        if (type == "text/event-stream" || type == "text/*" || type == "*/*")
            return true;
    }
    return false;
}

ServiceResponse rpcError(int status, const JsonRpc::Failure &failure, const QJsonValue &id = QJsonValue::Null)
{
    return ServiceResponse::json(status, JsonRpc::errorResponse(id, failure));
}

QJsonValue idOf(const QJsonObject &object)
{
    const QJsonValue id = object.value(QStringLiteral("id"));
    return id.isString() || id.isDouble() ? id : QJsonValue(QJsonValue::Null);
}

} // namespace

// One message of a POST body, sorted into what JSON-RPC makes of it.
struct McpEndpoint::Message {
    enum class Kind { request, notification, response, invalid };
    Kind kind = Kind::invalid;
    QJsonValue id = QJsonValue::Null;
    QString method;
    QJsonValue params;
    QString problem; // for invalid ones

    static Message read(const QJsonValue &value)
    {
        Message m;
        if (!value.isObject()) {
            m.problem = QStringLiteral("Invalid Request: a message must be a JSON object");
            return m;
        }
        const QJsonObject object = value.toObject();
        m.id = idOf(object);
        if (object.value(QStringLiteral("jsonrpc")) != QJsonValue(QStringLiteral("2.0"))) {
            m.problem = QStringLiteral("Invalid Request: jsonrpc must be \"2.0\"");
            return m;
        }
        const QJsonValue method = object.value(QStringLiteral("method"));
        const QJsonValue id = object.value(QStringLiteral("id"));
        if (method.isUndefined()) {
            const bool answer = object.contains(QStringLiteral("result")) || object.contains(QStringLiteral("error"));
            if (answer && !id.isUndefined()) {
                m.kind = Kind::response;
                return m;
            }
            m.problem = QStringLiteral("Invalid Request: missing method");
            return m;
        }
        if (!method.isString()) {
            m.problem = QStringLiteral("Invalid Request: method must be a string");
            return m;
        }
        if (!id.isUndefined() && !id.isString() && !id.isDouble()) {
            m.problem = QStringLiteral("Invalid Request: id must be a string or a number");
            return m;
        }
        m.params = object.value(QStringLiteral("params"));
        if (!m.params.isUndefined() && !m.params.isObject() && !m.params.isArray()) {
            m.problem = QStringLiteral("Invalid Request: params must be an object");
            return m;
        }
        m.method = method.toString();
        m.kind = id.isUndefined() ? Kind::notification : Kind::request;
        return m;
    }
};

struct McpEndpoint::SessionLookup {
    std::optional<McpSession> session;
    std::optional<ServiceResponse> refusal;
};

McpEndpoint::SessionLookup McpEndpoint::findSession(const ServiceRequest &request, const QString &user, qint64 nowMs)
{
    const QByteArray id = request.header(kSessionHeader);
    if (id.isNull() || id.trimmed().isEmpty()) {
        return { std::nullopt,
            rpcError(
                400, { JsonRpc::kSessionRequired, QStringLiteral("Bad Request: Mcp-Session-Id header is required") }) };
    }
    auto found = m_sessions.use(QString::fromLatin1(id.trimmed()), nowMs);
    if (!found)
        return { std::nullopt, rpcError(503, { JsonRpc::kInternalError, found.error().description }) };
    std::optional<McpSession> session = *found;
    // Someone else's session looks exactly like one that does not exist.
    if (session && m_options.bindSessionsToUsers && session->username != user)
        session.reset();
    if (!session)
        return { std::nullopt, rpcError(404, { JsonRpc::kSessionNotFound, QStringLiteral("Session not found") }) };
    return { session, std::nullopt };
}

// A request's response now, or the call that makes it later.
struct McpEndpoint::Answer {
    QJsonObject response;
    std::function<void(RpcReply::Deliver)> pending; // when set, response is not used
};

ServiceReply McpEndpoint::post(const ServiceRequest &request, const QString &user, qint64 nowMs)
{
    const auto parsed = parseBody(request.body);
    if (const auto *problem = std::get_if<QString>(&parsed))
        return rpcError(400, { JsonRpc::kParseError, *problem });
    const QJsonValue body = std::get<QJsonValue>(parsed);

    const bool batch = body.isArray();
    QList<Message> messages;
    if (batch) {
        const QJsonArray items = body.toArray();
        if (items.isEmpty())
            return rpcError(400, { JsonRpc::kInvalidRequest, QStringLiteral("Invalid Request: empty batch") });
        // Each message may be a stamp that waits for a commit: one POST must not hold a client for long.
        if (items.size() > m_options.maxBatchMessages) {
            return rpcError(400,
                { JsonRpc::kInvalidRequest,
                    QStringLiteral("Invalid Request: a batch holds at most %1 messages")
                        .arg(m_options.maxBatchMessages) });
        }
        for (const QJsonValue &item : items)
            messages.append(Message::read(item));
    } else {
        messages.append(Message::read(body));
        const Message &only = messages.first();
        if (only.kind == Message::Kind::invalid)
            return rpcError(400, { JsonRpc::kInvalidRequest, only.problem }, only.id);
        if (only.kind == Message::Kind::request && only.method == QLatin1String("initialize"))
            return initialize(request, only, user, nowMs);
    }

    SessionLookup lookup = findSession(request, user, nowMs);
    if (lookup.refusal)
        return *lookup.refusal;
    SessionMarks marks { lookup.session->initialized, lookup.session->used };
    for (const Message &message : std::as_const(messages)) {
        marks.initialized = marks.initialized
            || (message.kind == Message::Kind::notification
                && message.method == QLatin1String("notifications/initialized"));
        marks.used = marks.used || message.kind == Message::Kind::request;
    }
    // Written only when it changes: with shared sessions, each is a database write.
    if (marks.initialized != lookup.session->initialized || marks.used != lookup.session->used)
        m_sessions.mark(lookup.session->id, marks);

    // Responses in the order of their messages; those that come later are
    // filled in as they arrive.
    struct Pending {
        QList<QPair<QJsonValue, QJsonObject>> responses;
        QList<std::pair<qsizetype, std::function<void(RpcReply::Deliver)>>> calls;
        qsizetype left = 0;
    };
    auto pending = std::make_shared<Pending>();
    for (const Message &message : std::as_const(messages)) {
        switch (message.kind) {
        case Message::Kind::invalid:
            pending->responses.append(
                { message.id, JsonRpc::errorResponse(message.id, { JsonRpc::kInvalidRequest, message.problem }) });
            break;
        case Message::Kind::notification:
            break; // initialized is marked above; others need nothing from us
        case Message::Kind::response:
            break; // we never ask the client anything
        case Message::Kind::request: {
            Answer answer = dispatch(message, user, nowMs);
            if (answer.pending)
                pending->calls.append({ pending->responses.size(), std::move(answer.pending) });
            pending->responses.append({ message.id, answer.response });
            break;
        }
        }
    }
    if (pending->responses.isEmpty())
        return ServiceResponse::empty(202);
    if (pending->calls.isEmpty())
        return finish(request, pending->responses, batch);
    return ServiceReply::deferred([this, pending, request, batch](ServiceReply::Deliver deliver) {
        pending->left = pending->calls.size();
        const auto calls = std::exchange(pending->calls, {});
        for (const auto &call : calls) {
            const auto index = call.first; // a copy: lambdas cannot capture structured bindings in C++20
            call.second([this, pending, request, batch, deliver, index](const RpcOutcome &outcome) {
                const QJsonValue id = pending->responses[index].first;
                if (const auto *failure = std::get_if<JsonRpc::Failure>(&outcome))
                    pending->responses[index].second = JsonRpc::errorResponse(id, *failure);
                else
                    pending->responses[index].second = JsonRpc::resultResponse(id, std::get<QJsonObject>(outcome));
                if (--pending->left == 0)
                    deliver(finish(request, pending->responses, batch));
            });
        }
    });
}

ServiceResponse McpEndpoint::finish(
    const ServiceRequest &request, const QList<QPair<QJsonValue, QJsonObject>> &responses, bool batch) const
{
    // The replies stay within what a client reads; room is kept for an error
    // to each response still to come, so past the limit each gets one.
    constexpr qsizetype kErrorRoom = 256;
    qsizetype left = m_options.maxReplyBytes - kErrorRoom * responses.size();
    QJsonArray out;
    for (const auto &[id, kept] : responses) {
        left += kErrorRoom;
        QJsonObject response = kept;
        // The framing of an event-stream message counts too.
        qsizetype size = JsonWriter::compact(response).size() + 32;
        if (size > left) {
            response = JsonRpc::errorResponse(id,
                { JsonRpc::kReplyTooLarge,
                    QStringLiteral("Reply too large: the replies to this request would pass %1 bytes; send fewer calls")
                        .arg(m_options.maxReplyBytes) });
            size = JsonWriter::compact(response).size() + 32;
        }
        left -= size;
        out.append(response);
    }
    return reply(request, out, batch);
}

ServiceResponse McpEndpoint::initialize(
    const ServiceRequest &request, const Message &message, const QString &user, qint64 nowMs)
{
    const QJsonObject params = message.params.toObject();
    if (!message.params.isObject() || !params.value(QStringLiteral("protocolVersion")).isString()) {
        const QJsonObject error = JsonRpc::errorResponse(message.id,
            { JsonRpc::kInvalidParams, QStringLiteral("Invalid params: initialize needs a protocolVersion") });
        return reply(request, QJsonArray { error }, false);
    }
    // One version is spoken; a client asking for another gets ours and decides.
    const QJsonObject result {
        { QStringLiteral("protocolVersion"), protocolVersion() },
        { QStringLiteral("capabilities"),
            QJsonObject { { QStringLiteral("tools"), QJsonObject { { QStringLiteral("listChanged"), false } } } } },
        { QStringLiteral("serverInfo"),
            QJsonObject { { QStringLiteral("name"), QStringLiteral("nivet-stampd") },
                { QStringLiteral("version"), QStringLiteral(NIVET_SERVICE_VERSION) } } },
        { QStringLiteral("instructions"),
            QStringLiteral(
                "Timestamps SHA-256 digests. Call stamp with a digest and a scope to get a receipt, verify "
                "with a receipt id to check it, hash_report with a digest to find its receipts, and proof for "
                "a receipt's Merkle inclusion proof. Receipts carry evidence that checks offline with the key "
                "log_key gives; tree_head, consistency and evidence serve the signed log.") },
    };
    const auto opened = m_sessions.open(nowMs, user, SessionStore::owner(user, request.clientAddress));
    if (!opened)
        return rpcError(503, { JsonRpc::kInternalError, opened.error().description }, message.id);
    const std::optional<McpSession> &session = *opened;
    if (!session)
        return rpcError(
            503, { JsonRpc::kTooManySessions, QStringLiteral("Too many sessions; try again later") }, message.id);
    ServiceResponse response = reply(request, QJsonArray { JsonRpc::resultResponse(message.id, result) }, false);
    response.withHeader(kSessionHeader, session->id.toLatin1());
    return response;
}

McpEndpoint::Answer McpEndpoint::dispatch(const Message &message, const QString &user, qint64 nowMs)
{
    const auto fail = [&](int code, const QString &text) {
        return Answer { JsonRpc::errorResponse(message.id, { code, text }), {} };
    };
    const QString &method = message.method;
    if (method == QLatin1String("initialize"))
        return fail(JsonRpc::kInvalidRequest, QStringLiteral("Invalid Request: initialize must be sent on its own"));
    if (method == QLatin1String("ping"))
        return Answer { JsonRpc::resultResponse(message.id, QJsonObject()), {} };
    if (method == QLatin1String("tools/list")) {
        if (message.params.isArray())
            return fail(JsonRpc::kInvalidParams, QStringLiteral("Invalid params: params must be an object"));
        return Answer { JsonRpc::resultResponse(
                            message.id, QJsonObject { { QStringLiteral("tools"), McpTools::definitions() } }),
            {} };
    }
    if (method == QLatin1String("tools/call")) {
        const QJsonObject params = message.params.toObject();
        const QJsonValue name = params.value(QStringLiteral("name"));
        const QJsonValue arguments = params.value(QStringLiteral("arguments"));
        if (!message.params.isObject() || !name.isString())
            return fail(JsonRpc::kInvalidParams, QStringLiteral("Invalid params: tools/call needs a tool name"));
        if (!arguments.isUndefined() && !arguments.isNull() && !arguments.isObject())
            return fail(JsonRpc::kInvalidParams, QStringLiteral("Invalid params: arguments must be an object"));
        RpcReply reply = m_tools.call(name.toString(), arguments.toObject(), user, nowMs);
        if (reply.pending)
            return Answer { {}, std::move(reply.pending) };
        if (const auto *failure = std::get_if<JsonRpc::Failure>(&reply.outcome))
            return fail(failure->code, failure->message);
        return Answer { JsonRpc::resultResponse(message.id, std::get<QJsonObject>(reply.outcome)), {} };
    }
    return fail(JsonRpc::kMethodNotFound, QStringLiteral("Method not found: %1").arg(method.left(100)));
}

ServiceResponse McpEndpoint::reply(const ServiceRequest &request, const QJsonArray &responses, bool batch) const
{
    if (m_options.eventStream && acceptsEventStream(request)) {
        // The stream carries the answers and ends: nothing else is ever sent on it.
        ServiceResponse response;
        response.headers = { { "Content-Type", "text/event-stream" }, { "Cache-Control", "no-cache" } };
        for (const QJsonValue &message : responses)
            response.body += "event: message\ndata: " + JsonWriter::compact(message) + "\n\n";
        return response;
    }
    return ServiceResponse::json(200, batch ? QJsonValue(responses) : responses.first());
}

ServiceResponse McpEndpoint::remove(const ServiceRequest &request, const QString &user, qint64 nowMs)
{
    SessionLookup lookup = findSession(request, user, nowMs);
    if (lookup.refusal)
        return *lookup.refusal;
    const QString id = lookup.session->id; // the session, and its id, go away in close()
    m_sessions.close(id);
    return ServiceResponse::empty(200);
}
