#pragma once

#include "core/resultmodel.h"
#include "core/stampingclient.h"

#include <QCoro/QCoroTask>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>

#include <functional>
#include <memory>
#include <optional>

class HashJob;

/// One press of Register or Verify: hashes every file of a list in list
/// order, asks the stamping service about each, one file at a time, and
/// publishes all rows and a summary at the end (or, when stopped, the rows so
/// far). While the service answers for one file the next one is hashed, never
/// more than one ahead, so a run takes about the longer of hashing and
/// network, not their sum. Free of widgets, so the window and the
/// command-line tool drive the same code.
class BatchRun : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(QList<FileResult> results READ results NOTIFY resultsChanged)

public:
    enum class Action { registerFiles, verifyFiles };

    /// Makes the service for one run from the endpoint text.
    using ServiceFactory = std::function<std::unique_ptr<StampingClient>(const QString &url)>;
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
    /// With factory, that makes the run's service instead of the one given
    /// at construction (Verify offline). A service that halts (see
    /// StampingClient::halted) ends the run after its row, as Stop does, and
    /// the status says why.
    QCoro::Task<void> run(
        Action action, QStringList files, QString url, ScopeSource scope, ServiceFactory factory = {});

    /// Asks a busy run to end: the hash in hand is abandoned at once (that
    /// file gets no row), requests in flight and their save complete, then
    /// the rows so far are published under "Stopped — …". Ignored when idle.
    void stop();
    /// Whether the last run ended early, leaving files out.
    bool stopped() const { return m_stopped; }
    /// Why the service ended the last run early, if it did.
    std::optional<QString> halted() const { return m_halted; }

    /// "Done — …" for the rows of a finished run; "Stopped — …" with the
    /// same counts for one that was stopped.
    static QString summary(Action action, const QList<FileResult> &rows, bool stopped = false);

Q_SIGNALS:
    void busyChanged(bool busy);
    void statusChanged(const QString &status);
    void resultsChanged();
    /// fileNumber counts from 1 to fileCount and names the file in hand: the
    /// one whose requests are out, else the one being hashed. The bytes are
    /// those hashed across the whole run, the next file's included (bytesTotal
    /// is the sum of the sizes when the run started). Sent when a file comes
    /// in hand and after every chunk hashed.
    void progress(int fileNumber, int fileCount, const QString &path, qint64 bytesHashed, qint64 bytesTotal);
    /// After the summary is set and busy is cleared.
    void finished();

private:
    std::shared_ptr<HashJob> startHash(const QStringList &files, int index, qint64 bytesBefore, qint64 bytesTotal);
    void setBusy(bool busy);
    void setStatus(const QString &status);
    void setResults(const QList<FileResult> &results);

    ServiceFactory m_factory;
    QThreadPool m_hashPool; // one hash at a time, apart from the threads that save
    std::shared_ptr<HashJob> m_hashing; // the latest hash started: what Stop ends
    int m_inHand = 0;
    qint64 m_bytesHashed = 0;
    bool m_busy = false;
    bool m_stopRequested = false;
    bool m_stopped = false;
    std::optional<QString> m_halted;
    QString m_status;
    QList<FileResult> m_results;
};
