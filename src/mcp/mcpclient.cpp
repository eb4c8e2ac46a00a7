#include "mcp/mcpclient.h"

#include "auth/tokensource.h"
#include "core/jsonwriter.h"
#include "storage/nivetdefaults.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>

namespace {

const QByteArray kSessionHeader = "Mcp-Session-Id";

Expected<QJsonValue> parseDocument(const QByteArray &bytes, const QString &what)
{
    QJsonParseError parseError {};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        return Error { QStringLiteral("Invalid JSON in %1: %2 at offset %3")
                           .arg(what, parseError.errorString())
                           .arg(parseError.offset) };
    }
    if (doc.isObject())
        return QJsonValue(doc.object());
    if (doc.isArray())
        return QJsonValue(doc.array());
    return Error { QStringLiteral("Invalid JSON in %1: not an object or array").arg(what) };
}

QString renderErrorValue(const QJsonValue &value)
{
    if (value.isString())
        return QStringLiteral("\"%1\"").arg(value.toString());
    return QString::fromUtf8(JsonWriter::compact(value));
}

// The JSON-RPC error object as ["key": value, ...].
QString renderErrorObject(const QJsonObject &error)
{
    QStringList parts;
    for (auto it = error.begin(); it != error.end(); ++it)
        parts.append(QStringLiteral("\"%1\": %2").arg(it.key(), renderErrorValue(it.value())));
    return QLatin1Char('[') + parts.join(QStringLiteral(", ")) + QLatin1Char(']');
}

// The tool-reply rules from the envelope down to the result object.
Expected<QJsonObject> readEnvelope(const QJsonValue &document)
{
    const QJsonObject top = document.isObject() ? document.toObject() : QJsonObject();
    if (!top.isEmpty() && top.value(QStringLiteral("error")).isObject())
        return MCPClientError::message(renderErrorObject(top.value(QStringLiteral("error")).toObject())).toError();
    if (top.isEmpty() || !top.value(QStringLiteral("result")).isObject())
        return MCPClientError::message(QStringLiteral("Missing result")).toError();

    const QJsonObject result = top.value(QStringLiteral("result")).toObject();
    if (result.isEmpty())
        return result;

    const QJsonValue content = result.value(QStringLiteral("content"));

    // A tool that failed says so with isError; its first text is the service's
    // own explanation, more useful than a complaint about that text's syntax.
    if (result.value(QStringLiteral("isError")).toBool(false)) {
        const QJsonObject first = content.toArray().at(0).toObject();
        const QJsonValue text = first.value(QStringLiteral("text"));
        return MCPClientError::message(
            text.isString() && !text.toString().isEmpty() ? text.toString() : QStringLiteral("Tool call failed"))
            .toError();
    }

    if (result.value(QStringLiteral("structuredContent")).isObject())
        return result.value(QStringLiteral("structuredContent")).toObject();

    if (content.isArray()) {
        const QJsonArray items = content.toArray();
        for (const QJsonValue &item : items) {
            if (!item.isObject())
                return result;
        }
        if (items.isEmpty())
            return result;
        const QJsonObject first = items.first().toObject();
        const QJsonValue text = first.value(QStringLiteral("text"));
        if (first.isEmpty() || !text.isString())
            return result;
        auto parsed = parseDocument(text.toString().toUtf8(), QStringLiteral("MCP tool result text"));
        if (!parsed)
            return parsed.error();
        if (parsed->isObject())
            return parsed->toObject();
        return result;
    }
    return result;
}

// What a failure shows: the server's words with the credentials sent hidden,
// cut to the length a status quotes.
Error shown(const Error &error, const QList<HttpExchange::Secret> &secrets)
{
    return Error { HttpExchange::quoted(error.description, secrets) };
}

} // namespace

MCPClient::MCPClient(const QString &urlString, std::shared_ptr<TokenSource> tokens, QObject *parent)
    : QObject(parent)
    , m_tokens(std::move(tokens))
{
    m_url = isUsableEndpoint(urlString) ? QUrl(urlString.trimmed(), QUrl::StrictMode) : QUrl(defaultEndpoint());
}

bool MCPClient::isUsableEndpoint(const QString &urlString)
{
    return HttpExchange::isHttpUrl(QUrl(urlString.trimmed(), QUrl::StrictMode));
}

MCPClient::~MCPClient() = default;

QString MCPClient::defaultEndpoint()
{
    return NivetDefaults::defaultEndpoint();
}

