#include "core/text.h"

#include <QChar>
#include <QTextBoundaryFinder>

namespace Text {

bool isLineBreak(char32_t c)
{
    switch (c) {
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x85:
    case 0x2028:
    case 0x2029:
        return true;
    default:
        return false;
    }
}

static bool isSpace(char32_t c)
{
    return c == 0x09 || QChar::category(c) == QChar::Separator_Space;
}

bool isSpaceOrLineBreak(char32_t c)
{
    return isLineBreak(c) || isSpace(c);
}

// Every white-space and line-break character lies in the Basic Multilingual
// Plane, so code units will do: a surrogate is never one of them.
template<typename Pred> static QString trimBy(const QString &text, Pred pred)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && pred(text.at(begin).unicode()))
        ++begin;
    while (end > begin && pred(text.at(end - 1).unicode()))
        --end;
    return text.mid(begin, end - begin);
}

QString trimmed(const QString &text)
{
    return trimBy(text, isSpaceOrLineBreak);
}

QString trimmedSpaces(const QString &text)
{
    return trimBy(text, isSpace);
}

qsizetype graphemeCount(const QString &text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (finder.toNextBoundary() != -1)
        ++count;
    return count;
}

// The end offset of the first n clusters, or -1 when text has no more than
// n; long texts are walked only as far as needed.
static qsizetype graphemePrefixEnd(const QString &text, qsizetype n)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype pos = 0;
    for (qsizetype i = 0; i < n && pos != -1; ++i)
        pos = finder.toNextBoundary();
    if (pos == -1 || finder.toNextBoundary() == -1)
        return -1;
    return pos;
}

QString leftGraphemes(const QString &text, qsizetype n)
{
    if (n <= 0)
        return {};
    const qsizetype end = graphemePrefixEnd(text, n);
    return end < 0 ? text : text.left(end);
}

bool hasMoreGraphemesThan(const QString &text, qsizetype n)
{
    if (text.size() <= n)
        return false; // a cluster is at least one code unit
    return n <= 0 || graphemePrefixEnd(text, n) >= 0;
}

QString rightGraphemes(const QString &text, qsizetype n)
{
    if (n <= 0)
        return {};
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    finder.toEnd();
    qsizetype pos = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        pos = finder.toPreviousBoundary();
        if (pos <= 0)
            return text;
    }
    return text.mid(pos);
}

QString lastPathComponent(const QString &path)
{
    QString p = path;
    while (p.size() > 1 && p.endsWith(QLatin1Char('/')))
        p.chop(1);
    const auto slash = p.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? p : p.mid(slash + 1);
}

} // namespace Text
