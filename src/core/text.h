#pragma once

#include <QString>

/// Text helpers shared by storage, auth and the exports.
namespace Text {

/// True for every line break: LF, VT, FF, CR, NEL, LS, PS.
bool isLineBreak(char32_t c);

/// True for Unicode white space (space separators, tab) and every line break.
bool isSpaceOrLineBreak(char32_t c);

/// White space and line breaks removed from both ends, by the Unicode definition.
QString trimmed(const QString &text);

/// Only tabs and Unicode space separators (category Zs) removed from both ends.
QString trimmedSpaces(const QString &text);

/// The number of user-perceived characters (grapheme clusters).
qsizetype graphemeCount(const QString &text);

/// The first n grapheme clusters of text.
QString leftGraphemes(const QString &text, qsizetype n);

/// True when text has more than n grapheme clusters; reads no further.
bool hasMoreGraphemesThan(const QString &text, qsizetype n);

/// The last n grapheme clusters of text.
QString rightGraphemes(const QString &text, qsizetype n);

/// The last path component of a file path, as text.
QString lastPathComponent(const QString &path);

} // namespace Text
