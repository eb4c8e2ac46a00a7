#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

/// One event of a text/event-stream body.
struct ServerSentEvent {
    QString event = QStringLiteral("message");
    QByteArray data;
    QString id;
};

/// Splits a whole text/event-stream body into its events: fields "event",
/// "data" (several data lines join with a line feed), "id"; comment lines
/// (":") and unknown fields are skipped; an event without data is dropped,
/// as the format says. LF, CR and CRLF all end lines.
QList<ServerSentEvent> parseEventStream(const QByteArray &body);
