#include "mcp/mcpclient.h"

#include "core/jsonwriter.h"
#include "core/laterdeleted.h"
#include "core/text.h"
#include "storage/configstore.h"
#include "auth/authstore.h"
#include "mcp/eventstream.h"

#include <QCoro/QCoroNetworkReply>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QPointer>
#include <QStringDecoder>

#include <memory>

namespace {

const QByteArray kSessionHeader = "Mcp-Session-Id";

// A network-level failure (no connection, dropped, timed out), as opposed to
// an HTTP status that Qt also reports as an error: any reply that carries a
// status is an answer, whatever NetworkError Qt maps it to (400 and 418 land
// among the protocol errors, 407 among the proxy errors).
bool isTransportFailure(QNetworkReply::NetworkError error, bool hasStatus)
{
    if (error == QNetworkReply::NoError)
        return false;
    const int code = static_cast<int>(error);
    const bool networkLayer = code >= 1 && code <= 99; // includes a body cut off after the headers
    return networkLayer || !hasStatus;
}

Expected<QJsonValue> parseDocument(const QByteArray &bytes, const QString &what)
{
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        return Error{QStringLiteral("Invalid JSON in %1: %2 at offset %3")
                         .arg(what, parseError.errorString())
                         .arg(parseError.offset)};
    }
    if (doc.isObject())
        return QJsonValue(doc.object());
    if (doc.isArray())
        return QJsonValue(doc.array());
    return Error{QStringLiteral("Invalid JSON in %1: not an object or array").arg(what)};
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
        return MCPClientError::message(text.isString() && !text.toString().isEmpty() ? text.toString()
                                                                                     : QStringLiteral("Tool call failed"))
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

} // namespace

MCPClient::MCPClient(const QString &urlString, QObject *parent) : QObject(parent)
{
    m_url = isUsableEndpoint(urlString) ? QUrl(urlString.trimmed(), QUrl::StrictMode) : QUrl(defaultEndpoint());
}

