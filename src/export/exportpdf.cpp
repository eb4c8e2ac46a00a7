#include "export/exportpdf.h"

#include "core/text.h"

#include <QBuffer>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QTextLayout>

namespace ExportPDF {

namespace {

constexpr int kDpi = 72; // one device unit is one PDF point

// Fonts need a GUI application object (offscreen will do); without one, say
// so with empty bytes rather than crash.
bool canUseFonts()
{
    return qobject_cast<QGuiApplication *>(QCoreApplication::instance()) != nullptr;
}

constexpr std::array kRoles { FontRole::title, FontRole::entryHeading, FontRole::body, FontRole::digest,
    FontRole::small };

std::array<QFont, 5> allFonts()
{
    std::array<QFont, 5> fonts;
    for (const FontRole role : kRoles)
        fonts[static_cast<size_t>(role)] = font(role);
    return fonts;
}

// A text layout does not break at a bare line feed the way drawn text does;
// a path or status holding one still gets its own line.
QString withLineSeparators(QString text)
{
    text.replace(QStringLiteral("\r\n"), QString(QChar::LineSeparator));
    text.replace(QLatin1Char('\r'), QChar::LineSeparator);
    text.replace(QLatin1Char('\n'), QChar::LineSeparator);
    return text;
}

// Lays the text out in the column and returns its height. Shared by
// measuring and drawing so both wrap the same way. A word longer than the
// column is broken inside rather than run off the page.
qreal layOutLines(QTextLayout &layout)
{
    QTextOption option(Qt::AlignLeft);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    qreal y = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(columnWidth);
        line.setPosition(QPointF(0, y));
        // Not QTextLine::height(): that is rounded up to whole units.
        y += line.ascent() + line.descent();
    }
    layout.endLayout();
    return y;
}

// The locale's long time format with its time-zone field removed, keeping
// quoted literals intact: "h:mm:ss AP t" becomes "h:mm:ss AP".
QString timeFormatWithSeconds(const QLocale &locale)
{
    const QString format = locale.timeFormat(QLocale::LongFormat);
    QString out;
    bool quoted = false;
    for (const QChar c : format) {
        if (c == QLatin1Char('\''))
            quoted = !quoted;
        if (!quoted && c == QLatin1Char('t'))
            continue;
        out += c;
    }
    return out.trimmed();
}

class Placer {
public:
    Placer(Layout &layout, const TextMeasurer &measurer)
        : m_layout(layout)
        , m_measurer(measurer)
    {
    }

    void place(const QString &text, FontRole role, const QColor &colour, qreal spacingAfter)
    {
        const qreal h = qMax(m_measurer.height(text, role), minimumBlockHeight(role));
        m_y -= h;
        m_layout.blocks.append(Block { m_page, m_entry, QRectF(columnX, m_y, columnWidth, h), role, colour, text });
        m_y -= spacingAfter;
    }

    void beginEntry(int n)
    {
        m_entry = n;
        if (m_y - entryReserve < bottomLimit) {
            ++m_page;
            m_y = startY;
        }
    }

    void skip(qreal space) { m_y -= space; }
    qreal y() const { return m_y; }
    int page() const { return m_page; }

private:
    Layout &m_layout;
    const TextMeasurer &m_measurer;
    qreal m_y = startY;
    int m_page = 0;
    int m_entry = 0;
};

QString orDash(const QString &value)
{
    return value.isEmpty() ? QStringLiteral("—") : value;
}

} // namespace

QString registrationTitle()
{
    return QStringLiteral("Nivet Timestamp Registration Document");
}

qreal pointSize(FontRole role)
{
    switch (role) {
    case FontRole::title:
        return 16;
    case FontRole::entryHeading:
        return 12;
    case FontRole::body:
        return 10;
    case FontRole::digest:
        return 9;
    case FontRole::small:
        return 9;
    }
    return 10;
}

qreal minimumBlockHeight(FontRole role)
{
    return pointSize(role) + 2;
}

QFont font(FontRole role)
{
    const bool fixed = role == FontRole::digest;
    QFont f = QFontDatabase::systemFont(fixed ? QFontDatabase::FixedFont : QFontDatabase::GeneralFont);
    if (fixed)
        f.setFixedPitch(true);
    f.setPointSizeF(pointSize(role));
    f.setBold(role == FontRole::title || role == FontRole::entryHeading);
    // Unhinted outlines measure the same on the measuring image and in the PDF.
    f.setHintingPreference(QFont::PreferNoHinting);
    // No ligatures: a reader must find "report.final.pdf" as written, not with
    // an "fi" glyph that extracts as one character.
    f.setStyleStrategy(QFont::PreferNoShaping);
    return f;
}

QColor black()
{
    return QColor(Qt::black);
}

QColor darkGray()
{
    return QColor::fromRgbF(1.0f / 3, 1.0f / 3, 1.0f / 3);
}

QColor passColour()
{
    return QColor::fromRgbF(0.05f, 0.55f, 0.2f);
}

