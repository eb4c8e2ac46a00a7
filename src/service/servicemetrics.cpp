#include "service/servicemetrics.h"

#include <QByteArrayList>

namespace {

// Routes by name; any other path counts as one, so clients cannot grow the list.
QByteArray routeOf(const QByteArray &path)
{
    static const QByteArrayList routes { "/mcp", "/auth/login", "/auth/validate", "/healthz", "/metrics", "/log/key" };
    return routes.contains(path) ? path : QByteArray("other");
}

QByteArray number(double value)
{
    return QByteArray::number(value, 'g', 12);
}

QByteArray family(const char *name, const char *type, const char *help)
{
    return QByteArray("# HELP nivet_stampd_") + name + ' ' + help + "\n# TYPE nivet_stampd_" + name + ' ' + type + '\n';
}

QByteArray sample(const char *name, const QByteArray &labels, const QByteArray &value)
{
    return QByteArray("nivet_stampd_") + name + (labels.isEmpty() ? QByteArray() : '{' + labels + '}') + ' ' + value
        + '\n';
}

} // namespace

void ServiceMetrics::requestFinished(const QByteArray &path, int status)
{
    const QByteArray route = routeOf(path);
    ++m_requests[qMakePair(route, status)];
    if (route == "/auth/login")
        ++(status == 200 ? m_loginsAccepted : status == 401 ? m_loginsRefused : m_loginsRejected);
}

void ServiceMetrics::commitWritten(int stamps, int created, bool failed, double seconds)
{
    for (size_t i = 0; i < kBuckets.size(); ++i) {
        if (seconds <= kBuckets[i])
            ++m_commitBuckets[i];
    }
    ++m_commits;
    m_commitsFailed += failed ? 1 : 0;
    m_commitStamps += static_cast<quint64>(stamps);
    m_created += static_cast<quint64>(created);
    m_commitSeconds += seconds;
}

QByteArray ServiceMetrics::render(const Gauges &gauges) const
{
    QByteArray out = family("http_requests_total", "counter", "HTTP requests answered, by route and status.");
    for (auto it = m_requests.constBegin(); it != m_requests.constEnd(); ++it) {
        out += sample("http_requests_total",
            "route=\"" + it.key().first + "\",status=\"" + QByteArray::number(it.key().second) + '"',
            QByteArray::number(it.value()));
    }
    out += family("logins_total", "counter", "Logins: accepted, refused (wrong name or password), rejected.");
    out += sample("logins_total", "outcome=\"accepted\"", QByteArray::number(m_loginsAccepted));
    out += sample("logins_total", "outcome=\"refused\"", QByteArray::number(m_loginsRefused));
    out += sample("logins_total", "outcome=\"rejected\"", QByteArray::number(m_loginsRejected));
    out += family("stamps_total", "counter", "Receipts created.");
    out += sample("stamps_total", {}, QByteArray::number(m_created));
    out += family("commits_total", "counter", "Commits of the log (one transaction and flush each), by outcome.");
    out += sample("commits_total", "outcome=\"ok\"", QByteArray::number(m_commits - m_commitsFailed));
    out += sample("commits_total", "outcome=\"failed\"", QByteArray::number(m_commitsFailed));
    out += family("commit_stamps_total", "counter",
        "Stamps the commits took, new or not; divided by commits_total, the stamps per commit.");
    out += sample("commit_stamps_total", {}, QByteArray::number(m_commitStamps));
    out += family("commit_seconds", "histogram", "Time of a commit: its transaction, flush and evidence.");
    for (size_t i = 0; i < kBuckets.size(); ++i)
        out += sample(
            "commit_seconds_bucket", "le=\"" + number(kBuckets[i]) + '"', QByteArray::number(m_commitBuckets[i]));
    out += sample("commit_seconds_bucket", "le=\"+Inf\"", QByteArray::number(m_commits));
    out += sample("commit_seconds_sum", {}, number(m_commitSeconds));
    out += sample("commit_seconds_count", {}, QByteArray::number(m_commits));
    out += family("anchors_total", "counter", "Timestamps asked of the authorities for tree heads, by outcome.");
    out += sample("anchors_total", "outcome=\"ok\"", QByteArray::number(m_anchorsOk));
    out += sample("anchors_total", "outcome=\"failed\"", QByteArray::number(m_anchorsFailed));
    const std::pair<const char *, qint64> now[] = { { "sessions", gauges.sessions }, { "scopes", gauges.scopes },
        { "tree_leaves", gauges.leaves }, { "connections", gauges.connections },
        { "connections_waiting", gauges.waitingConnections }, { "logins_queued", gauges.queuedLogins } };
    const char *help[] = { "MCP sessions open.", "Scopes, each with its own Merkle tree.", "Leaves in all trees.",
        "Connections open.", "Connections accepted and waiting for a place under the cap.",
        "Logins waiting for or having their password checked." };
    for (size_t i = 0; i < std::size(now); ++i) {
        out += family(now[i].first, "gauge", help[i]);
        out += sample(now[i].first, {}, QByteArray::number(now[i].second));
    }
    return out;
}
