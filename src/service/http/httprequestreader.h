#pragma once

#include "service/http/httpmessage.h"

/// Reads HTTP/1.1 requests from the bytes of one connection, one request at
/// a time, and refuses a request as soon as it passes a limit, before more
/// of it is held: a head over the limit, a declared body over the limit
/// (from its Content-Length alone), a chunked body once its chunks pass it.
/// Knows nothing about sockets.
class HttpRequestReader {
public:
    static constexpr qsizetype kMaxHeadBytes = 16 * 1024;
    static constexpr qsizetype kMaxBodyBytes = 1024 * 1024;

    enum class Status { incomplete, complete, failed };

    /// Adds bytes as they arrive.
    void append(const QByteArray &bytes) { m_buffer += bytes; }

    /// Reads as far as the bytes go. After complete, take() hands the request
    /// over and starts the next; after failed, failure() is the answer and
    /// the connection must be closed, since its framing is lost.
    Status next();

    ServiceRequest take();

    /// The request as far as it was read: method and path for the log.
    const ServiceRequest &current() const { return m_request; }
    /// Whether the connection may carry another request after this one.
    bool keepAlive() const { return m_keepAlive; }
    /// True once per request that asked for "100 Continue" while its body is
    /// still to come.
    bool takeContinue();
    const ServiceResponse &failure() const { return m_failure; }

private:
    enum class Phase { head, body, chunkSize, chunkData, chunkEnd, trailers, done, failed };

    Status fail(int status, const QString &text);
    Status readHead();
    Status startBody();
    Status readChunkSize();
    Status readTrailers();

    QByteArray m_buffer;
    Phase m_phase = Phase::head;
    ServiceRequest m_request;
    qsizetype m_remaining = 0; // body or chunk bytes still to come
    qsizetype m_trailerBytes = 0;
    bool m_keepAlive = false;
    bool m_continue = false;
    ServiceResponse m_failure;
};
