#pragma once

#include "core/batchrun.h"
#include "core/resultmodel.h"
#include "ui/docsview.h"

#include <QPointer>
#include <QStringList>
#include <QWidget>

class ConfigStore;
class ClipboardSink;
class ElidedLabel;
class FileDropList;
class FileListModel;
class OpenFilesDialog;
class QAction;
class QLayout;
class QProgressBar;
class QPushButton;
class QShortcut;
class QTableView;
class QtDialogs;
class ResultsTableModel;
class SaveDialog;
enum class ExportFormat;

/// The main window's content: the file list, the Register and Verify runs
/// (with progress and Stop), the results table, the status line, export and
/// copy.
class ContentView : public QWidget {
    Q_OBJECT
public:
    /// service makes the stamping service of each run; by default the MCP
    /// client of the configured endpoint.
    explicit ContentView(QWidget *parent = nullptr, BatchRun::ServiceFactory service = {});
    ~ContentView() override;

    /// Replaces the platform dialogs and clipboard (tests).
    void setSeams(OpenFilesDialog *open, SaveDialog *save, ClipboardSink *clipboard);

    const QStringList &files() const;
    const QList<FileResult> &results() const;
    QString status() const { return m_status; }
    bool busy() const { return m_busy; }
    ConfigStore *config() const { return m_config; }
    DocsView *docsView() const { return m_docs; }
    /// "Add Files…" (Ctrl+O), for the window's menu.
    QAction *addFilesAction() const { return m_addAction; }
    /// "Verify Offline", for the window's menu: see startOfflineRun().
    QAction *verifyOfflineAction() const { return m_offlineAction; }

    static QString initialStatus();

public Q_SLOTS:
    void addFiles();
    /// Appends dropped locations that are not listed yet; always accepts.
    bool handleDrop(const QStringList &paths);
    void clear();
    /// Takes the files selected in the list off it (Delete, or its context menu).
    void removeSelectedFiles();
    /// Registers or verifies the listed files with the saved defaults; the
    /// Register and Verify buttons.
    void startRun(BatchRun::Action action);
    /// Verifies the listed files with no network, from the kept evidence
    /// alone, trusting the authorities of OfflineVerifier::configuredCas().
    void startOfflineRun();
    /// Ends a busy run (the Stop button and Esc): see BatchRun::stop().
    void stop();
    void exportResults(ExportFormat format);
    void copyResults();
    void showDocs();

Q_SIGNALS:
    void openSettingsRequested();
    void statusChanged(const QString &status);
    void busyChanged(bool busy);
    void resultsChanged();

protected:
    /// Return that no focused control took (the file list, the table, a
    /// label) starts Register; a focused button takes its own Return.
    void keyPressEvent(QKeyEvent *event) override;

private:
    static QPushButton *button(const QString &text, const QString &name, QWidget *parent);
    void build();
    QLayout *buildHeader();
    QWidget *buildDocuments();
    QLayout *buildStatusRow(QWidget *box);
    QWidget *buildTable(QWidget *box);
    QLayout *buildResultActions(QWidget *box);
    void setStatus(const QString &status);
    void setBusy(bool busy);
    void setResults(const QList<FileResult> &rows);
    void refreshEnabled();
    void refreshCopyLabel();
    void onProgress(int fileNumber, int count, const QString &path, qint64 done, qint64 total);
    void clampColumn(int column, int oldSize, int newSize);

    ConfigStore *m_config;
    BatchRun *m_run;
    QtDialogs *m_platform;
    OpenFilesDialog *m_open;
    SaveDialog *m_save;
    ClipboardSink *m_clipboard;
    FileListModel *m_fileModel;
    ResultsTableModel *m_resultsModel;

    QString m_status;
    bool m_busy = false;
    QPointer<DocsView> m_docs;

    QAction *m_addAction = nullptr;
    QAction *m_removeAction = nullptr;
    QAction *m_offlineAction = nullptr;
    FileDropList *m_fileList = nullptr;
    QPushButton *m_verify = nullptr;
    QPushButton *m_register = nullptr;
    ElidedLabel *m_statusLabel = nullptr;
    QProgressBar *m_progress = nullptr;
    ElidedLabel *m_progressLabel = nullptr;
    QPushButton *m_stop = nullptr;
    QShortcut *m_escape = nullptr;
    QTableView *m_table = nullptr;
    QPushButton *m_export = nullptr;
    QPushButton *m_copy = nullptr;
};
