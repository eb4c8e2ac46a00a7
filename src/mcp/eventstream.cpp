#include "mcp/eventstream.h"

QList<ServerSentEvent> parseEventStream(const QByteArray &body)
{
    QList<ServerSentEvent> events;
    ServerSentEvent current;
    bool hasData = false;

    const auto dispatch = [&] {
        if (hasData)
            events.append(current);
        current = ServerSentEvent{};
        hasData = false;
    };

    qsizetype pos = 0;
    // A leading byte-order mark is ignored.
    if (body.startsWith("\xEF\xBB\xBF"))
        pos = 3;
    while (pos < body.size()) {
        qsizetype end = pos;
        while (end < body.size() && body[end] != '\n' && body[end] != '\r')
            ++end;
        const QByteArray line = body.mid(pos, end - pos);
        if (end < body.size() && body[end] == '\r' && end + 1 < body.size() && body[end + 1] == '\n')
            pos = end + 2;
        else
            pos = end + 1;
        const bool terminated = end < body.size();

        if (line.isEmpty()) {
            dispatch();
            continue;
        }
        if (line.startsWith(':'))
            continue;
        const qsizetype colon = line.indexOf(':');
        const QByteArray field = colon < 0 ? line : line.left(colon);
        QByteArray value = colon < 0 ? QByteArray() : line.mid(colon + 1);
        if (value.startsWith(' '))
            value.remove(0, 1);
        if (field == "data") {
            if (hasData)
                current.data += '\n';
            current.data += value;
            hasData = true;
        } else if (field == "event") {
            current.event = QString::fromUtf8(value);
        } else if (field == "id") {
            current.id = QString::fromUtf8(value);
        }
        if (!terminated)
            break;
    }
    // A stream cut off without the final blank line still delivers its last event.
    dispatch();
    return events;
}
