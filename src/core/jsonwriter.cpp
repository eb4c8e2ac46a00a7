#include "core/jsonwriter.h"

#include <QCborValue>
#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>
#include <cmath>

namespace {

void writeString(QByteArray &out, const QString &text)
{
    out += '"';
    const QByteArray utf8 = text.toUtf8();
    for (const char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '/':
            out += "\\/";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                static const char hex[] = "0123456789abcdef";
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0xF];
            } else {
                out += ch;
            }
        }
    }
    out += '"';
}

void writeNumber(QByteArray &out, double d)
{
    if (!std::isfinite(d)) {
        out += "null"; // JSON has no form for these; QJsonValue never holds them
        return;
    }
    if (d == std::trunc(d) && std::fabs(d) < 9007199254740992.0) {
        out += QByteArray::number(static_cast<qint64>(d));
        return;
    }
    out += QByteArray::number(d, 'g', QLocale::FloatingPointShortest);
}

// Code-point order; QString's own ordering is by UTF-16 unit, which differs
// for characters beyond the Basic Multilingual Plane.
QStringList sortedKeys(const QJsonObject &object)
{
    QStringList keys = object.keys();
    std::sort(keys.begin(), keys.end(), [](const QString &a, const QString &b) {
        const auto ua = a.toUcs4();
        const auto ub = b.toUcs4();
        return std::lexicographical_compare(ua.begin(), ua.end(), ub.begin(), ub.end());
    });
    return keys;
}

void write(QByteArray &out, const QJsonValue &value, bool pretty, int depth)
{
    const auto newline = [&](int level) {
        if (pretty) {
            out += '\n';
            out += QByteArray(level * 2, ' ');
        }
    };
    switch (value.type()) {
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        out += "null";
        break;
    case QJsonValue::Bool:
        out += value.toBool() ? "true" : "false";
        break;
    case QJsonValue::Double:
        // A whole number within 64 bits is kept as an integer: through
        // double, 9223372036854775807 would come back as another number.
        if (QCborValue::fromJsonValue(value).isInteger())
            out += QByteArray::number(value.toInteger());
        else
            writeNumber(out, value.toDouble());
        break;
    case QJsonValue::String:
        writeString(out, value.toString());
        break;
    case QJsonValue::Array: {
        const QJsonArray array = value.toArray();
        out += '[';
        if (array.isEmpty()) {
            out += ']';
            break;
        }
        for (qsizetype i = 0; i < array.size(); ++i) {
            if (i > 0)
                out += ',';
            newline(depth + 1);
            write(out, array.at(i), pretty, depth + 1);
        }
        newline(depth);
        out += ']';
        break;
    }
    case QJsonValue::Object: {
        const QJsonObject object = value.toObject();
        out += '{';
        if (object.isEmpty()) {
            out += '}';
            break;
        }
        bool first = true;
        for (const QString &key : sortedKeys(object)) {
            if (!first)
                out += ',';
            first = false;
            newline(depth + 1);
            writeString(out, key);
            out += pretty ? " : " : ":";
            write(out, object.value(key), pretty, depth + 1);
        }
        newline(depth);
        out += '}';
        break;
    }
    }
}

} // namespace

namespace JsonWriter {

QByteArray pretty(const QJsonValue &value)
{
    QByteArray out;
    write(out, value, true, 0);
    return out;
}

QByteArray compact(const QJsonValue &value)
{
    QByteArray out;
    write(out, value, false, 0);
    return out;
}

} // namespace JsonWriter
