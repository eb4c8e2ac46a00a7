#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QList>
#include <QPair>
#include <QString>

#include <functional>

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

/// The first field of that name in headers, matched without regard to case; null when absent.
QByteArray headerValue(const HeaderList &headers, const QByteArray &name);

/// One HTTP request as the service sees it, independent of any socket.
struct ServiceRequest {
    QByteArray method; // upper case, e.g. "POST"
    QByteArray path; // without the query, percent-decoded
    HeaderList headers;
    QByteArray body;
    QString clientAddress; // the peer's IP address, e.g. "127.0.0.1"

    /// The first header of that name, matched without regard to case; null when absent.
    QByteArray header(const QByteArray &name) const;
    bool hasHeader(const QByteArray &name) const;
    /// The token of an "Authorization: Bearer ..." header, trimmed; empty when there is none.
    QByteArray bearerToken() const;
};

/// One HTTP response. Content-Length is added by whoever writes it out.
struct ServiceResponse {
    int status = 200;
    HeaderList headers;
    QByteArray body;

    QByteArray header(const QByteArray &name) const;
    ServiceResponse &withHeader(const QByteArray &name, const QByteArray &value);

    /// Compact JSON with Content-Type application/json.
    static ServiceResponse json(int status, const QJsonValue &value);
    /// A short UTF-8 text with Content-Type text/plain.
    static ServiceResponse text(int status, const QString &text);
    /// No body at all.
    static ServiceResponse empty(int status);
};

/// What a request gets: its response at once; slow work (password hashing)
/// that makes the response on a worker thread, holding copies of all it
/// needs; or a response that comes later on this thread (a stamp waiting for
/// its commit), which the server waits for with the connection set aside.
struct ServiceReply {
    /// Hands the response over; called once, on the thread that asked.
    using Deliver = std::function<void(const ServiceResponse &response)>;

    ServiceReply(ServiceResponse ready)
        : response(std::move(ready))
    {
    } // implicit: every response is a reply
    explicit ServiceReply(std::function<ServiceResponse()> later)
        : work(std::move(later))
    {
    }
    /// A reply that start() delivers when it is ready.
    static ServiceReply deferred(std::function<void(Deliver deliver)> start)
    {
        ServiceReply reply(ServiceResponse {});
        reply.pending = std::move(start);
        return reply;
    }

    ServiceResponse response;
    std::function<ServiceResponse()> work; // when set, response is not used
    std::function<void(Deliver)> pending; // when set, neither is
};
