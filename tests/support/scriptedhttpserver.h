#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPair>
#include <QTcpServer>
#include <QUrl>

#include <deque>
#include <functional>

/// One request as it arrived on the wire.
struct HttpRequest {
    QByteArray method;
    QByteArray target; // path and query, as sent
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    /// The value of the first header of that name, matched without regard to case.
    QByteArray header(const QByteArray &name) const;
    bool hasHeader(const QByteArray &name) const { return !header(name).isNull(); }
    /// The body parsed as a JSON object (empty when it is not one).
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

/// What the server does with one request.
struct HttpResponse {
    enum class Action {
        Reply, // send the whole reply at once
        Hang, // read the request, never answer
        Drop, // close the connection without answering
        DropMidBody, // send the headers and half the body, then close
        Trickle, // send the headers, then the body one byte at a time, trickleMs apart
        NotHttp, // send the body alone, no status line or headers, then close
        Stream, // send the headers without a length and the body, then ": ping" every trickleMs, a hundred times
    };

    int status = 200;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    Action action = Action::Reply;
    int trickleMs = 0;

    static HttpResponse json(const QJsonValue &value, int status = 200);
    static HttpResponse text(const QByteArray &body, int status, const QByteArray &contentType = "text/plain");
    HttpResponse &withHeader(const QByteArray &name, const QByteArray &value)
    {
        headers.append({ name, value });
        return *this;
    }
};

/// A scripted HTTP/1.1 server on 127.0.0.1 and a free port, for tests. Replies
/// come from a queue first, then from the handler; with neither it answers 404.
class ScriptedHttpServer : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<HttpResponse(const HttpRequest &)>;

    explicit ScriptedHttpServer(QObject *parent = nullptr);

    quint16 port() const { return m_server.serverPort(); }
    QUrl url(const QString &path = QStringLiteral("/mcp")) const;

    void setHandler(Handler handler) { m_handler = std::move(handler); }
    void enqueue(HttpResponse response) { m_queue.push_back(std::move(response)); }

    const QList<HttpRequest> &requests() const { return m_requests; }
    /// Connections accepted so far.
    int connections() const { return m_connections; }
    void clearRequests() { m_requests.clear(); }

    /// A handler that plays a stamping service: initialize answers with a
    /// session header, notifications with 202, tools/call with tool(name,
    /// arguments, request). Session ids are "session-1", "session-2", ...
    static Handler mcp(
        std::function<HttpResponse(const QString &tool, const QJsonObject &arguments, const HttpRequest &request)>
            tool);
    /// A tools/call reply carrying result as structuredContent.
    static HttpResponse toolResult(const QJsonObject &result);

private:
    void onNewConnection();
    void serve(class QTcpSocket *socket);
    void respond(QTcpSocket *socket, HttpResponse response);

    QTcpServer m_server;
    Handler m_handler;
    std::deque<HttpResponse> m_queue;
    QList<HttpRequest> m_requests;
    int m_connections = 0;
};