QNetworkRequest MCPClient::baseRequest(const QString &session) const
{
    QNetworkRequest request(m_url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setRawHeader("Accept", "application/json, text/event-stream");
    if (!session.isNull())
        request.setRawHeader(kSessionHeader, session.toLatin1());
    return request;
}

QCoro::Task<QNetworkRequest> MCPClient::applyAuth(QNetworkRequest request)
{
    if (!m_tokens)
        co_return request;
    const std::shared_ptr<TokenSource> tokens = m_tokens; // alive while it answers
    auto fetching = tokens->bearerToken();
    const QString token = co_await fetching;
    if (!token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    co_return request;
}

QCoro::Task<MCPClient::Posted> MCPClient::post(QString session, QByteArray body, HttpExchange::EventFilter takeEvent)
{
    QPointer<MCPClient> self(this);
    QNetworkRequest request = baseRequest(session);
    auto authorizing = applyAuth(request);
    request = co_await authorizing;
    if (!self)
        co_return Posted { Error { QStringLiteral("Cancelled") }, {} };

    QList<HttpExchange::Secret> secrets;
    if (const QByteArray header = request.rawHeader("Authorization"); header.startsWith("Bearer "))
        secrets.append(Credentials::hiddenToken(QString::fromUtf8(header.mid(7))));
    auto sending = m_http.send(request, "POST", body, std::move(takeEvent));
    auto reply = co_await sending;
    co_return Posted { std::move(reply), secrets };
}

// A reply that counts as an answer: an HTTP response with a 2xx status.
Expected<HttpExchange::Response> MCPClient::answered(Expected<HttpExchange::Response> reply)
{
    if (!reply)
        return reply.error();
    if (reply->status == 0)
        return MCPClientError::message(QStringLiteral("No HTTP response")).toError();
    if (!reply->isSuccess()) // a redirect too: its target is no host the user configured
        return MCPClientError::badStatus(reply->status, HttpExchange::bodyText(reply->body)).toError();
    return reply;
}

QCoro::Task<Expected<QString>> MCPClient::openSession()
{
    const QJsonObject initialize {
        { QStringLiteral("jsonrpc"), QStringLiteral("2.0") },
        { QStringLiteral("id"), 1 },
        { QStringLiteral("method"), QStringLiteral("initialize") },
        { QStringLiteral("params"),
            QJsonObject {
                { QStringLiteral("protocolVersion"), QStringLiteral("2025-03-26") },
                { QStringLiteral("capabilities"), QJsonObject {} },
                { QStringLiteral("clientInfo"),
                    QJsonObject { { QStringLiteral("name"), QStringLiteral("nivet-timestamping-mac") },
                        { QStringLiteral("version"), QStringLiteral("0.2.0") } } },
            } },
    };
    // Bodies go into locals first: g++ 12 mishandles non-trivial temporaries
    // inside a co_await expression.
    QByteArray body = JsonWriter::compact(initialize);
    auto opening = post(QString(), body);
    auto sent = co_await opening;
    auto reply = answered(std::move(sent.reply));
    if (!reply)
        co_return shown(reply.error(), sent.secrets);
    const QByteArray sessionId = reply->header(kSessionHeader);
    if (sessionId.isNull())
        co_return MCPClientError::noSession().toError();
    const QString session = QString::fromLatin1(sessionId);

    const QJsonObject initialized {
        { QStringLiteral("jsonrpc"), QStringLiteral("2.0") },
        { QStringLiteral("method"), QStringLiteral("notifications/initialized") },
    };
    // Whatever the server answers to the notification is ignored; only a
    // transport failure counts.
    QByteArray ackBody = JsonWriter::compact(initialized);
    auto acking = post(session, ackBody);
    auto ack = co_await acking;
    if (!ack.reply)
        co_return shown(ack.reply.error(), ack.secrets);
    co_return session;
}

QCoro::Task<Expected<QJsonObject>> MCPClient::callToolRaw(QString session, QString name, QJsonObject arguments)
{
    const QJsonObject call {
        { QStringLiteral("jsonrpc"), QStringLiteral("2.0") },
        { QStringLiteral("id"), 2 },
        { QStringLiteral("method"), QStringLiteral("tools/call") },
        { QStringLiteral("params"),
            QJsonObject { { QStringLiteral("name"), name }, { QStringLiteral("arguments"), arguments } } },
    };
    QByteArray body = JsonWriter::compact(call);
    // An event stream is read as it arrives and ends with the response,
    // however long the server keeps it open after that.
    auto calling = post(session, body, &MCPClient::isToolResponse);
    auto sent = co_await calling;
    auto reply = answered(std::move(sent.reply));
    if (!reply)
        co_return shown(reply.error(), sent.secrets);
    auto result = reply->event ? readEnvelope(QJsonDocument::fromJson(reply->event->data).object())
                               : readToolReply(reply->body, reply->mimeType);
    if (!result)
        co_return shown(result.error(), sent.secrets);
    co_return result;
}

bool MCPClient::isToolResponse(const ServerSentEvent &event)
{
    if (event.event != QLatin1String("message") || event.data.trimmed().isEmpty())
        return false;
    const QJsonDocument doc = QJsonDocument::fromJson(event.data);
    const QJsonObject message = doc.object();
    return doc.isObject() && message.value(QStringLiteral("id")) == QJsonValue(2)
        && (message.contains(QStringLiteral("result")) || message.contains(QStringLiteral("error")));
}

Expected<QJsonObject> MCPClient::readToolReply(const QByteArray &body, const QByteArray &contentType)
{
    const QByteArray mime = contentType.split(';').first().trimmed().toLower();
    if (mime == "text/event-stream") {
        // The response to our request (id 2) is one of the stream's message
        // events; notifications and requests from the server come before it.
        for (const ServerSentEvent &event : parseEventStream(body)) {
            if (isToolResponse(event))
                return readEnvelope(QJsonDocument::fromJson(event.data).object());
        }
        return MCPClientError::message(QStringLiteral("MCP event stream ended without a response")).toError();
    }
    auto document = parseDocument(body, QStringLiteral("MCP response"));
    if (!document)
        return document.error();
    return readEnvelope(*document);
}
