#include "evidence/jsonfields.h"

#include <QJsonArray>

#include <optional>

namespace {

// The largest whole number a JSON number (an IEEE double) holds exactly.
constexpr qint64 kLargestCount = qint64(1) << 53;

bool isLowerHex(const QString &text, qsizetype length)
{
    if (text.size() != length)
        return false;
    for (const QChar c : text) {
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f')))
            return false;
    }
    return true;
}

// The 32 bytes that 64 lower-case hex characters spell, or nothing.
std::optional<QByteArray> hashBytes(const QJsonValue &value)
{
    const QString text = value.toString();
    if (!value.isString() || !isLowerHex(text, 64))
        return std::nullopt;
    return QByteArray::fromHex(text.toLatin1());
}

Error notAHash(const QString &path)
{
    return Error { QStringLiteral("%1 is not 64 lower-case hexadecimal characters").arg(path) };
}

} // namespace

Expected<JsonFields> JsonFields::of(const QJsonValue &value, const QString &where)
{
    if (!value.isObject())
        return Error { QStringLiteral("%1 is not an object").arg(where) };
    return JsonFields(value.toObject(), where);
}

Expected<QJsonValue> JsonFields::value(const QString &name) const
{
    const auto found = m_object.constFind(name);
    if (found == m_object.constEnd())
        return Error { QStringLiteral("%1 is missing").arg(path(name)) };
    return QJsonValue(found.value());
}

Expected<QString> JsonFields::text(const QString &name) const
{
    auto member = value(name);
    if (!member)
        return member.error();
    if (!member->isString())
        return Error { QStringLiteral("%1 is not a string").arg(path(name)) };
    return member->toString();
}

Expected<qint64> JsonFields::count(const QString &name) const
{
    auto member = value(name);
    if (!member)
        return member.error();
    // Anything but a whole JSON number reads as -1.
    const qint64 n = member->toInteger(-1);
    if (n < 0 || n > kLargestCount)
        return Error { QStringLiteral("%1 is not a whole number from 0 to 2^53").arg(path(name)) };
    return n;
}

Expected<QByteArray> JsonFields::hashOf(const QJsonValue &value, const QString &path)
{
    if (auto bytes = hashBytes(value))
        return *bytes;
    return notAHash(path);
}

Expected<QByteArray> JsonFields::hash(const QString &name) const
{
    auto member = value(name);
    if (!member)
        return member.error();
    return hashOf(*member, path(name));
}

Expected<QJsonArray> JsonFields::array(const QString &name) const
{
    auto member = value(name);
    if (!member)
        return member.error();
    if (!member->isArray())
        return Error { QStringLiteral("%1 is not an array").arg(path(name)) };
    return member->toArray();
}

Expected<QList<QByteArray>> JsonFields::hashes(const QString &name) const
{
    auto items = array(name);
    if (!items)
        return items.error();
    QList<QByteArray> out;
    out.reserve(items->size());
    for (qsizetype i = 0; i < items->size(); ++i) {
        auto hash = hashBytes(items->at(i));
        if (!hash) // the item's path only now: most paths hold a dozen or more hashes
            return notAHash(QStringLiteral("%1[%2]").arg(path(name)).arg(i));
        out.append(*hash);
    }
    return out;
}

Expected<QByteArray> JsonFields::base64(const QString &name) const
{
    auto member = text(name);
    if (!member)
        return member.error();
    // Only the one canonical spelling of the bytes is taken: no white space,
    // no missing padding, nothing that decodes by accident.
    const QByteArray encoded = member->toLatin1();
    auto decoded = QByteArray::fromBase64Encoding(encoded, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.toBase64() != encoded || QString::fromLatin1(encoded) != *member)
        return Error { QStringLiteral("%1 is not base64").arg(path(name)) };
    return decoded.decoded;
}
