#include "export/exporttext.h"

#include "core/jsonwriter.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>

namespace {

QString passText(const FileResult &row)
{
    return row.passes() ? QStringLiteral("PASS") : QStringLiteral("FAIL");
}

std::optional<QString> renderJson(const QList<FileResult> &rows)
{
    QJsonArray array;
    for (const FileResult &row : rows) {
        array.append(QJsonObject {
            { QStringLiteral("path"), row.path },
            { QStringLiteral("sha256"), row.sha256 },
            { QStringLiteral("scope"), row.scope },
            { QStringLiteral("receipt_id"), row.receiptId },
            { QStringLiteral("created_at"), row.createdAt },
            { QStringLiteral("merkle"), row.merkle },
            { QStringLiteral("status"), row.status },
            { QStringLiteral("kind"), ResultKinds::toText(row.kind) },
            { QStringLiteral("pass"), row.passes() },
        });
    }
    return QString::fromUtf8(JsonWriter::pretty(array));
}

QString quoted(const QString &field)
{
    QString out = field;
    out.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + out + QLatin1Char('"');
}

QString renderCsv(const QList<FileResult> &rows)
{
    QStringList lines { QStringLiteral("path,sha256,scope,receipt_id,created_at,merkle,status,kind") };
    for (const FileResult &row : rows) {
        // The six unquoted fields go out exactly as they are: other readers of
        // these files expect this layout, commas and all.
        lines << QStringList { quoted(row.path), row.sha256, row.scope, row.receiptId, row.createdAt, row.merkle,
            quoted(row.status), ResultKinds::toText(row.kind) }
                     .join(QLatin1Char(','));
    }
    return lines.join(QLatin1Char('\n'));
}

QString renderText(const QList<FileResult> &rows)
{
    QStringList blocks;
    for (const FileResult &row : rows) {
        const QString merkle = row.merkle.isEmpty() ? QStringLiteral("(none)") : row.merkle;
        blocks << QStringList{
            QStringLiteral("File: ") + row.path,
            QStringLiteral("SHA-256: ") + row.sha256,
            QStringLiteral("Scope: ") + row.scope,
            QStringLiteral("Receipt: ") + row.receiptId,
            QStringLiteral("Original timestamp: ") + row.createdAt,
            QStringLiteral("Merkle: ") + merkle,
            QStringLiteral("Status: ") + row.status + QStringLiteral(" (") + passText(row) + QLatin1Char(')'),
        }.join(QLatin1Char('\n'));
    }
    return blocks.join(QStringLiteral("\n\n"));
}

} // namespace

std::optional<QString> exportText(const QList<FileResult> &rows, ExportFormat format)
{
    if (rows.isEmpty())
        return std::nullopt;
    switch (format) {
    case ExportFormat::json:
        return renderJson(rows);
    case ExportFormat::csv:
        return renderCsv(rows);
    case ExportFormat::text:
        return renderText(rows);
    case ExportFormat::pdf:
        return std::nullopt;
    }
    return std::nullopt;
}
