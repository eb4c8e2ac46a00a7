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
inline QList<ToolCall> toolCalls(const QList<HttpRequest> &requests)
{
    QList<ToolCall> out;
    for (const HttpRequest &r : requests) {
        const QJsonObject params = r.json().value(QLatin1String("params")).toObject();
        if (r.json().value(QLatin1String("method")) == QLatin1String("tools/call"))
            out.append({ params.value(QLatin1String("name")).toString(),
                params.value(QLatin1String("arguments")).toObject() });
    }
    return out;
}

// Replies can stand in QtTest _data() tables.
Q_DECLARE_METATYPE(HttpResponse)

/// The object written as JSON text, so tests can state replies compactly.
inline QJsonObject jsonObject(const QByteArray &json)
{
    const QJsonDocument doc = QJsonDocument::fromJson(json);
    if (!doc.isObject())
        qFatal("test JSON does not parse: %s", json.constData());
    return doc.object();
}
