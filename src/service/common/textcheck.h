#pragma once

#include <QString>

/// True when text holds a control character or a line or paragraph
/// separator: things that must not reach one-line texts such as scopes, user
/// names and roles, which end up in tables, exports and logs.
inline bool hasControlCharacters(const QString &text)
{
    for (const QChar c : text) {
        const auto category = c.category();
        if (category == QChar::Other_Control || category == QChar::Separator_Line
            || category == QChar::Separator_Paragraph)
            return true;
    }
    return false;
}
