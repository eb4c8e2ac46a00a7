#include "ui/statuscell.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace StatusStyle {

QString label(ResultKind kind)
{
    switch (kind) {
    case ResultKind::registered: return QStringLiteral("Registered");
    case ResultKind::found: return QStringLiteral("Found");
    case ResultKind::valid: return QStringLiteral("Valid");
    case ResultKind::notFound: return QStringLiteral("Not found");
    case ResultKind::invalid: return QStringLiteral("Invalid");
    case ResultKind::error: return QStringLiteral("Error");
    }
    return {};
}

QColor colour(ResultKind kind)
{
    return ResultKinds::passes(kind) ? QColor(0x1f, 0x9d, 0x45) : QColor(0xd7, 0x26, 0x1e);
}

} // namespace StatusStyle

StatusIcon::StatusIcon(ResultKind kind, QWidget *parent) : QWidget(parent), m_kind(kind)
{
    setFixedSize(sizeHint());
}

QSize StatusIcon::sizeHint() const
{
    const int side = fontMetrics().height();
    return {side, side};
}

void StatusIcon::paint(QPainter &painter, const QRectF &rect, ResultKind kind)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal side = std::min(rect.width(), rect.height());
    const QRectF box(rect.center().x() - side / 2, rect.center().y() - side / 2, side, side);
    const QPointF c = box.center();
    const qreal r = side / 2 * 0.92;
    QPen mark(Qt::white, side * 0.12, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);

    painter.setPen(Qt::NoPen);
    painter.setBrush(StatusStyle::colour(kind));
    if (ResultKinds::passes(kind)) {
        painter.drawEllipse(c, r, r);
        QPainterPath check;
        check.moveTo(c.x() - r * 0.45, c.y() + r * 0.02);
        check.lineTo(c.x() - r * 0.12, c.y() + r * 0.35);
        check.lineTo(c.x() + r * 0.48, c.y() - r * 0.33);
        painter.setBrush(Qt::NoBrush);
        painter.setPen(mark);
        painter.drawPath(check);
    } else {
        QPolygonF octagon;
        for (int i = 0; i < 8; ++i) {
            const qreal a = (22.5 + 45.0 * i) * M_PI / 180.0;
            octagon << QPointF(c.x() + r * std::cos(a), c.y() + r * std::sin(a));
        }
        painter.drawPolygon(octagon);
        const qreal d = r * 0.36;
        painter.setPen(mark);
        painter.drawLine(QPointF(c.x() - d, c.y() - d), QPointF(c.x() + d, c.y() + d));
        painter.drawLine(QPointF(c.x() - d, c.y() + d), QPointF(c.x() + d, c.y() - d));
    }
    painter.restore();
}

void StatusIcon::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    paint(painter, rect(), m_kind);
}

StatusCell::StatusCell(const FileResult &row, QWidget *parent) : QWidget(parent)
{
    m_icon = new StatusIcon(row.kind, this);
    m_label = new QLabel(StatusStyle::label(row.kind), this);
    QFont caption = m_label->font();
    caption.setPointSizeF(caption.pointSizeF() * 0.9);
    m_label->setFont(caption);
    QPalette palette = m_label->palette();
    palette.setColor(QPalette::WindowText, StatusStyle::colour(row.kind));
    m_label->setPalette(palette);
    m_icon->setToolTip(row.status);
    m_label->setToolTip(row.status);
    setToolTip(row.status);

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 0, 4, 0);
    layout->setSpacing(6);
    layout->addWidget(m_icon);
    layout->addWidget(m_label);
    layout->addStretch(1);
}

QString StatusCell::label() const
{
    return m_label->text();
}
