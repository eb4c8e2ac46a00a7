#pragma once

#include <QDialog>

/// The documentation sheet: a title, the help text in a scrolling,
/// selectable monospaced area, and Close. Always 600 x 520.
class DocsView : public QDialog {
    Q_OBJECT
public:
    explicit DocsView(const QString &docs, QWidget *parent = nullptr);

    QString docs() const { return m_docs; }

private:
    QString m_docs;
};
