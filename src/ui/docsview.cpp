#include "ui/docsview.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

DocsView::DocsView(const QString &docs, QWidget *parent)
    : QDialog(parent)
    , m_docs(docs)
{
    setObjectName(QStringLiteral("docsView"));
    setWindowTitle(QStringLiteral("Documentation"));
    setFixedSize(600, 520);

    auto *title = new QLabel(QStringLiteral("Documentation"), this);
    title->setObjectName(QStringLiteral("docsTitle"));
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.35);
    titleFont.setBold(true);
    title->setFont(titleFont);

    auto *text = new QPlainTextEdit(this);
    text->setObjectName(QStringLiteral("docsText"));
    text->setPlainText(docs);
    text->setReadOnly(true);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    text->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    text->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    auto *close = new QPushButton(QStringLiteral("Close"), this);
    close->setObjectName(QStringLiteral("docsClose"));
    connect(close, &QPushButton::clicked, this, &QDialog::accept);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(close);

    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(20, 20, 20, 20);
    column->addWidget(title, 0, Qt::AlignLeft);
    column->addWidget(text, 1);
    column->addLayout(buttons);
}
