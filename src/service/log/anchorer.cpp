#include "service/log/anchorer.h"

#include "evidence/rfc3161.h"
#include "service/log/logwriter.h"
#include "service/log/receiptlog.h"

#include <QNetworkRequest>

Anchorer::Anchorer(QList<QUrl> urls, qint64 intervalMs, ReceiptLog &log, LogWriter &writer)
    : m_urls(std::move(urls))
    , m_intervalMs(intervalMs)
    , m_log(log)
    , m_writer(writer)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &Anchorer::start);
}

void Anchorer::committed()
{
    m_due = true;
    schedule();
}

void Anchorer::schedule()
{
    if (!m_due || m_running || m_timer.isActive())
        return;
    const qint64 wait = m_sinceRound.isValid() ? std::max<qint64>(0, m_intervalMs - m_sinceRound.elapsed()) : 0;
    m_timer.start(static_cast<int>(std::min<qint64>(wait, INT_MAX)));
}

void Anchorer::start()
{
    m_due = false;
    m_running = true;
    m_sinceRound.start();
    round().then([this](bool asked) {
        m_running = false;
        // A round with nothing to date does not hold the next commit's head back.
        if (!asked)
            m_sinceRound.invalidate();
        schedule();
    });
}

QCoro::Task<bool> Anchorer::round()
{
    bool asked = false;
    for (const QUrl &url : std::as_const(m_urls)) {
        auto heads = m_log.headsToAnchor(url.toString());
        if (!heads) {
            if (m_observer)
                m_observer(url, heads.error());
            continue;
        }
        for (const TreeHead &head : std::as_const(*heads)) {
            asked = true;
            auto token = co_await this->token(url, head);
            if (token)
                m_writer.keepAnchor({ head.scope, head.treeSize, url.toString(), *token });
            if (m_observer)
                m_observer(url, token ? std::nullopt : std::optional<Error>(token.error()));
        }
    }
    co_return asked;
}

QCoro::Task<Expected<QByteArray>> Anchorer::token(QUrl url, TreeHead head)
{
    const auto request = Rfc3161::request(head.message());
    if (!request)
        co_return request.error();
    QNetworkRequest post(url);
    post.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/timestamp-query"));
    const auto response = co_await m_http.send(post, "POST", request->der);
    if (!response)
        co_return response.error();
    if (!response->isSuccess())
        co_return Error { QStringLiteral("the authority answered HTTP %1").arg(response->status) };
    if (response->mimeType != "application/timestamp-reply") {
        co_return Error { QStringLiteral("the authority answered %1, not application/timestamp-reply")
                              .arg(HttpExchange::quoted(QString::fromLatin1(response->mimeType), {})) };
    }
    co_return Rfc3161::tokenFromResponse(response->body, *request);
}
