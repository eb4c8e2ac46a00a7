#include "toolcalls.h"

#include <QJsonDocument>

QList<ToolCall> toolCalls(const QList<HttpRequest> &requests)
{
    QList<ToolCall> out;
    for (const HttpRequest &r : requests) {
        const QJsonObject body = r.json();
        if (body.value(QStringLiteral("method")).toString() != QLatin1String("tools/call"))
            continue;
        const QJsonObject params = body.value(QStringLiteral("params")).toObject();
        out.append(
            { params.value(QStringLiteral("name")).toString(), params.value(QStringLiteral("arguments")).toObject() });
    }
    return out;
}

QStringList rpcMethods(const QList<HttpRequest> &requests)
{
    QStringList out;
    for (const HttpRequest &r : requests)
        out.append(r.json().value(QStringLiteral("method")).toString());
    return out;
}

QJsonObject jsonObject(const QByteArray &json)
{
    QJsonParseError error {};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        qFatal("test JSON does not parse: %s", json.constData());
    return doc.object();
}
