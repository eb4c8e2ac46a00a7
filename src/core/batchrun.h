#pragma once

#include "core/resultmodel.h"
#include "core/stampingservice.h"

#include <QCoro/QCoroTask>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

/// One press of Register or Verify: hashes every file of a list, one at a
/// time and in list order, asks the stamping service about each, and
/// publishes all rows and a summary at the end. Free of widgets, so the
/// window and the command-line tool drive the same code.
class BatchRun : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(QList<FileResult> results READ results NOTIFY resultsChanged)

public:
    enum class Action { registerFiles, verifyFiles };

    /// Makes the service for one run from the endpoint text.
    using ServiceFactory = std::function<std::unique_ptr<StampingService>(const QString &url)>;
    /// Reads the scope as configured at the moment of the call.
    using ScopeSource = std::function<QString()>;

    explicit BatchRun(ServiceFactory factory, QObject *parent = nullptr);
    ~BatchRun() override;

    bool busy() const { return m_busy; }
    QString status() const { return m_status; }
    QList<FileResult> results() const { return m_results; }

    /// Runs action over files. The service is made once from url and kept
    /// for the whole run; scope is read again for every file. Never fails:
    /// a file that cannot be hashed becomes an error row and the run goes
    /// on. Ignored while a run is busy, so two runs never mix their rows.
    QCoro::Task<void> run(Action action, QStringList files, QString url, ScopeSource scope);

    /// "Done — …" for the rows of a finished run.
    static QString summary(Action action, const QList<FileResult> &rows);

Q_SIGNALS:
    void busyChanged(bool busy);
    void statusChanged(const QString &status);
    void resultsChanged();
    /// fileNumber counts from 1 to fileCount. Sent once when a file is
    /// started (bytesHashed 0) and again after every chunk hashed.
    void progress(int fileNumber, int fileCount, const QString &path, qint64 bytesHashed, qint64 bytesTotal);
    /// After the summary is set and busy is cleared.
    void finished();

private:
    void setBusy(bool busy);
    void setStatus(const QString &status);
    void setResults(const QList<FileResult> &results);

    ServiceFactory m_factory;
    bool m_busy = false;
    QString m_status;
    QList<FileResult> m_results;
};
