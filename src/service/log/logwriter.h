#pragma once

#include "core/expected.h"
#include "evidence/logkey.h"
#include "service/common/clock.h"
#include "service/log/receiptlog.h"

#include <QObject>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

/// Writes the log by group commit on a thread of its own, with a database
/// connection of its own, so the event loop goes on taking requests while a
/// commit is written and flushed. The stamps that arrive meanwhile go
/// together into the next commit: one transaction, one flush and one signed
/// head per scope that grew. An idle writer commits at once, so a lone stamp
/// waits for nothing but its own commit.
///
/// Everything but the thread's own work happens on the thread that made the
/// writer: a stamp's answer is delivered there, once its commit is durable.
class LogWriter : public QObject {
    Q_OBJECT
public:
    /// A stamp's answer: its receipt and evidence, or why it failed (then
    /// nothing of it was kept). A stamp that was kept but whose evidence
    /// cannot be read has evidence failing alone.
    using StampDone = std::function<void(const Expected<StampOutcome> &outcome, const Expected<Evidence> &evidence)>;

    /// What one commit did, for the operator's metrics.
    struct Report {
        int stamps = 0; // asked for
        int created = 0; // new receipts
        int heads = 0; // signed
        int anchors = 0; // timestamps kept
        double seconds = 0; // the transaction, flush and evidence
        std::optional<Error> error; // nothing was kept
    };

    /// Opens a connection to the database in dataDir on a new thread.
    /// maxStamps bounds one commit; more wait for the next.
    static Expected<std::unique_ptr<LogWriter>> start(
        const QString &dataDir, const LogKey &key, Clock clock, int maxStamps);

    /// Finishes the commit under way (its answers are not delivered) and
    /// drops what waits for the next: none of it was acknowledged.
    ~LogWriter() override;

    void stamp(const PendingStamp &stamp, StampDone done);
    /// Keeps a timestamp in the next commit.
    void keepAnchor(const PendingAnchor &anchor);
    /// Told of each commit once its answers are delivered.
    void setObserver(std::function<void(const Report &report)> observer) { m_observer = std::move(observer); }

    /// Waits until everything asked so far is committed, and delivers the
    /// answers now (for callers without an event loop: tests, tools).
    void settle();

private:
    struct Waiting {
        PendingStamp stamp;
        StampDone done;
    };
    struct Finished {
        QList<StampDone> done;
        QList<Expected<StampOutcome>> outcomes;
        QList<Expected<Evidence>> evidence;
        Report report;
    };

    LogWriter(const LogKey &key, Clock clock, int maxStamps);
    void run(const QString &dataDir, std::function<void(Expected<void>)> started);
    Finished write(ReceiptLog &log, std::deque<Waiting> stamps, QList<PendingAnchor> anchors);
    void deliver();

    LogKey m_key;
    Clock m_clock;
    int m_maxStamps;
    std::function<void(const Report &)> m_observer;

    std::mutex m_mutex; // guards what follows
    std::condition_variable m_wake; // work arrived, or stop
    std::condition_variable m_idle; // a commit ended
    std::deque<Waiting> m_stamps;
    QList<PendingAnchor> m_anchors;
    std::deque<Finished> m_finished;
    bool m_busy = false;
    bool m_stopping = false;
    std::thread m_thread;
};
