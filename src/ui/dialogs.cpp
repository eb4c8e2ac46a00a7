#include "ui/dialogs.h"

#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QRegularExpression>

QStringList QtDialogs::askOpenFiles()
{
    return QFileDialog::getOpenFileNames(m_parent, QStringLiteral("Add files"));
}

std::optional<QString> QtDialogs::askSavePath(
    const QString &title, const QString &suggestedName, const QStringList &filters)
{
    QFileDialog dialog(m_parent, title, QDir::homePath() + QLatin1Char('/') + suggestedName);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(filters);
    dialog.setOption(QFileDialog::ShowDirsOnly, false);
    // A name typed without an extension gets the chosen filter's, before the
    // dialog checks for a file it would replace.
    const auto useSuffixOf = [&dialog](const QString &filter) {
        static const QRegularExpression pattern(QStringLiteral("\\*\\.(\\w+)"));
        dialog.setDefaultSuffix(pattern.match(filter).captured(1));
    };
    useSuffixOf(filters.value(0));
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, useSuffixOf);
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
