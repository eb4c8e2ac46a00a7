#pragma once

#include <QByteArray>
#include <QMap>
#include <QPair>

#include <array>
#include <functional>

/// What an operator watches, in the Prometheus text format: requests by
/// route and status, logins, stamps and the time their commits take, and the
/// gauges of the moment (sessions, trees, connections) read when asked.
class ServiceMetrics {
public:
    struct Gauges {
        qint64 sessions = 0;
        qint64 scopes = 0;
        qint64 leaves = 0; // in all trees
        qint64 connections = 0;
        qint64 waitingConnections = 0;
        qint64 queuedLogins = 0;
    };

    /// Counts a request the HTTP server answered (status 0: none was sent).
    void requestFinished(const QByteArray &path, int status);
    /// Counts a commit of the log: the stamps it took, the receipts it
    /// created, whether it failed, and how long it took.
    void commitWritten(int stamps, int created, bool failed, double seconds);
    /// Counts an authority's answer for one tree head: a token, or a failure.
    void anchorDone(bool ok) { ++(ok ? m_anchorsOk : m_anchorsFailed); }

    /// The exposition, with gauges as given.
    QByteArray render(const Gauges &gauges) const;

private:
    static constexpr std::array<double, 12> kBuckets { 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5,
        1.0, 2.5 };

    QMap<QPair<QByteArray, int>, quint64> m_requests; // by route and status
    quint64 m_loginsAccepted = 0;
    quint64 m_loginsRefused = 0; // wrong name or password
    quint64 m_loginsRejected = 0; // malformed, too many waiting
    std::array<quint64, kBuckets.size()> m_commitBuckets {};
    quint64 m_commits = 0;
    quint64 m_commitsFailed = 0;
    quint64 m_commitStamps = 0; // asked for, in all commits
    quint64 m_created = 0;
    double m_commitSeconds = 0;
    quint64 m_anchorsOk = 0;
    quint64 m_anchorsFailed = 0;
};
