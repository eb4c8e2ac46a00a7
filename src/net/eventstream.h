#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

/// One event of a text/event-stream body.
struct ServerSentEvent {
    QString event = QStringLiteral("message");
    QByteArray data;
    QString id;
};

/// Reads a text/event-stream as it arrives: fields "event", "data" (several
/// data lines join with a line feed), "id"; comment lines (":") and unknown
/// fields are skipped; an event without data is dropped, as the format says.
/// LF, CR and CRLF all end lines, also when a CRLF is split between chunks.
class EventStreamReader {
public:
    /// Takes the next bytes of the stream; returns the events they complete.
    QList<ServerSentEvent> feed(QByteArrayView bytes);

    /// The stream has ended: an event cut off without its blank line is
    /// still delivered.
    QList<ServerSentEvent> finish();

    /// True when a byte of a line other than a comment or a blank line
    /// arrived since the last call: a server that only sends keep-alive
    /// comments is not making progress.
    bool takeActivity();

private:
    void takeLine(QList<ServerSentEvent> &events);
    void dispatch(QList<ServerSentEvent> &events);

    QByteArray m_line;
    ServerSentEvent m_current;
    bool m_hasData = false;
    bool m_skipLineFeed = false; // the last chunk ended in CR
    bool m_inMark = true; // still where a byte-order mark may be
    int m_markLength = 0;
    bool m_activity = false;
};

/// Splits a whole text/event-stream body into its events.
QList<ServerSentEvent> parseEventStream(const QByteArray &body);
