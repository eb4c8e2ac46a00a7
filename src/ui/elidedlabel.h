#pragma once

#include <QLabel>

/// Outside text (a path, a status, a server's words) as a tooltip: rich text
/// that holds the text escaped, so any markup in it shows as written.
QString plainToolTip(const QString &text);

/// A label for outside text that may be long: plain text only, at most a
/// fixed number of lines (so its height never changes), the rest elided.
/// When something is cut, the whole text is in the tooltip.
class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    /// lines > 1 wraps at word boundaries and elides the last line's end.
    explicit ElidedLabel(Qt::TextElideMode mode, int lines = 1, QWidget *parent = nullptr);

    void setText(const QString &text);
    /// The lines as painted at the current width; elided, if given, tells
    /// whether any text was cut.
    QStringList shownLines(bool *elided = nullptr) const;
    bool isElided() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void refreshToolTip();

    Qt::TextElideMode m_mode;
    int m_lines;
};
