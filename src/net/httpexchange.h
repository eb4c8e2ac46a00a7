#pragma once

#include "core/expected.h"
#include "net/eventstream.h"

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QList>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QObject>
#include <QPair>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <optional>

/// One HTTP request and its reply, as the MCP client and the Auth API client
/// both make them. Every server is a stranger: a redirect is an answer like
/// any other status, a POST goes out once (a dropped one is never resent),
/// replies are bounded, cookies are neither kept nor sent, and a request
/// fails when no data moves for the inactivity timeout.
class HttpExchange : public QObject {
    Q_OBJECT
public:
    /// The largest reply body read (16 MiB); a larger one fails as soon as
    /// the limit is passed.
    static constexpr qint64 kMaxReplyBytes = 16 * 1024 * 1024;
    /// The most characters of outside text a status quotes, "…" included.
    static constexpr qsizetype kMaxQuotedCharacters = 500;

    struct Response {
        int status = 0; // 0 when the reply was not an HTTP response
        QByteArray body; // the bytes read
        QByteArray mimeType; // Content-Type without parameters, lower case
        QList<QPair<QByteArray, QByteArray>> headers; // as received, byte for byte
        std::optional<ServerSentEvent> event; // the stream event that ended the exchange

        /// The first header of that name, matched without regard to case;
        /// null when there is none.
        QByteArray header(const QByteArray &name) const;
        bool isSuccess() const { return status >= 200 && status <= 299; }
    };

    /// Picks the event that answers the request out of a 2xx event-stream
    /// reply, read as it arrives; the exchange ends the moment it says yes.
    using EventFilter = std::function<bool(const ServerSentEvent &)>;

    /// A secret a server may echo, and what is shown in its place.
    struct Secret {
        QString text;
        QString shownAs;
    };

    explicit HttpExchange(QObject *parent = nullptr);
    ~HttpExchange() override;

    /// The inactivity timeout of every request (60 s); tests shorten it.
    void setTransferTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }

    /// Sends request as a GET, or as a POST of body when method is "POST".
    /// Fails only when no answer came: a transport error, the timeout, a
    /// reply over the limit, or a header value that would split the request.
    /// Any HTTP status, 3xx included, is an answer.
    QCoro::Task<Expected<Response>> send(
        QNetworkRequest request, QByteArray method, QByteArray body, EventFilter takeEvent = {});

    /// True for an absolute http or https URL with a host: the only kind a
    /// client sends to.
    static bool isHttpUrl(const QUrl &url);

    /// A reply body as text: UTF-8, or empty text when it is not valid UTF-8.
    static QString bodyText(const QByteArray &body);

    /// text with every secret in it replaced by its stand-in.
    static QString masked(QString text, const QList<Secret> &secrets);

    /// Outside text fit to stand in a status: masked, then cut to
    /// kMaxQuotedCharacters user-perceived characters ending in "…".
    static QString quoted(const QString &text, const QList<Secret> &secrets);

private:
    std::chrono::milliseconds m_timeout { 60'000 };
    QNetworkAccessManager m_network;
};
