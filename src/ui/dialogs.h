#pragma once

#include "export/exportactions.h"

#include <QStringList>

class QWidget;

/// The open dialog, as the main window needs it; tests stand in for it.
class OpenFilesDialog {
public:
    virtual ~OpenFilesDialog() = default;
    /// Several files, no folders, any type; empty when cancelled.
    virtual QStringList askOpenFiles() = 0;
};

/// The platform dialogs and clipboard behind the window's seams.
class QtDialogs : public OpenFilesDialog, public SaveDialog, public ClipboardSink {
public:
    explicit QtDialogs(QWidget *parent)
        : m_parent(parent)
    {
    }
    QStringList askOpenFiles() override;
    std::optional<QString> askSavePath(
        const QString &title, const QString &suggestedName, const QStringList &filters) override;
    void setText(const QString &text) override;

private:
    QWidget *m_parent;
};
