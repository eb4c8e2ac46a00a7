#include "core/text.h"

#include <QChar>
#include <QList>
#include <QTextBoundaryFinder>

namespace Text {

bool isSpaceOrLineBreak(char32_t c)
{
    switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x85: case 0x2028: case 0x2029:
        return true;
    default:
        return QChar::category(c) == QChar::Separator_Space;
    }
}

static bool isSpace(char32_t c)
{
    return c == 0x09 || QChar::category(c) == QChar::Separator_Space;
}

template <typename Pred>
static QString trimBy(const QString &text, Pred pred)
{
    const auto ucs4 = text.toUcs4();
    qsizetype begin = 0;
    qsizetype end = ucs4.size();
    while (begin < end && pred(ucs4[begin]))
        ++begin;
    while (end > begin && pred(ucs4[end - 1]))
        --end;
    return QString::fromUcs4(reinterpret_cast<const char32_t *>(ucs4.constData()) + begin, end - begin);
}

QString trimmed(const QString &text)
{
    return trimBy(text, isSpaceOrLineBreak);
}

QString trimmedSpaces(const QString &text)
{
    return trimBy(text, isSpace);
}

static QList<qsizetype> graphemeBoundaries(const QString &text)
{
    QList<qsizetype> bounds;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    for (qsizetype pos = finder.toNextBoundary(); pos != -1; pos = finder.toNextBoundary())
        bounds.append(pos);
    return bounds; // end offsets of each cluster
}

qsizetype graphemeCount(const QString &text)
{
    return graphemeBoundaries(text).size();
}

QString leftGraphemes(const QString &text, qsizetype n)
{
    const auto bounds = graphemeBoundaries(text);
    if (n <= 0)
        return {};
    if (n >= bounds.size())
        return text;
    return text.left(bounds[n - 1]);
}

QString rightGraphemes(const QString &text, qsizetype n)
{
    const auto bounds = graphemeBoundaries(text);
    if (n <= 0)
        return {};
    if (n >= bounds.size())
        return text;
    return text.mid(bounds[bounds.size() - n - 1]);
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
