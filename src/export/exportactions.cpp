#include "export/exportactions.h"

#include "core/atomicfile.h"
#include "core/text.h"
#include "export/exportpdf.h"
#include "export/exporttext.h"

#include <QFileInfo>

namespace {

// Where an export lands. A symbolic link is followed to the file it names, so
// the link stays a link and its target gets the new contents. Anything but a
// regular file (a folder, a device, a pipe) is refused rather than replaced.
Expected<QString> exportDestination(const QString &path)
{
    constexpr int kMaxLinks = 40; // as the system itself allows
    QFileInfo info(path);
    for (int links = 0; info.isSymLink(); ++links) {
        if (links == kMaxLinks)
            return Error { path + QStringLiteral(" is a loop of symbolic links") };
        info = QFileInfo(info.symLinkTarget());
    }
    if (info.exists() && !info.isFile())
        return Error { path + QStringLiteral(" is not a regular file") };
    return info.absoluteFilePath();
}

} // namespace

std::optional<QByteArray> exportFileBytes(const QList<FileResult> &rows, ExportFormat format)
{
    if (rows.isEmpty())
        return std::nullopt;
    if (format == ExportFormat::pdf)
        return ExportPDF::makeDocument(rows, ExportPDF::registrationTitle());
    const std::optional<QString> text = exportText(rows, format);
    if (!text)
        return std::nullopt;
    return text->toUtf8();
}

Expected<void> writeExportFile(const QString &path, const QByteArray &bytes)
{
    const Expected<QString> destination = exportDestination(path);
    if (!destination)
        return destination.error();
    if (const auto written = AtomicFile::write(*destination, bytes); !written)
        return Error { written.error().describe() };
    return {};
}

std::optional<QString> saveExport(const QList<FileResult> &rows, ExportFormat format, const QString &path)
{
    const std::optional<QByteArray> bytes = exportFileBytes(rows, format);
    if (!bytes)
        return std::nullopt;
    // An empty file under a success message would pass for a saved document.
    if (bytes->isEmpty())
        return QStringLiteral("Export failed: The PDF document could not be created.");
    if (const auto written = writeExportFile(path, *bytes); !written)
        return QStringLiteral("Export failed: ") + written.error().description;
    return QStringLiteral("Exported ") + ExportFormats::rawValue(format).toUpper() + QStringLiteral(" → ")
        + Text::lastPathComponent(path);
}

std::optional<QString> exportResults(const QList<FileResult> &rows, ExportFormat format, SaveDialog &dialog)
{
    if (rows.isEmpty())
        return std::nullopt;
    const std::optional<QString> path = dialog.askSavePath(ExportFormats::dialogTitle(format),
        ExportFormats::suggestedFileName(format), ExportFormats::fileFilters(format));
    if (!path || path->isEmpty())
        return std::nullopt;
    return saveExport(rows, format, *path);
}

std::optional<QString> copyResults(const QList<FileResult> &rows, const QString &output, ClipboardSink &clipboard)
{
    const ExportFormat format = ExportFormats::fromRawValue(output).value_or(ExportFormat::text);
    const std::optional<QString> text = exportText(rows, format);
    if (!text)
        return std::nullopt;
    clipboard.setText(*text);
    return QStringLiteral("Copied ") + output + QStringLiteral(" to clipboard.");
}
