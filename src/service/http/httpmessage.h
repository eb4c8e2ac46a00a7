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

/// What a request gets: its response at once, or slow work (password
/// hashing) that makes the response. The work holds copies of all it needs,
/// so it may run on any thread while other requests are served.
struct ServiceReply {
    ServiceReply(ServiceResponse ready)
        : response(std::move(ready))
    {
    } // implicit: every response is a reply
    explicit ServiceReply(std::function<ServiceResponse()> later)
        : work(std::move(later))
    {
    }

    ServiceResponse response;
    std::function<ServiceResponse()> work; // when set, response is not used
};