QColor failColour()
{
    return QColor::fromRgbF(0.75f, 0.1f, 0.1f);
}

QColor entryColour(ResultKind kind)
{
    return ResultKinds::passes(kind) ? passColour() : failColour();
}

FontMeasurer::FontMeasurer()
    : m_fonts(allFonts())
{
}

qreal FontMeasurer::height(const QString &text, FontRole role) const
{
    // A 72 dpi device, so that point sizes come out as PDF points.
    static const QImage device = [] {
        QImage image(1, 1, QImage::Format_ARGB32);
        image.setDotsPerMeterX(qRound(kDpi / 0.0254));
        image.setDotsPerMeterY(qRound(kDpi / 0.0254));
        return image;
    }();
    QTextLayout layout(withLineSeparators(text), m_fonts[static_cast<size_t>(role)], &device);
    return layOutLines(layout);
}

QString stampText(const QDateTime &now, const QLocale &locale)
{
    return locale.toString(now.date(), QLocale::LongFormat) + QLatin1Char(' ')
        + locale.toString(now.time(), timeFormatWithSeconds(locale));
}

Layout layOut(const QList<FileResult> &rows, const QString &title, const QString &stamp, const TextMeasurer &measurer)
{
    Layout layout;
    Placer placer(layout, measurer);

    placer.place(title, FontRole::title, black(), 6);
    placer.place(QStringLiteral("Generated: ") + stamp, FontRole::small, darkGray(), 4);
    placer.place(QStringLiteral("Entries: ") + QString::number(rows.size()), FontRole::small, darkGray(), 16);

    for (qsizetype i = 0; i < rows.size(); ++i) {
        const FileResult &row = rows.at(i);
        const int n = static_cast<int>(i + 1);
        placer.beginEntry(n);
        const bool hasMerkle = !row.merkle.isEmpty();
        const QString verdict = row.passes() ? QStringLiteral("PASS") : QStringLiteral("FAIL");

        placer.place(QStringLiteral("Entry %1: ").arg(n) + Text::lastPathComponent(row.path), FontRole::entryHeading,
            black(), 4);
        placer.place(QStringLiteral("Status: ") + verdict + QStringLiteral(" — ") + row.status, FontRole::body,
            entryColour(row.kind), 3);
        placer.place(QStringLiteral("File: ") + row.path, FontRole::body, black(), 3);
        placer.place(
            QStringLiteral("SHA-256: ") + (row.sha256.isEmpty() ? QStringLiteral("(unavailable)") : row.sha256),
            FontRole::digest, black(), 3);
        placer.place(QStringLiteral("Scope: ") + orDash(row.scope), FontRole::body, black(), 3);
        placer.place(QStringLiteral("Receipt ID: ") + orDash(row.receiptId), FontRole::digest, black(), 3);
        placer.place(QStringLiteral("Timestamp: ") + orDash(row.createdAt), FontRole::body, black(), hasMerkle ? 3 : 0);
        if (hasMerkle)
            placer.place(QStringLiteral("Merkle: ") + row.merkle, FontRole::digest, black(), 0);
        placer.skip(entryTrailingSpace);
    }
    layout.pageCount = placer.page() + 1;
    return layout;
}

QByteArray render(const Layout &layout, const QString &title)
{
    if (!canUseFonts())
        return {};
    QByteArray bytes;
    QBuffer buffer(&bytes);
    if (!buffer.open(QIODevice::WriteOnly))
        return {};
    {
        QPdfWriter writer(&buffer);
        writer.setResolution(kDpi);
        writer.setTitle(title);
        writer.setCreator(QStringLiteral("Nivet Timestamping"));
        writer.setPageLayout(QPageLayout(
            QPageSize(QPageSize::Letter), QPageLayout::Portrait, QMarginsF(0, 0, 0, 0), QPageLayout::Point));
        QPainter painter;
        if (!painter.begin(&writer))
            return {};
        const std::array<QFont, 5> fonts = allFonts();
        int page = 0;
        for (const Block &block : layout.blocks) {
            for (; page < block.page; ++page)
                writer.newPage();
            QTextLayout text(withLineSeparators(block.text), fonts[static_cast<size_t>(block.role)], &writer);
            layOutLines(text);
            painter.setPen(block.colour);
            // The painter's origin is the page's top-left corner.
            text.draw(&painter, QPointF(block.rect.x(), pageHeight - block.top()));
        }
        for (; page + 1 < layout.pageCount; ++page)
            writer.newPage();
        if (!painter.end())
            return {};
    }
    buffer.close();
    return bytes;
}

QByteArray makeDocument(
    const QList<FileResult> &rows, const QString &title, const QDateTime &now, const QLocale &locale)
{
    if (!canUseFonts())
        return {};
    const FontMeasurer measurer;
    return render(layOut(rows, title, stampText(now, locale), measurer), title);
}

} // namespace ExportPDF
