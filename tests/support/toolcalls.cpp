#include "toolcalls.h"

#include <QJsonDocument>

using namespace Qt::StringLiterals;

QList<ToolCall> toolCalls(const QList<HttpRequest> &requests)
{
    QList<ToolCall> out;
    for (const HttpRequest &r : requests) {
        const QJsonObject params = r.json()[u"params"_s].toObject();
        if (r.json()[u"method"_s] == u"tools/call"_s)
            out.append({ params[u"name"_s].toString(), params[u"arguments"_s].toObject() });
    }
    return out;
}

QJsonObject jsonObject(const QByteArray &json)
{
    const QJsonDocument doc = QJsonDocument::fromJson(json);
    if (!doc.isObject())
        qFatal("test JSON does not parse: %s", json.constData());
    return doc.object();
}
