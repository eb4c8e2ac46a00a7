#include "service/log/logwriter.h"

#include "service/db/servicedatabase.h"

#include <QElapsedTimer>

#include <future>

LogWriter::LogWriter(const LogKey &key, Clock clock, int maxStamps)
    : m_key(key)
    , m_clock(std::move(clock))
    , m_maxStamps(std::max(maxStamps, 1))
{
}

Expected<std::unique_ptr<LogWriter>> LogWriter::start(
    const QString &dataDir, const LogKey &key, Clock clock, int maxStamps)
{
    std::unique_ptr<LogWriter> writer(new LogWriter(key, std::move(clock), maxStamps));
    std::promise<Expected<void>> opened;
    auto result = opened.get_future();
    // A database connection belongs to the thread that opens it.
    writer->m_thread = std::thread([self = writer.get(), dataDir, &opened] {
        self->run(dataDir, [&opened](Expected<void> e) { opened.set_value(e); });
    });
    Expected<void> ready = result.get();
    if (!ready) {
        writer->m_thread.join();
        return ready.error();
    }
    return writer;
}

LogWriter::~LogWriter()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void LogWriter::stamp(const PendingStamp &stamp, StampDone done)
{
    {
        std::lock_guard lock(m_mutex);
        m_stamps.push_back({ stamp, std::move(done) });
    }
    m_wake.notify_one();
}

void LogWriter::keepAnchor(const PendingAnchor &anchor)
{
    {
        std::lock_guard lock(m_mutex);
        m_anchors.append(anchor);
    }
    m_wake.notify_one();
}

void LogWriter::settle()
{
    {
        std::unique_lock lock(m_mutex);
        m_idle.wait(lock, [this] { return m_stamps.empty() && m_anchors.isEmpty() && !m_busy; });
    }
    deliver();
}

void LogWriter::run(const QString &dataDir, std::function<void(Expected<void>)> started)
{
    auto database = ServiceDatabase::open(dataDir);
    if (!database) {
        started(database.error());
        return;
    }
    started({});
    ReceiptLog log(**database);
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || !m_stamps.empty() || !m_anchors.isEmpty(); });
        if (m_stopping)
            return;
        // Everything that waits, up to the bound, goes into this commit.
        const auto taken = std::min<std::size_t>(m_stamps.size(), static_cast<std::size_t>(m_maxStamps));
        std::deque<Waiting> stamps(std::make_move_iterator(m_stamps.begin()),
            std::make_move_iterator(m_stamps.begin() + static_cast<std::ptrdiff_t>(taken)));
        m_stamps.erase(m_stamps.begin(), m_stamps.begin() + static_cast<std::ptrdiff_t>(taken));
        QList<PendingAnchor> anchors = std::exchange(m_anchors, {});
        m_busy = true;
        lock.unlock();
        Finished finished = write(log, std::move(stamps), std::move(anchors));
        lock.lock();
        m_busy = false;
        const bool first = m_finished.empty();
        m_finished.push_back(std::move(finished));
        m_idle.notify_all();
        if (first)
            QMetaObject::invokeMethod(this, &LogWriter::deliver, Qt::QueuedConnection);
    }
}

LogWriter::Finished LogWriter::write(ReceiptLog &log, std::deque<Waiting> stamps, QList<PendingAnchor> anchors)
{
    QElapsedTimer took;
    took.start();
    Finished out;
    QList<PendingStamp> asked;
    for (Waiting &waiting : stamps) {
        asked.append(waiting.stamp);
        out.done.append(std::move(waiting.done));
    }
    out.report.stamps = static_cast<int>(asked.size());
    out.report.anchors = static_cast<int>(anchors.size());
    const auto commit = log.commit(asked, anchors, m_key, m_clock());
    if (!commit) {
        out.report.error = commit.error();
        for (qsizetype i = 0; i < asked.size(); ++i) {
            out.outcomes.append(commit.error());
            out.evidence.append(commit.error());
        }
        out.report.anchors = 0;
        out.report.seconds = static_cast<double>(took.nsecsElapsed()) / 1e9;
        return out;
    }
    out.report.heads = static_cast<int>(commit->heads.size());
    QList<StoredReceipt> receipts;
    for (const StampOutcome &stamped : commit->stamps) {
        out.outcomes.append(stamped);
        receipts.append(stamped.receipt);
        out.report.created += stamped.created ? 1 : 0;
    }
    // Read after the commit, outside its transaction: the answers wait for
    // this as well as for the flush, but the next commit need not.
    const auto evidence = log.evidence(receipts);
    for (qsizetype i = 0; i < receipts.size(); ++i)
        out.evidence.append(evidence ? Expected<Evidence>(evidence->at(i)) : Expected<Evidence>(evidence.error()));
    out.report.seconds = static_cast<double>(took.nsecsElapsed()) / 1e9;
    return out;
}

void LogWriter::deliver()
{
    std::deque<Finished> finished;
    {
        std::lock_guard lock(m_mutex);
        finished.swap(m_finished);
    }
    for (const Finished &commit : finished) {
        for (qsizetype i = 0; i < commit.done.size(); ++i)
            commit.done[i](commit.outcomes[i], commit.evidence[i]);
        if (m_observer)
            m_observer(commit.report);
    }
}