bool MCPClient::isUsableEndpoint(const QString &urlString)
{
    const QUrl url(urlString.trimmed(), QUrl::StrictMode);
    return url.isValid() && !url.isRelative() && !url.host().isEmpty()
        && (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"));
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
        request.setRawHeader(kSessionHeader, session.toUtf8());
    request.setTransferTimeout(static_cast<int>(m_timeout.count()));
    return request;
}

QCoro::Task<QNetworkRequest> MCPClient::applyAuth(QNetworkRequest request)
{
    // A token about to expire is renewed first; whatever that reports, the
    // request goes out, with the token as it now stands on disk.
    auto refresh = AuthStore::shared().ensureFreshToken(5);
    co_await refresh;
    const QString token = Text::trimmed(AuthStore::currentBearerToken());
    if (!token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    co_return request;
}

QCoro::Task<Expected<MCPClient::Reply>> MCPClient::post(QNetworkRequest request, QByteArray body)
{
    QPointer<MCPClient> self(this);
    request = co_await applyAuth(std::move(request));
    if (!self)
        co_return Error{QStringLiteral("Cancelled")};

    LaterDeleted<QNetworkReply> reply(co_await m_network.post(request, body));
    if (!reply)
        co_return Error{QStringLiteral("No HTTP response")};

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (isTransportFailure(reply->error(), status.isValid())) {
        if (reply->error() == QNetworkReply::OperationCanceledError) {
            // Qt reports its own transfer timeout as a cancellation.
            co_return Error{QStringLiteral("The request timed out: no data from %1 for %2 seconds")
                                .arg(m_url.host())
                                .arg(m_timeout.count() / 1000.0)};
        }
        co_return Error{reply->errorString()};
    }
    Reply out;
    out.status = status.isValid() ? status.toInt() : 0;
    out.body = reply->readAll();
    out.contentType = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
    // rawHeader() matches names without regard to case.
    if (reply->hasRawHeader(kSessionHeader))
        out.sessionId = reply->rawHeader(kSessionHeader);
    co_return out;
}

static Error badStatusError(int status, const QByteArray &body)
{
    // A body that is not valid UTF-8 is shown as empty text.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder(body);
    if (decoder.hasError())
        text.clear();
    return MCPClientError::badStatus(status, text).toError();
}

// A reply that counts as an answer: an HTTP response with a 2xx status.
Expected<MCPClient::Reply> MCPClient::answered(Expected<Reply> reply)
{
    if (!reply)
        return reply.error();
    if (reply->status == 0)
        return MCPClientError::message(QStringLiteral("No HTTP response")).toError();
    if (reply->status < 200 || reply->status > 299)
        return badStatusError(reply->status, reply->body);
    return reply;
}

QCoro::Task<Expected<QString>> MCPClient::openSession()
{
    const QJsonObject initialize{
        {QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
        {QStringLiteral("id"), 1},
        {QStringLiteral("method"), QStringLiteral("initialize")},
        {QStringLiteral("params"),
         QJsonObject{
             {QStringLiteral("protocolVersion"), QStringLiteral("2025-03-26")},
             {QStringLiteral("capabilities"), QJsonObject{}},
             {QStringLiteral("clientInfo"),
              QJsonObject{{QStringLiteral("name"), QStringLiteral("nivet-timestamping-mac")},
                          {QStringLiteral("version"), QStringLiteral("0.2.0")}}},
         }},
    };
    // Requests and bodies go into locals first: g++ 12 mishandles non-trivial
    // temporaries inside a co_await expression.
    QNetworkRequest request = baseRequest(QString());
    QByteArray body = JsonWriter::compact(initialize);
    auto sent = co_await post(request, body);
    auto reply = answered(std::move(sent));
    if (!reply)
        co_return reply.error();
    if (reply->sessionId.isNull())
        co_return MCPClientError::noSession().toError();
    const QString session = QString::fromUtf8(reply->sessionId);

    const QJsonObject initialized{
        {QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
        {QStringLiteral("method"), QStringLiteral("notifications/initialized")},
    };
    // Whatever the server answers to the notification is ignored; only a
    // transport failure counts.
    QNetworkRequest ackRequest = baseRequest(session);
    QByteArray ackBody = JsonWriter::compact(initialized);
    auto ack = co_await post(ackRequest, ackBody);
    if (!ack)
        co_return ack.error();
    co_return session;
}

QCoro::Task<Expected<QJsonObject>> MCPClient::callToolRaw(QString session, QString name, QJsonObject arguments)
{
    const QJsonObject call{
        {QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
        {QStringLiteral("id"), 2},
        {QStringLiteral("method"), QStringLiteral("tools/call")},
        {QStringLiteral("params"), QJsonObject{{QStringLiteral("name"), name}, {QStringLiteral("arguments"), arguments}}},
    };
    QNetworkRequest request = baseRequest(session);
    QByteArray body = JsonWriter::compact(call);
    auto sent = co_await post(request, body);
    auto reply = answered(std::move(sent));
    if (!reply)
        co_return reply.error();
    co_return readToolReply(reply->body, reply->contentType);
}

Expected<QJsonObject> MCPClient::readToolReply(const QByteArray &body, const QByteArray &contentType)
{
    const QByteArray mime = contentType.split(';').first().trimmed().toLower();
    if (mime == "text/event-stream") {
        // The response to our request (id 2) is one of the stream's message
        // events; notifications and requests from the server come before it.
        for (const ServerSentEvent &event : parseEventStream(body)) {
            if (event.event != QLatin1String("message") || event.data.trimmed().isEmpty())
                continue;
            const QJsonDocument doc = QJsonDocument::fromJson(event.data);
            const QJsonObject message = doc.object();
            if (!doc.isObject() || message.value(QStringLiteral("id")) != QJsonValue(2))
                continue;
            if (!message.contains(QStringLiteral("result")) && !message.contains(QStringLiteral("error")))
                continue;
            return readEnvelope(message);
        }
        return MCPClientError::message(QStringLiteral("MCP event stream ended without a response")).toError();
    }
    auto document = parseDocument(body, QStringLiteral("MCP response"));
    if (!document)
        return document.error();
    return readEnvelope(*document);
}
