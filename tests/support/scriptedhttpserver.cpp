#include "scriptedhttpserver.h"

#include "core/jsonwriter.h"

#include <QTcpSocket>
#include <QTimer>

#include <memory>

using namespace Qt::StringLiterals;

QByteArray HttpRequest::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value.isNull() ? QByteArray("") : value; // present, though empty
    }
    return {};
}

HttpResponse HttpResponse::json(const QJsonValue &value, int status)
{
    return text(JsonWriter::compact(value), status, "application/json");
}

HttpResponse HttpResponse::text(const QByteArray &body, int status, const QByteArray &contentType)
{
    HttpResponse r;
    r.status = status;
    r.body = body;
    r.headers.append({ "Content-Type", contentType });
    return r;
}

ScriptedHttpServer::ScriptedHttpServer(QObject *parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &ScriptedHttpServer::onNewConnection);
    m_server.listen(QHostAddress::LocalHost, 0);
}

QUrl ScriptedHttpServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path));
}

void ScriptedHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        ++m_connections;
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void ScriptedHttpServer::serve(QTcpSocket *socket)
{
    // Requests may arrive in pieces or several at once on a kept-alive connection.
    auto buffer = socket->property("buffer").toByteArray() + socket->readAll();
    for (;;) {
        const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            break;
        QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        const QList<QByteArray> first = lines.takeFirst().trimmed().split(' ');
        HttpRequest request { first.value(0), first.value(1), {}, {} };
        for (const QByteArray &line : std::as_const(lines)) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0)
                request.headers.append({ line.left(colon).trimmed(), line.mid(colon + 1).trimmed() });
        }
        const qsizetype contentLength = request.header("Content-Length").toLongLong();
        if (buffer.size() < headerEnd + 4 + contentLength)
            break;
        request.body = buffer.mid(headerEnd + 4, contentLength);
        buffer.remove(0, headerEnd + 4 + contentLength);

        m_requests.append(request);
        HttpResponse response = HttpResponse::text("no script", 404);
        if (!m_queue.empty()) {
            response = std::move(m_queue.front());
            m_queue.pop_front();
        } else if (m_handler) {
            response = m_handler(request);
        }
        respond(socket, std::move(response));
    }
    socket->setProperty("buffer", buffer);
}

void ScriptedHttpServer::respond(QTcpSocket *socket, HttpResponse response)
{
    using Action = HttpResponse::Action;
    if (response.action == Action::Hang)
        return;
    if (response.action == Action::Drop)
        return socket->abort();
    if (response.action == Action::NotHttp) {
        socket->write(response.body);
        return socket->disconnectFromHost();
    }
    QByteArray head
        = "HTTP/1.1 " + QByteArray::number(response.status) + (response.status < 400 ? " OK\r\n" : " Failed\r\n");
    for (const auto &[name, value] : response.headers)
        head += name + ": " + value + "\r\n";
    if (response.action != Action::Stream)
        head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    head += "\r\n";
    if (response.action == Action::DropMidBody) {
        socket->write(head + response.body.left(response.body.size() / 2));
        socket->flush();
        QTimer::singleShot(20, socket, [socket] { socket->abort(); });
        return;
    }
    if (response.action == Action::Stream || response.action == Action::Trickle) {
        // A trickled body is progress an inactivity timeout must see; a stream's
        // pings are not, and end after a hundred so that a client fails, not hangs.
        const bool stream = response.action == Action::Stream;
        const QByteArray ping = ": ping\n\n";
        const qsizetype step = stream ? ping.size() : 1;
        socket->write(stream ? head + response.body : head);
        auto rest = std::make_shared<QByteArray>(stream ? ping.repeated(100) : response.body);
        auto timer = new QTimer(socket); // dies with the socket
        connect(timer, &QTimer::timeout, socket, [socket, rest, step, stream] {
            if (stream && rest->isEmpty())
                return socket->disconnectFromHost();
            socket->write(rest->left(step));
            rest->remove(0, step);
        });
        timer->start(response.trickleMs);
        return;
    }
    socket->write(head + response.body);
}

ScriptedHttpServer::Handler ScriptedHttpServer::mcp(
    std::function<HttpResponse(const QString &, const QJsonObject &, const HttpRequest &)> tool)
{
    auto counter = std::make_shared<int>(0);
    return [counter, tool](const HttpRequest &request) {
        const QJsonObject body = request.json();
        const QJsonObject params = body[u"params"_s].toObject();
        if (body[u"method"_s] == u"initialize"_s)
            return HttpResponse::json(QJsonObject { { u"jsonrpc"_s, u"2.0"_s }, { u"id"_s, 1 },
                                          { u"result"_s,
                                              QJsonObject { { u"protocolVersion"_s, u"2025-03-26"_s },
                                                  { u"capabilities"_s, QJsonObject {} } } } })
                .withHeader("Mcp-Session-Id", "session-" + QByteArray::number(++*counter));
        if (!body.contains(u"id"_s))
            return HttpResponse::text({}, 202);
        return tool(params[u"name"_s].toString(), params[u"arguments"_s].toObject(), request);
    };
}

HttpResponse ScriptedHttpServer::toolResult(const QJsonObject &result)
{
    return HttpResponse::json(QJsonObject { { u"jsonrpc"_s, u"2.0"_s }, { u"id"_s, 2 },
        { u"result"_s, QJsonObject { { u"structuredContent"_s, result } } } });
}
