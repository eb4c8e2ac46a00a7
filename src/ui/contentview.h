#pragma once

#include "core/resultmodel.h"
#include "ui/docsview.h"

#include <QPointer>
#include <QStringList>
#include <QWidget>

class BatchRun;
class ConfigStore;
class ClipboardSink;
class FileDropList;
class OpenFilesDialog;
class QLabel;
class QProgressBar;
class QPushButton;
class QTableWidget;
class QToolButton;
class QtDialogs;
class SaveDialog;
enum class ExportFormat;

/// The main window's content: the file list, the Register and Verify runs,
/// the results table, the status line, export and copy.
class ContentView : public QWidget {
    Q_OBJECT
public:
    explicit ContentView(QWidget *parent = nullptr);
    ~ContentView() override;

    /// Replaces the platform dialogs and clipboard (tests).
    void setSeams(OpenFilesDialog *open, SaveDialog *save, ClipboardSink *clipboard);

    const QStringList &files() const { return m_files; }
    const QList<FileResult> &results() const { return m_results; }
    QString status() const { return m_status; }
    bool busy() const { return m_busy; }
    ConfigStore *config() const { return m_config; }
    DocsView *docsView() const { return m_docs; }

    static QString initialStatus();
    /// "—", the first 12 + "…" + the last 8 from 22 characters on, or the whole digest.
    static QString abridgedDigest(const QString &sha256);
    /// "—", the first 10 + "…" + the last 6 above 17 characters, or the whole id.
    static QString abridgedReceipt(const QString &receiptId);

public Q_SLOTS:
    void addFiles();
    /// Appends dropped locations that are not listed yet; always accepts.
    bool handleDrop(const QStringList &paths);
    void clear();
    void startRegister();
    void startVerify();
    void exportResults(ExportFormat format);
    void copyResults();
    void showDocs();

Q_SIGNALS:
    void openSettingsRequested();
    void statusChanged(const QString &status);
    void busyChanged(bool busy);
    void resultsChanged();

private:
    void build();
    void setStatus(const QString &status);
    void setBusy(bool busy);
    void setResults(const QList<FileResult> &rows);
    void refreshFileList();
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

    QStringList m_files;
    QList<FileResult> m_results;
    QString m_status;
    bool m_busy = false;
    QPointer<DocsView> m_docs;

    FileDropList *m_fileList = nullptr;
    QPushButton *m_verify = nullptr;
    QPushButton *m_register = nullptr;
    QLabel *m_statusLabel = nullptr;
    QProgressBar *m_progress = nullptr;
    QTableWidget *m_table = nullptr;
    QToolButton *m_export = nullptr;
    QPushButton *m_copy = nullptr;
};
