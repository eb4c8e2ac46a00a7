#pragma once

#include "core/resultmodel.h"

#include <QColor>
#include <QWidget>

/// Presentation of a row's kind: label, colour and light.
namespace StatusStyle {
QString label(ResultKind kind);   // "Registered", "Found", "Valid", "Not found", "Invalid", "Error"
QColor colour(ResultKind kind);   // green when the kind passes, red otherwise
} // namespace StatusStyle

/// The status light: a green circle with a check mark for passing kinds, a
/// red octagon with a cross for failing ones. Drawn as vector shapes so it
/// stays sharp at any scale.
class StatusIcon : public QWidget {
    Q_OBJECT
public:
    explicit StatusIcon(ResultKind kind, QWidget *parent = nullptr);
    QSize sizeHint() const override;
    bool passes() const { return ResultKinds::passes(m_kind); }

    /// Paints the light for kind into rect; shared with the results table.
    static void paint(QPainter &painter, const QRectF &rect, ResultKind kind);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    ResultKind m_kind;
};

/// The "Status" cell: light, 6 points of space, label in caption text, both
/// in the kind's colour, both with the row's status text as tooltip.
class StatusCell : public QWidget {
    Q_OBJECT
public:
    StatusCell(const FileResult &row, QWidget *parent = nullptr);
    QString label() const;
    StatusIcon *icon() const { return m_icon; }

private:
    StatusIcon *m_icon;
    class QLabel *m_label;
};
