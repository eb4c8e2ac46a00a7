#include "service/http/httpfrontend.h"

#include "service/http/httprequestreader.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QLocale>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <sys/socket.h>

namespace {

// Qt reads no further ahead than this while a request is being answered.
constexpr qint64 kReadChunk = 64 * 1024;
// Answers a client has not read yet; past this its next request waits.
constexpr qint64 kMaxUnsentBytes = 1024 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 202:
        return "Accepted";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 413:
        return "Content Too Large";
    case 415:
        return "Unsupported Media Type";
    case 417:
        return "Expectation Failed";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Status";
    }
}

QByteArray serialize(const ServiceResponse &response, qint64 nowMs, bool withBody, bool close)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reasonPhrase(response.status) + "\r\n";
    out += "Date: "
        + QLocale::c()
              .toString(
                  QDateTime::fromMSecsSinceEpoch(nowMs, Qt::UTC), QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"))
              .toLatin1()
        + "\r\n";
    for (const auto &[name, value] : response.headers)
        out += name + ": " + value + "\r\n";
    out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    if (close)
        out += "Connection: close\r\n";
    out += "\r\n";
    if (withBody)
        out += response.body;
    return out;
}

// Outside bytes in a log line: visible ASCII stays, everything else becomes
// \xNN, so no request can end or forge a line or drive the terminal.
QString printable(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return QStringLiteral("-");
    QString out;
    for (const char c : bytes) {
        if (c > 0x20 && c < 0x7f && c != '\\')
            out += QLatin1Char(c);
        else
            out += QStringLiteral("\\x%1").arg(static_cast<uchar>(c), 2, 16, QLatin1Char('0'));
    }
    return out;
}

} // namespace

// One client connection: requests are read and answered one at a time, in order.
class HttpFrontend::Connection : public QObject {
public:
    Connection(HttpFrontend &server, QTcpSocket *socket, quint64 id)
        : QObject(&server)
        , m_server(server)
        , m_socket(socket)
        , m_id(id)
    {
        socket->setParent(this);
        socket->setReadBufferSize(kReadChunk);
        m_idle.setSingleShot(true);
        m_idle.setInterval(static_cast<int>(std::clamp<qint64>(server.m_limits.idleTimeoutMs, 1, INT_MAX)));
        connect(&m_idle, &QTimer::timeout, this, [this] { close(); });
        connect(socket, &QTcpSocket::readyRead, this, [this] { serve(); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this] { m_closing ? linger() : serve(); });
        connect(socket, &QTcpSocket::disconnected, this, [this] { close(); });
        waitForRequest();
    }

    bool busy() const { return m_busy; }
    bool closing() const { return m_closing; }
    quint64 idleOrder() const { return m_idleOrder; }

    // The answer to the request whose work ran elsewhere.
    void deliver(const ServiceResponse &response)
    {
        finish(response);
        serve();
    }

    // At once, whatever it was doing.
    void close()
    {
        if (m_closed)
            return;
        m_closed = true;
        m_idle.stop();
        m_server.m_connections.remove(m_id);
        m_socket->abort();
        deleteLater();
    }

private:
    void serve()
    {
        if (m_closed)
            return;
        if (m_closing) {
            m_socket->skip(m_socket->bytesAvailable());
            return;
        }
        while (!m_busy && !m_closing && m_socket->bytesToWrite() <= kMaxUnsentBytes) {
            switch (m_reader.next()) {
            case HttpRequestReader::Status::complete:
                dispatch(m_reader.take());
                continue;
            case HttpRequestReader::Status::failed:
                m_method = m_reader.current().method;
                m_path = m_reader.current().path;
                m_started.start();
                finish(m_reader.failure());
                return;
            case HttpRequestReader::Status::incomplete:
                break;
            }
            if (m_reader.takeContinue())
                m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
            if (m_socket->bytesAvailable() == 0)
                return;
            m_reader.append(m_socket->read(kReadChunk));
        }
    }

    void dispatch(const ServiceRequest &request)
    {
        m_busy = true;
        m_idle.stop(); // a request being answered is no idleness of the client
        m_method = request.method;
        m_path = request.path;
        m_started.start();
        ServiceReply reply = m_server.m_handler(request);
        if (reply.work)
            m_server.runLater(m_id, std::move(reply.work));
        else
            finish(reply.response);
    }

    void finish(const ServiceResponse &response)
    {
        m_busy = false;
        const bool keepAlive = m_reader.keepAlive();
        m_server.logRequest(m_method, m_path, response.status, m_started.nsecsElapsed());
        m_socket->write(serialize(response, m_server.m_clock(), m_method != "HEAD", !keepAlive));
        if (keepAlive)
            waitForRequest();
        else
            linger();
    }

