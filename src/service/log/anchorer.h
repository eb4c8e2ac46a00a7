#pragma once

#include "core/expected.h"
#include "evidence/treehead.h"
#include "net/httpexchange.h"

#include <QCoro/QCoroTask>
#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include <functional>

class LogWriter;
class ReceiptLog;

/// Gives the log an independent clock: after a commit, at most once per
/// interval, asks each configured RFC 3161 authority for a token over the
/// signed message of each tree head it has not dated yet (the latest of each
/// scope), and hands the tokens to the writer to keep. Each request goes to
/// the configured URL alone: no redirect is followed, the reply is bounded
/// and times out.
class Anchorer : public QObject {
    Q_OBJECT
public:
    /// One authority's answer for one head: ok, or what failed.
    using Observer = std::function<void(const QUrl &url, const std::optional<Error> &problem)>;

    Anchorer(QList<QUrl> urls, qint64 intervalMs, ReceiptLog &log, LogWriter &writer);

    /// A commit added leaves: the authorities are asked once the interval
    /// since the last round has passed (at once the first time).
    void committed();
    void setObserver(Observer observer) { m_observer = std::move(observer); }

private:
    void schedule();
    void start();
    /// Asks the authorities; whether there was anything to ask for.
    QCoro::Task<bool> round();
    QCoro::Task<Expected<QByteArray>> token(QUrl url, TreeHead head);

    QList<QUrl> m_urls;
    qint64 m_intervalMs;
    ReceiptLog &m_log;
    LogWriter &m_writer;
    HttpExchange m_http;
    QTimer m_timer;
    QElapsedTimer m_sinceRound; // invalid before the first round
    bool m_due = false; // a commit came since the last round began
    bool m_running = false;
    Observer m_observer;
};
