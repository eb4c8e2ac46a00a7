#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

/// The four export formats, in the order of the Export menu.
enum class ExportFormat { json, csv, text, pdf };

namespace ExportFormats {

/// json, csv, text, pdf: declaration and menu order.
QList<ExportFormat> all();

/// "json", "csv", "text" or "pdf".
QString rawValue(ExportFormat format);

/// The format whose raw value is exactly text (case-sensitive); nothing for
/// any other text, "JSON" and "" included.
std::optional<ExportFormat> fromRawValue(const QString &text);

/// The save dialog's title: "Export JSON", "Export CSV", "Export Text", "Export PDF".
QString dialogTitle(ExportFormat format);

/// "nivet-timestamps.json", ".csv", ".txt" or ".pdf".
QString suggestedFileName(ExportFormat format);

/// The Export menu entry: "JSON…", "CSV…", "Text…", "PDF…".
QString menuLabel(ExportFormat format);

/// File-dialog filters, the preferred one first; CSV also offers text files.
QStringList fileFilters(ExportFormat format);

} // namespace ExportFormats
