#include "ui/dialogs.h"

#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>

QStringList QtDialogs::askOpenFiles()
{
    return QFileDialog::getOpenFileNames(m_parent, QStringLiteral("Add files"));
}

std::optional<QString> QtDialogs::askSavePath(const QString &title, const QString &suggestedName,
                                              const QStringList &filters)
{
    QFileDialog dialog(m_parent, title, QDir::homePath() + QLatin1Char('/') + suggestedName);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(filters);
    dialog.setOption(QFileDialog::ShowDirsOnly, false);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().constFirst();
}

void QtDialogs::setText(const QString &text)
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(text);
}
