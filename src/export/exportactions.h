#pragma once

#include "core/expected.h"
#include "core/resultmodel.h"
#include "export/exportformat.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

/// Where the save flow asks for a destination. The window answers with a
/// modal file dialog (folder creation allowed, extensions shown); tests and
/// the command-line tool with their own.
class SaveDialog {
public:
    virtual ~SaveDialog() = default;
    /// The chosen path, or nothing when cancelled. filters are
    /// ExportFormats::fileFilters: the preferred one first.
    virtual std::optional<QString> askSavePath(
        const QString &title, const QString &suggestedName, const QStringList &filters)
        = 0;
};

/// Where Copy puts its text: the window's adapter clears the clipboard and
/// places one plain-text string on it.
class ClipboardSink {
public:
    virtual ~ClipboardSink() = default;
    virtual void setText(const QString &text) = 0;
};

/// The bytes an export file of this format holds: the PDF document titled
/// ExportPDF::registrationTitle(), or the text rendering in UTF-8. Nothing when
/// there are no rows or no text. The PDF needs a QGuiApplication (the
/// offscreen platform will do); without one its bytes are empty.
std::optional<QByteArray> exportFileBytes(const QList<FileResult> &rows, ExportFormat format);

/// Replaces the file at path with bytes in one atomic step; a symbolic link
/// is written through to its target, and anything but a regular file is
/// refused ("<path> is not a regular file").
Expected<void> writeExportFile(const QString &path, const QByteArray &bytes);

/// Writes the export to path atomically and returns the new status text:
/// "Exported CSV → name.csv" or "Export failed: " + the reason (also when
/// the PDF document comes out empty: nothing is written then). A symbolic
/// link is written through to its target; a path that names anything but a
/// regular file fails with "<path> is not a regular file". Nothing, and
/// nothing written, when there is nothing to write.
std::optional<QString> saveExport(const QList<FileResult> &rows, ExportFormat format, const QString &path);

/// The Export menu's action: with rows, asks the dialog for a destination with
/// the format's title, suggested name and filters, then saves there. Returns
/// the new status text, or nothing when the status line stays as it is (no
/// rows, cancelled, nothing to write).
std::optional<QString> exportResults(const QList<FileResult> &rows, ExportFormat format, SaveDialog &dialog);

/// The Copy action: puts the rendering in the output format on the clipboard
/// (text when output names no format) and returns "Copied " + output +
/// " to clipboard.". Nothing, and the clipboard untouched, when the rendering
/// yields nothing: no rows, or output "pdf".
std::optional<QString> copyResults(const QList<FileResult> &rows, const QString &output, ClipboardSink &clipboard);
