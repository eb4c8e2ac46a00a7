#pragma once

#include "scriptedhttpserver.h"

#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>

/// One MCP tools/call as it arrived on the wire.
struct ToolCall {
    QString name;
    QJsonObject arguments;
};

/// The tools/call requests among requests, in order.
QList<ToolCall> toolCalls(const QList<HttpRequest> &requests);

// Replies can stand in QtTest _data() tables.
Q_DECLARE_METATYPE(HttpResponse)

/// The object written as JSON text, so tests can state replies compactly.
QJsonObject jsonObject(const QByteArray &json);
