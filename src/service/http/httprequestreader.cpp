#include "service/http/httprequestreader.h"

#include <QByteArrayList>

#include <algorithm>

namespace {

constexpr qsizetype kMaxChunkLineBytes = 1024;

bool isTokenChar(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')
        || QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

bool isToken(const QByteArray &text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

// Visible ASCII only: a target with a blank, a control byte or a non-ASCII byte is malformed.
bool isVisible(const QByteArray &text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

// The values of every header of that name, split at commas and trimmed.
QByteArrayList listValues(const HeaderList &headers, const QByteArray &name)
{
    QByteArrayList values;
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) != 0)
            continue;
        for (const QByteArray &item : value.split(','))
            values.append(item.trimmed().toLower());
    }
    return values;
}

// The path of an origin-form or absolute-form target, without query or fragment.
std::optional<QByteArray> pathOf(const QByteArray &target)
{
    QByteArray path = target;
    const qsizetype scheme = target.indexOf("://");
    if (!target.startsWith('/')) {
        if (target == "*")
            return target;
        const QByteArray name = target.left(scheme).toLower();
        if (scheme < 0 || (name != "http" && name != "https"))
            return std::nullopt;
        const qsizetype slash = target.indexOf('/', scheme + 3);
        path = slash < 0 ? QByteArray("/") : target.mid(slash);
    }
    for (const char end : { '?', '#' }) {
        if (const qsizetype at = path.indexOf(end); at >= 0)
            path.truncate(at);
    }
    return path;
}

} // namespace

HttpRequestReader::Status HttpRequestReader::fail(int status, const QString &text)
{
    m_phase = Phase::failed;
    m_keepAlive = false;
    m_failure = ServiceResponse::text(status, text);
    m_buffer.clear();
    return Status::failed;
}

bool HttpRequestReader::takeContinue()
{
    const bool waiting = m_continue && m_phase != Phase::done && m_phase != Phase::failed && m_phase != Phase::head;
    if (waiting)
        m_continue = false;
    return waiting;
}

ServiceRequest HttpRequestReader::take()
{
    ServiceRequest request = std::move(m_request);
    m_request = ServiceRequest();
    m_phase = Phase::head;
    m_remaining = 0;
    m_trailerBytes = 0;
    m_continue = false;
    return request;
}

HttpRequestReader::Status HttpRequestReader::next()
{
    for (;;) {
        switch (m_phase) {
        case Phase::done:
            return Status::complete;
        case Phase::failed:
            return Status::failed;
        case Phase::head:
            if (const Status status = readHead(); m_phase == Phase::head || status != Status::incomplete)
                return status;
            break;
        case Phase::body:
        case Phase::chunkData: {
            const qsizetype take = std::min(m_remaining, m_buffer.size());
            m_request.body += QByteArrayView(m_buffer).first(take);
            m_buffer.remove(0, take);
            m_remaining -= take;
            if (m_remaining > 0)
                return Status::incomplete;
            m_phase = m_phase == Phase::body ? Phase::done : Phase::chunkEnd;
            break;
        }
        case Phase::chunkEnd:
            if (m_buffer.startsWith("\r\n") || m_buffer.startsWith('\n')) {
                m_buffer.remove(0, m_buffer.startsWith('\n') ? 1 : 2);
                m_phase = Phase::chunkSize;
            } else if (m_buffer.isEmpty() || m_buffer == "\r") {
                return Status::incomplete;
            } else {
                return fail(400, QStringLiteral("Malformed chunked body"));
            }
            break;
        case Phase::chunkSize:
            if (const Status status = readChunkSize(); m_phase == Phase::chunkSize || status != Status::incomplete)
                return status;
            break;
        case Phase::trailers:
            if (const Status status = readTrailers(); m_phase == Phase::trailers || status != Status::incomplete)
                return status;
            break;
        }
    }
}

