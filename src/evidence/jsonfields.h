#pragma once

#include "core/expected.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

/// Reads the members of one JSON object strictly. An error names the member
/// by its path ("evidence.tree_head.root") in words a user can act on, in
/// lower case so that it can follow a prefix such as "Evidence does not match: ".
class JsonFields {
public:
    /// value as an object; fails unless it is one.
    static Expected<JsonFields> of(const QJsonValue &value, const QString &where);

    bool has(const QString &name) const { return m_object.contains(name); }
    /// The member's path, for messages of the caller's own.
    QString path(const QString &name) const { return m_where + QLatin1Char('.') + name; }

    Expected<QJsonValue> value(const QString &name) const;
    Expected<QString> text(const QString &name) const;
    /// A whole number from 0 to 2^53 (what a JSON number holds exactly).
    Expected<qint64> count(const QString &name) const;
    /// 64 lower-case hexadecimal characters, as 32 bytes.
    Expected<QByteArray> hash(const QString &name) const;
    /// An array of such hashes.
    Expected<QList<QByteArray>> hashes(const QString &name) const;
    /// Base64 text with padding, as the bytes it stands for.
    Expected<QByteArray> base64(const QString &name) const;
    Expected<QJsonArray> array(const QString &name) const;

    /// The parsing of one hash text, shared with callers that hold it outside an object.
    static Expected<QByteArray> hashOf(const QJsonValue &value, const QString &path);

private:
    JsonFields(QJsonObject object, QString where)
        : m_object(std::move(object))
        , m_where(std::move(where))
    {
    }

    QJsonObject m_object;
    QString m_where;
};
