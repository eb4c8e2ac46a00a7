#pragma once

#include <QString>

/// True when text holds a control or format character (U+202E and the like
/// reorder or hide what a reader sees), a line or paragraph separator, or
/// half a surrogate pair: none of them belongs in one-line texts such as
/// scopes, user names and roles, which end up in tables, exports and logs.
inline bool hasUnsafeCharacters(const QString &text)
{
    if (!text.isValidUtf16())
        return true;
    for (const char32_t c : text.toUcs4()) {
        const auto category = QChar::category(c);
        if (category == QChar::Other_Control || category == QChar::Other_Format || category == QChar::Separator_Line
            || category == QChar::Separator_Paragraph)
            return true;
    }
    return false;
}