HttpRequestReader::Status HttpRequestReader::readHead()
{
    // Blank lines before a request line are allowed (some clients add one after a body).
    qsizetype start = 0;
    while (start < m_buffer.size() && (m_buffer[start] == '\r' || m_buffer[start] == '\n'))
        ++start;
    m_buffer.remove(0, start);
    const QByteArrayView window = QByteArrayView(m_buffer).first(std::min(m_buffer.size(), kMaxHeadBytes + 3));
    qsizetype end = window.indexOf("\n\n");
    qsizetype crlfEnd = window.indexOf("\n\r\n");
    qsizetype terminator = 2;
    if (crlfEnd >= 0 && (end < 0 || crlfEnd < end)) {
        end = crlfEnd;
        terminator = 3;
    }
    if (end < 0 || end + 1 > kMaxHeadBytes) {
        if (m_buffer.size() > kMaxHeadBytes || end >= 0)
            return fail(431, QStringLiteral("Request header fields too large (at most %1 bytes)").arg(kMaxHeadBytes));
        return Status::incomplete;
    }
    const QByteArray head = m_buffer.left(end + 1);
    m_buffer.remove(0, end + terminator);

    QByteArrayList lines = head.split('\n');
    lines.removeLast(); // what followed the last line feed: nothing
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.contains('\r'))
            return fail(400, QStringLiteral("Bad request: a line holds a carriage return"));
    }
    const QByteArrayList requestLine = lines.first().split(' ');
    if (requestLine.size() == 3) { // for the log, even when malformed
        m_request.method = requestLine[0];
        const qsizetype query = requestLine[1].indexOf('?'); // queries may hold secrets
        m_request.path = query < 0 ? requestLine[1] : requestLine[1].left(query);
    }
    if (requestLine.size() != 3 || !isToken(requestLine[0]) || !isVisible(requestLine[1]))
        return fail(400, QStringLiteral("Bad request line"));
    const QByteArray &version = requestLine[2];
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        const bool http = version.size() == 8 && version.startsWith("HTTP/") && version[6] == '.';
        return http ? fail(505, QStringLiteral("HTTP version not supported; use HTTP/1.1"))
                    : fail(400, QStringLiteral("Bad request line"));
    }
    const auto path = pathOf(requestLine[1]);
    if (!path)
        return fail(400, QStringLiteral("Bad request target"));
    m_request.method = requestLine[0];
    m_request.path = *path;

    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines[i];
        const qsizetype colon = line.indexOf(':');
        // Folded lines are obsolete and a way to smuggle headers past a proxy.
        if (colon <= 0 || !isToken(line.left(colon)))
            return fail(400, QStringLiteral("Bad request: malformed header line"));
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (std::any_of(
                value.begin(), value.end(), [](char c) { return (c >= 0 && c < 0x20 && c != '\t') || c == 0x7f; }))
            return fail(400, QStringLiteral("Bad request: a header value holds a control character"));
        m_request.headers.append({ line.left(colon), value });
    }
    m_keepAlive = version == "HTTP/1.1" && !listValues(m_request.headers, "Connection").contains("close");
    const QByteArrayList expect = listValues(m_request.headers, "Expect");
    if (!expect.isEmpty() && expect != QByteArrayList { "100-continue" })
        return fail(417, QStringLiteral("Only Expect: 100-continue is understood"));
    m_continue = !expect.isEmpty();
    return startBody();
}

HttpRequestReader::Status HttpRequestReader::startBody()
{
    const QByteArrayList codings = listValues(m_request.headers, "Transfer-Encoding");
    const QByteArrayList lengths = listValues(m_request.headers, "Content-Length");
    if (!codings.isEmpty()) {
        // Both framings at once is how requests are smuggled past a proxy.
        if (!lengths.isEmpty())
            return fail(400, QStringLiteral("Bad request: both Content-Length and Transfer-Encoding"));
        if (codings != QByteArrayList { "chunked" })
            return fail(501, QStringLiteral("Only the chunked transfer coding is understood"));
        m_phase = Phase::chunkSize;
        return Status::incomplete;
    }
    if (lengths.isEmpty()) {
        m_phase = Phase::done;
        return Status::complete;
    }
    const QByteArray &length = lengths.first();
    if (lengths.count(length) != lengths.size() || length.isEmpty()
        || !std::all_of(length.begin(), length.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return fail(400, QStringLiteral("Bad request: invalid Content-Length"));
    qsizetype zeros = 0;
    while (zeros + 1 < length.size() && length[zeros] == '0')
        ++zeros;
    const QByteArray digits = length.mid(zeros);
    if (digits.size() > 18 || digits.toLongLong() > kMaxBodyBytes)
        return fail(413, QStringLiteral("Request body too large (at most %1 bytes)").arg(kMaxBodyBytes));
    m_remaining = digits.toLongLong();
    m_phase = Phase::body;
    return Status::incomplete;
}

HttpRequestReader::Status HttpRequestReader::readChunkSize()
{
    const qsizetype end = QByteArrayView(m_buffer).first(std::min(m_buffer.size(), kMaxChunkLineBytes)).indexOf('\n');
    if (end < 0) {
        return m_buffer.size() >= kMaxChunkLineBytes ? fail(400, QStringLiteral("Malformed chunked body"))
                                                     : Status::incomplete;
    }
    QByteArray line = m_buffer.left(end);
    m_buffer.remove(0, end + 1);
    if (line.endsWith('\r'))
        line.chop(1);
    if (const qsizetype extension = line.indexOf(';'); extension >= 0)
        line.truncate(extension); // extensions are ignored
    const QByteArray size = line.trimmed();
    qint64 bytes = 0;
    for (const char c : size) {
        const qsizetype at = QByteArrayView("0123456789abcdefABCDEF").indexOf(c);
        const qsizetype digit = at < 16 ? at : at - 6;
        if (at < 0)
            return fail(400, QStringLiteral("Malformed chunked body"));
        bytes = bytes * 16 + digit;
        if (m_request.body.size() + bytes > kMaxBodyBytes)
            return fail(413, QStringLiteral("Request body too large (at most %1 bytes)").arg(kMaxBodyBytes));
    }
    if (size.isEmpty())
        return fail(400, QStringLiteral("Malformed chunked body"));
    m_remaining = bytes;
    m_phase = bytes == 0 ? Phase::trailers : Phase::chunkData;
    return Status::incomplete;
}

HttpRequestReader::Status HttpRequestReader::readTrailers()
{
    for (;;) {
        const qsizetype end = m_buffer.indexOf('\n');
        if (m_trailerBytes + (end < 0 ? m_buffer.size() : end) > kMaxHeadBytes)
            return fail(431, QStringLiteral("Request header fields too large (at most %1 bytes)").arg(kMaxHeadBytes));
        if (end < 0)
            return Status::incomplete;
        const bool last = end == 0 || (end == 1 && m_buffer[0] == '\r');
        m_trailerBytes += end + 1;
        m_buffer.remove(0, end + 1);
        if (last) {
            m_phase = Phase::done;
            return Status::complete;
        }
    }
}
