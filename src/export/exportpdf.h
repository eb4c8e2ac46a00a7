#pragma once

#include "core/resultmodel.h"

#include <QByteArray>
#include <QColor>
#include <QDateTime>
#include <QFont>
#include <QList>
#include <QLocale>
#include <QRectF>
#include <QString>

#include <array>

/// The paginated PDF registration document: a title, a generation stamp, an
/// entry count, then one block of text lines per row.
///
/// Built in two steps that can be used apart: layOut() turns rows into
/// positioned text blocks (pure geometry, measured with real fonts), and
/// render() draws those blocks into PDF bytes.
///
/// Coordinates are PDF user space: points (1/72 inch), origin at the
/// bottom-left corner of the page, y growing upwards. The cursor y is the top
/// edge of the next block and runs down from 744.
namespace ExportPDF {

inline constexpr qreal pageWidth = 612; // US Letter
inline constexpr qreal pageHeight = 792;
inline constexpr qreal columnX = 48;
inline constexpr qreal columnWidth = 516; // pageWidth - 2 * columnX
inline constexpr qreal startY = 744; // pageHeight - 48, on every page
inline constexpr qreal bottomLimit = 48;
inline constexpr qreal entryReserve = 140; // room an entry needs to start on a page
inline constexpr qreal entryTrailingSpace = 14;

/// The title the save flow gives the document.
QString registrationTitle(); // "Nivet Timestamp Registration Document"

/// The five text styles of the document.
enum class FontRole { title, entryHeading, body, digest, small };

/// 16, 12, 10, 9 and 9 points.
qreal pointSize(FontRole role);
/// The point size + 2: no block of that role is laid out lower, so a single
/// line always takes exactly this much or its measured height, if larger.
qreal minimumBlockHeight(FontRole role);

/// The platform's general font (bold for title and heading, regular otherwise)
/// or, for digest, its fixed-pitch font, at the role's point size.
QFont font(FontRole role);

/// The document's four colours.
QColor black();
QColor darkGray(); // gray level 1/3
QColor passColour(); // (0.05, 0.55, 0.2)
QColor failColour(); // (0.75, 0.1, 0.1)
/// passColour() for registered, found and valid; failColour() otherwise.
QColor entryColour(ResultKind kind);

/// One piece of text placed on a page.
struct Block {
    int page = 0; // 0-based
    int entry = 0; // 0 for the header, n for the n-th row (1-based)
    /// x, lower edge, width, height in PDF user space (y up): rect.y() is the
    /// block's lower edge, top() its upper edge, where the text starts.
    QRectF rect;
    FontRole role = FontRole::body;
    QColor colour;
    QString text;

    qreal top() const { return rect.y() + rect.height(); }
};

struct Layout {
    QList<Block> blocks;
    int pageCount = 1;
};

/// How high a text needs to be when wrapped to the column width.
class TextMeasurer {
public:
    virtual ~TextMeasurer() = default;
    /// The height text takes in role's font at width columnWidth, with
    /// unlimited height.
    virtual qreal height(const QString &text, FontRole role) const = 0;
};

/// Measures with the real fonts at 72 dpi, laying the text out exactly as
/// render() draws it. Needs a QGuiApplication.
class FontMeasurer final : public TextMeasurer {
public:
    FontMeasurer();
    qreal height(const QString &text, FontRole role) const override;

private:
    std::array<QFont, 5> m_fonts;
};

/// The date in the locale's long format, a blank, and the time with seconds
/// in the locale's format (its long time format without the time zone).
QString stampText(const QDateTime &now, const QLocale &locale);

/// Places the header ("Generated: " + stamp) and one entry per row. Wraps at
/// word boundaries, or anywhere in a word too long for a line.
Layout layOut(const QList<FileResult> &rows, const QString &title, const QString &stamp, const TextMeasurer &measurer);

/// Draws the blocks on US Letter pages (612 × 792 points, no margins) and
/// returns the PDF bytes; empty bytes when no PDF surface can be opened or
/// there is no QGuiApplication. title becomes the document's metadata title.
QByteArray render(const Layout &layout, const QString &title);

/// layOut with the real fonts, then render: the complete document, or empty
/// bytes when it cannot be made (see render). Reads the clock once, for the
/// stamp.
QByteArray makeDocument(const QList<FileResult> &rows, const QString &title,
    const QDateTime &now = QDateTime::currentDateTime(), const QLocale &locale = QLocale());

} // namespace ExportPDF
