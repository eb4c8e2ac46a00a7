#pragma once

#include "core/resultmodel.h"
#include "export/exportformat.h"

#include <QList>
#include <QString>

#include <optional>

/// The rows rendered as JSON, CSV or plain text, in memory. Nothing when there
/// are no rows or the format is pdf (the PDF document is ExportPDF's).
///
/// - json: an array of objects with the nine members path, sha256, scope,
///   receipt_id, created_at, merkle, status, kind and pass (a boolean), in the
///   project's pretty sorted layout.
/// - csv: a header line, then one line per row; only path and status are
///   quoted (quotation marks doubled), the other fields are written raw. Lines
///   are joined by LF, with none after the last.
/// - text: seven lines per row, "(none)" for an empty Merkle value, the status
///   line ending in " (PASS)" or " (FAIL)"; one empty line between blocks.
std::optional<QString> exportText(const QList<FileResult> &rows, ExportFormat format);
