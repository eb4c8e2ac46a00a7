#include "net/eventstream.h"

#include <utility>

QList<ServerSentEvent> EventStreamReader::feed(QByteArrayView bytes)
{
    QList<ServerSentEvent> events;
    for (const char c : bytes) {
        if (std::exchange(m_skipLineFeed, false) && c == '\n')
            continue; // the second half of a CRLF
        if (c == '\n' || c == '\r') {
            m_inMark = false;
            m_skipLineFeed = c == '\r';
            takeLine(events);
            continue;
        }
        // A leading byte-order mark is ignored.
        if (m_inMark && m_markLength < 3 && c == "\xEF\xBB\xBF"[m_markLength]) {
            ++m_markLength;
            continue;
        }
        m_inMark = false;
        m_line += c;
        if (!m_line.startsWith(':'))
            m_activity = true;
    }
    return events;
}

QList<ServerSentEvent> EventStreamReader::finish()
{
    QList<ServerSentEvent> events;
    if (!m_line.isEmpty())
        takeLine(events);
    dispatch(events);
    return events;
}

bool EventStreamReader::takeActivity()
{
    return std::exchange(m_activity, false);
}

void EventStreamReader::takeLine(QList<ServerSentEvent> &events)
{
    const QByteArray line = std::exchange(m_line, QByteArray());
    if (line.isEmpty()) {
        dispatch(events);
        return;
    }
    if (line.startsWith(':'))
        return;
    const qsizetype colon = line.indexOf(':');
    const QByteArray field = colon < 0 ? line : line.left(colon);
    QByteArray value = colon < 0 ? QByteArray() : line.mid(colon + 1);
    if (value.startsWith(' '))
        value.remove(0, 1);
    if (field == "data") {
        if (m_hasData)
            m_current.data += '\n';
        m_current.data += value;
        m_hasData = true;
    } else if (field == "event") {
        m_current.event = QString::fromUtf8(value);
    } else if (field == "id") {
        m_current.id = QString::fromUtf8(value);
    }
}

void EventStreamReader::dispatch(QList<ServerSentEvent> &events)
{
    if (m_hasData)
        events.append(m_current);
    m_current = ServerSentEvent {};
    m_hasData = false;
}

QList<ServerSentEvent> parseEventStream(const QByteArray &body)
{
    EventStreamReader reader;
    QList<ServerSentEvent> events = reader.feed(body);
    events += reader.finish();
    return events;
}
