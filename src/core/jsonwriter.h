#pragma once

#include <QByteArray>
#include <QJsonValue>

/// The project's one JSON writer. Stored and exported files depend on its exact
/// layout, so nothing else writes JSON.
///
/// Both forms sort object keys by Unicode code point, escape "/" as "\/" and
/// write other non-ASCII characters literally in UTF-8.
namespace JsonWriter {

/// Pretty layout: one member or element per line, two spaces per level,
/// " : " between key and value, no line feed after the last line.
QByteArray pretty(const QJsonValue &value);

/// Compact layout: no white space at all.
QByteArray compact(const QJsonValue &value);

} // namespace JsonWriter
