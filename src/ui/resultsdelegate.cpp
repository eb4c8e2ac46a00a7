#include "ui/resultsdelegate.h"

#include "ui/resultstablemodel.h"

#include <QApplication>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

void ResultsDelegate::paintLight(QPainter &painter, const QRectF &rect, ResultKind kind)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal side = std::min(rect.width(), rect.height());
    const QRectF box(rect.center().x() - side / 2, rect.center().y() - side / 2, side, side);
    const QPointF c = box.center();
    const qreal r = side / 2 * 0.92;
    const QPen mark(Qt::white, side * 0.12, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);

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

void ResultsDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    if (index.column() != ResultsTableModel::StatusColumn) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QWidget *widget = opt.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, widget);

    const auto kind = static_cast<ResultKind>(index.data(ResultsTableModel::KindRole).toInt());
    const QFontMetrics metrics(opt.font);
    const QRect area = opt.rect.adjusted(4, 0, -4, 0);
    const int side = std::min(metrics.height(), area.height());
    paintLight(*painter, QRectF(area.left(), area.center().y() - side / 2.0 + 0.5, side, side), kind);

    // The label is painted in the kind's colour, never the palette's text colour.
    const QRect textArea = area.adjusted(side + 6, 0, 0, 0);
    painter->save();
    painter->setFont(opt.font);
    painter->setPen(StatusStyle::colour(kind));
    painter->drawText(
        textArea, Qt::AlignLeft | Qt::AlignVCenter, metrics.elidedText(opt.text, Qt::ElideRight, textArea.width()));
    painter->restore();
}

QWidget *ResultsDelegate::createEditor(
    QWidget *parent, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    if (!(index.flags() & Qt::ItemIsEditable))
        return nullptr;
    auto *editor = new QLineEdit(parent);
    editor->setObjectName(QStringLiteral("cellText"));
    editor->setReadOnly(true);
    editor->setFrame(false);
    editor->setFont(index.data(Qt::FontRole).value<QFont>());
    editor->setAccessibleName(index.model()->headerData(index.column(), Qt::Horizontal).toString());
    Q_UNUSED(option);
    return editor;
}

void ResultsDelegate::setEditorData(QWidget *editor, const QModelIndex &index) const
{
    auto *line = qobject_cast<QLineEdit *>(editor);
    if (!line)
        return;
    line->setText(index.data(Qt::EditRole).toString());
    line->selectAll();
}

void ResultsDelegate::setModelData(QWidget *, QAbstractItemModel *, const QModelIndex &) const
{
    // Read-only: nothing goes back to the rows.
}