    void waitForRequest()
    {
        m_idleOrder = ++m_server.m_idleCount;
        m_idle.start();
    }

    // Closing after an answer: the write side is shut once the answer is out,
    // and whatever the client still sends (the rest of a refused body) is
    // dropped unread, so that it reads the answer rather than a reset.
    void linger()
    {
        if (!m_closing) {
            m_closing = true;
            m_idle.start();
        }
        if (!m_shut && m_socket->bytesToWrite() == 0) {
            m_shut = true;
            ::shutdown(static_cast<int>(m_socket->socketDescriptor()), SHUT_WR);
        }
        m_socket->skip(m_socket->bytesAvailable());
    }

    HttpFrontend &m_server;
    QTcpSocket *m_socket;
    const quint64 m_id;
    HttpRequestReader m_reader;
    QTimer m_idle;
    QElapsedTimer m_started;
    QByteArray m_method;
    QByteArray m_path;
    quint64 m_idleOrder = 0; // smaller: idle for longer
    bool m_busy = false;
    bool m_closing = false;
    bool m_shut = false;
    bool m_closed = false;
};

HttpFrontend::HttpFrontend(
    std::unique_ptr<QTcpServer> tcp, Handler handler, LogSink log, Clock clock, Limits limits, QObject *parent)
    : QObject(parent)
    , m_tcp(std::move(tcp))
    , m_handler(std::move(handler))
    , m_log(std::move(log))
    , m_clock(std::move(clock))
    , m_limits(limits)
{
    // Few threads: password hashing must leave the event loop a core.
    m_workers.setMaxThreadCount(std::clamp(QThread::idealThreadCount() - 1, 1, 4));
    connect(m_tcp.get(), &QTcpServer::newConnection, this, &HttpFrontend::acceptAll);
    connect(m_tcp.get(), &QTcpServer::acceptError, this, [this] {
        // Out of file descriptors, Qt stops accepting: free one and try again shortly.
        if (Connection *idle = oldestIdle())
            idle->close();
        QTimer::singleShot(100, m_tcp.get(), [tcp = m_tcp.get()] { tcp->resumeAccepting(); });
    });
}

HttpFrontend::~HttpFrontend()
{
    // Work not begun is dropped; work under way ends before its answer could
    // reach a connection that is gone.
    m_workers.clear();
    m_workers.waitForDone();
}

void HttpFrontend::acceptAll()
{
    while (QTcpSocket *socket = m_tcp->nextPendingConnection())
        admit(socket);
}

void HttpFrontend::admit(QTcpSocket *socket)
{
    if (m_connections.size() >= m_limits.maxConnections) {
        if (Connection *idle = oldestIdle()) {
            idle->close();
        } else {
            // Every connection is waiting for its answer: the newcomer is turned away.
            socket->setParent(this);
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            socket->write(serialize(ServiceResponse::text(503, QStringLiteral("Too many connections; try again later")),
                m_clock(), true, true));
            socket->disconnectFromHost();
            return;
        }
    }
    const quint64 id = m_nextId++;
    m_connections.insert(id, new Connection(*this, socket, id));
}

HttpFrontend::Connection *HttpFrontend::oldestIdle() const
{
    Connection *oldest = nullptr;
    for (Connection *connection : m_connections) {
        if (connection->busy())
            continue;
        // Those already closing go first.
        if (!oldest
            || std::pair(!connection->closing(), connection->idleOrder())
                < std::pair(!oldest->closing(), oldest->idleOrder()))
            oldest = connection;
    }
    return oldest;
}

void HttpFrontend::runLater(quint64 connection, std::function<ServiceResponse()> work)
{
    m_workers.start([this, connection, work = std::move(work)] {
        const ServiceResponse response = work();
        QMetaObject::invokeMethod(
            this,
            [this, connection, response] {
                if (Connection *waiting = m_connections.value(connection))
                    waiting->deliver(response);
            },
            Qt::QueuedConnection);
    });
}

void HttpFrontend::logRequest(const QByteArray &method, const QByteArray &path, int status, qint64 elapsedNs) const
{
    if (!m_log)
        return;
    // Method, path, status and time only: never headers, bodies or queries,
    // which is where tokens, passwords and session ids travel.
    // One arg() call: a later one would also replace a "%1" inside the path.
    m_log(QStringLiteral("%1 %2 %3 %4 %5 ms")
              .arg(isoTimestamp(m_clock()), printable(method), printable(path.left(200)), QString::number(status),
                  QString::number(static_cast<double>(elapsedNs) / 1e6, 'f', 1)));
}
