#include "ui/elidedlabel.h"

#include <QPainter>
#include <QTextDocument>
#include <QTextLayout>

QString plainToolTip(const QString &text)
{
    return text.isEmpty() ? QString() : Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal);
}

namespace {

// A line break in outside text would otherwise paint as a box or run lines together.
QString oneLine(QString text)
{
    text.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    return text;
}

} // namespace

ElidedLabel::ElidedLabel(Qt::TextElideMode mode, int lines, QWidget *parent)
    : QLabel(parent)
    , m_mode(mode)
    , m_lines(std::max(lines, 1))
{
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

void ElidedLabel::setText(const QString &text)
{
    QLabel::setText(text);
    refreshToolTip();
    update();
}

QStringList ElidedLabel::shownLines(bool *elided) const
{
    const QString full = oneLine(text());
    const QFontMetrics metrics(font());
    const int width = contentsRect().width();
    const auto cut = [&](const QString &rest) {
        const QString shown = metrics.elidedText(rest, m_mode, width);
        if (elided)
            *elided = shown != rest;
        return shown;
    };
    if (elided)
        *elided = false;
    if (m_lines == 1 || full.isEmpty())
        return { cut(full) };

    QTextLayout layout(full, font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QStringList lines;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        if (lines.size() == m_lines - 1) {
            lines.append(cut(full.mid(line.textStart()))); // the last line takes the rest
            break;
        }
        lines.append(full.mid(line.textStart(), line.textLength()));
    }
    layout.endLayout();
    return lines;
}

bool ElidedLabel::isElided() const
{
    bool elided = false;
    shownLines(&elided);
    return elided;
}

QSize ElidedLabel::sizeHint() const
{
    const QFontMetrics metrics(font());
    const QMargins m = contentsMargins();
    return { metrics.horizontalAdvance(oneLine(text())) + m.left() + m.right(),
        m_lines * metrics.lineSpacing() + m.top() + m.bottom() };
}

QSize ElidedLabel::minimumSizeHint() const
{
    const QFontMetrics metrics(font());
    const QMargins m = contentsMargins();
    return { metrics.horizontalAdvance(QStringLiteral("…")) + m.left() + m.right(),
        m_lines * metrics.lineSpacing() + m.top() + m.bottom() };
}

void ElidedLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, foregroundRole()));
    const QFontMetrics metrics(font());
    const QRect area = contentsRect();
    const QStringList lines = shownLines();
    // Centred in a label taller than its lines, as a QLabel is.
    const int block = int(lines.size()) * metrics.lineSpacing();
    int baseline = area.top() + std::max(0, (area.height() - block) / 2) + metrics.ascent();
    for (const QString &line : lines) {
        painter.drawText(QPoint(area.left(), baseline), line);
        baseline += metrics.lineSpacing();
    }
}

void ElidedLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    refreshToolTip();
}

void ElidedLabel::changeEvent(QEvent *event)
{
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        updateGeometry();
        refreshToolTip();
    }
}

void ElidedLabel::refreshToolTip()
{
    setToolTip(isElided() ? plainToolTip(text()) : QString());
}
