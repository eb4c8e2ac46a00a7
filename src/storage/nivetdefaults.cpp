#include "storage/nivetdefaults.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace {

Error invalid(const QString &what)
{
    return Error { QStringLiteral("Invalid client defaults: %1").arg(what) };
}

} // namespace

QString NivetDefaults::defaultEndpoint()
{
    return QStringLiteral("https://mcp.nivet.example/mcp");
}

NivetDefaults NivetDefaults::builtIn()
{
    return { defaultEndpoint(), QStringLiteral("global"), QStringLiteral("text") };
}

Expected<NivetDefaults> NivetDefaults::fromJson(const QByteArray &bytes)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return invalid(QStringLiteral("%1 at offset %2").arg(parseError.errorString()).arg(parseError.offset));
    if (!document.isObject())
        return invalid(QStringLiteral("not a JSON object"));
    const QJsonObject object = document.object();
    NivetDefaults defaults;
    for (const auto &[key, member] : { std::pair { "url", &NivetDefaults::url },
             std::pair { "scope", &NivetDefaults::scope }, std::pair { "output", &NivetDefaults::output } }) {
        const QJsonValue value = object.value(QLatin1String(key));
        if (!value.isString())
            return invalid(QStringLiteral("\"%1\" is %2")
                               .arg(QLatin1String(key), value.isUndefined() ? u"missing"_qs : u"not a string"_qs));
        defaults.*member = value.toString();
    }
    return defaults;
}
