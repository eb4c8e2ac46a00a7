#pragma once

#include "core/resultmodel.h"

#include <QStyledItemDelegate>

/// Paints the results table. The status cell is drawn here: the light (a
/// green circle with a check mark for passing kinds, a red octagon with a
/// cross for failing ones), 6 points of space, then the label in the kind's
/// colour. Other cells are plain text in the model's font and colour. The
/// digest and receipt cells open a read-only editor with the whole value.
class ResultsDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    /// Paints the light for kind, centred in rect, as vector shapes.
    static void paintLight(QPainter &painter, const QRectF &rect, ResultKind kind);

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    void setEditorData(QWidget *editor, const QModelIndex &index) const override;
    void setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const override;
};
