#include "evidence/treehead.h"

#include "evidence/jsonfields.h"

#include <QRegularExpression>

namespace {

const QString kTimeFormat = QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'");

// ASCII digits only: the time is part of the signed bytes, so it has one spelling.
std::optional<QDateTime> parseTime(const QString &text)
{
    // Anchored at both ends: "$" alone would let a final line feed through.
    static const QRegularExpression form(QRegularExpression::anchoredPattern(
        QStringLiteral(R"(([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})\.([0-9]{3})Z)")));
    const auto m = form.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    const auto n = [&](int i) { return m.captured(i).toInt(); };
    const QDate date(n(1), n(2), n(3));
    const QTime time(n(4), n(5), n(6), n(7));
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    return QDateTime(date, time, Qt::UTC);
}

} // namespace

QString TreeHead::timeText(const QDateTime &time)
{
    return time.toUTC().toString(kTimeFormat);
}

std::optional<QString> TreeHead::scopeProblem(const QString &scope)
{
    if (scope.isEmpty())
        return QStringLiteral("is empty");
    for (const QChar c : scope) {
        switch (c.category()) {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            return QStringLiteral("holds a control or format character");
        default:
            break;
        }
    }
    return std::nullopt;
}

QByteArray TreeHead::message() const
{
    // Plain concatenation: a scope is outside text and may hold "%1".
    QByteArray out = "nivet tree head v1\n";
    out += "key_id " + keyId.toUtf8() + '\n';
    out += "scope " + scope.toUtf8() + '\n';
    out += "tree_size " + QByteArray::number(treeSize) + '\n';
    out += "root " + root.toHex() + '\n';
    out += "time " + timeText(time).toUtf8() + '\n';
    return out;
}

QJsonObject TreeHead::toJson() const
{
    return QJsonObject {
        { QStringLiteral("key_id"), keyId },
        { QStringLiteral("scope"), scope },
        { QStringLiteral("tree_size"), treeSize },
        { QStringLiteral("root"), QString::fromLatin1(root.toHex()) },
        { QStringLiteral("time"), timeText(time) },
        { QStringLiteral("signature"), QString::fromLatin1(signature.toBase64()) },
    };
}

Expected<TreeHead> TreeHead::fromJson(const QJsonValue &value, const QString &where)
{
    auto fields = JsonFields::of(value, where);
    if (!fields)
        return fields.error();
    TreeHead head;
    auto keyId = fields->hash(QStringLiteral("key_id"));
    if (!keyId)
        return keyId.error();
    head.keyId = QString::fromLatin1(keyId->toHex());
    auto scope = fields->text(QStringLiteral("scope"));
    if (!scope)
        return scope.error();
    if (auto problem = scopeProblem(*scope))
        return Error { fields->path(QStringLiteral("scope")) + QLatin1Char(' ') + *problem };
    head.scope = *scope;
    auto size = fields->count(QStringLiteral("tree_size"));
    if (!size)
        return size.error();
    head.treeSize = *size;
    auto root = fields->hash(QStringLiteral("root"));
    if (!root)
        return root.error();
    head.root = *root;
    auto timeText = fields->text(QStringLiteral("time"));
    if (!timeText)
        return timeText.error();
    const auto time = parseTime(*timeText);
    if (!time) {
        return Error { QStringLiteral("%1 is not a UTC time like 2026-12-07T17:00:00.123Z")
                           .arg(fields->path(QStringLiteral("time"))) };
    }
    head.time = *time;
    auto signature = fields->base64(QStringLiteral("signature"));
    if (!signature || signature->size() != 64)
        return Error {
            QStringLiteral("%1 is not base64 of a 64-byte signature").arg(fields->path(QStringLiteral("signature")))
        };
    head.signature = *signature;
    return head;
}
