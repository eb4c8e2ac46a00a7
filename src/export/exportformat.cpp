#include "export/exportformat.h"

namespace ExportFormats {

QList<ExportFormat> all()
{
    return { ExportFormat::json, ExportFormat::csv, ExportFormat::text, ExportFormat::pdf };
}

QString rawValue(ExportFormat format)
{
    switch (format) {
    case ExportFormat::json:
        return QStringLiteral("json");
    case ExportFormat::csv:
        return QStringLiteral("csv");
    case ExportFormat::text:
        return QStringLiteral("text");
    case ExportFormat::pdf:
        return QStringLiteral("pdf");
    }
    return {};
}

std::optional<ExportFormat> fromRawValue(const QString &text)
{
    for (const ExportFormat format : all()) {
        if (rawValue(format) == text)
            return format;
    }
    return std::nullopt;
}

QString dialogTitle(ExportFormat format)
{
    switch (format) {
    case ExportFormat::json:
        return QStringLiteral("Export JSON");
    case ExportFormat::csv:
        return QStringLiteral("Export CSV");
    case ExportFormat::text:
        return QStringLiteral("Export Text");
    case ExportFormat::pdf:
        return QStringLiteral("Export PDF");
    }
    return {};
}

QString suggestedFileName(ExportFormat format)
{
    switch (format) {
    case ExportFormat::json:
        return QStringLiteral("nivet-timestamps.json");
    case ExportFormat::csv:
        return QStringLiteral("nivet-timestamps.csv");
    case ExportFormat::text:
        return QStringLiteral("nivet-timestamps.txt");
    case ExportFormat::pdf:
        return QStringLiteral("nivet-timestamps.pdf");
    }
    return {};
}

QString menuLabel(ExportFormat format)
{
    switch (format) {
    case ExportFormat::json:
        return QStringLiteral("JSON…");
    case ExportFormat::csv:
        return QStringLiteral("CSV…");
    case ExportFormat::text:
        return QStringLiteral("Text…");
    case ExportFormat::pdf:
        return QStringLiteral("PDF…");
    }
    return {};
}

QStringList fileFilters(ExportFormat format)
{
    const QString textFiles = QStringLiteral("Text files (*.txt)");
    switch (format) {
    case ExportFormat::json:
        return { QStringLiteral("JSON files (*.json)") };
    case ExportFormat::csv:
        return { QStringLiteral("CSV files (*.csv)"), textFiles };
    case ExportFormat::text:
        return { textFiles };
    case ExportFormat::pdf:
        return { QStringLiteral("PDF files (*.pdf)") };
    }
    return {};
}

} // namespace ExportFormats
