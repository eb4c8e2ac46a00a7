#include "net/httpexchange.h"

#include "core/laterdeleted.h"
#include "core/text.h"

#include <QCoro/QCoroNetworkReply>
#include <QCoro/QCoroTimer>
#include <QIODevice>
#include <QNetworkReply>
#include <QPointer>
#include <QStringDecoder>
#include <QTimer>

#include <memory>

namespace {

// A POST body that can be read only once. Qt sends a request again when its
// connection closes before a reply (twice, or four times for a reply that is
// not HTTP); it cannot rewind this body, so it fails the request instead and
// the service never sees the call twice. Connections are still reused.
class OneShotBody : public QIODevice {
public:
    OneShotBody(QByteArray data, QObject *parent)
        : QIODevice(parent)
        , m_data(std::move(data))
    {
        open(QIODevice::ReadOnly);
    }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_data.size() - m_position + QIODevice::bytesAvailable(); }
    bool reset() override { return false; }

protected:
    qint64 readData(char *out, qint64 max) override
    {
        const qint64 n = std::min<qint64>(max, m_data.size() - m_position);
        std::copy_n(m_data.constData() + m_position, n, out);
        m_position += n;
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_data;
    qint64 m_position = 0;
};

// What the reply's handlers learn while the coroutine waits for the end.
struct Transfer {
    enum class Stop { none, answered, timedOut, tooLarge };

    HttpExchange::EventFilter takeEvent;
    std::optional<EventStreamReader> stream; // a 2xx event stream
    std::optional<ServerSentEvent> event;
    QByteArray body;
    Stop stop = Stop::none;

    // Takes the next bytes; true when they count as activity.
    bool take(const QByteArray &chunk)
    {
        if (body.size() + chunk.size() > HttpExchange::kMaxReplyBytes) {
            stop = Stop::tooLarge;
            return false;
        }
        body += chunk;
        if (!stream)
            return !chunk.isEmpty();
        for (const ServerSentEvent &e : stream->feed(chunk)) {
            if (takeEvent && takeEvent(e)) {
                event = e;
                stop = Stop::answered;
                return true;
            }
        }
        return stream->takeActivity();
    }

    void endStream()
    {
        if (!stream || !takeEvent || stop != Stop::none)
            return;
        for (const ServerSentEvent &e : stream->finish()) {
            if (takeEvent(e)) {
                event = e;
                return;
            }
        }
    }
};

QByteArray mimeTypeOf(const QNetworkReply *reply)
{
    return reply->header(QNetworkRequest::ContentTypeHeader).toByteArray().split(';').first().trimmed().toLower();
}

// A network-level failure (no connection, dropped, timed out), as opposed to
// an HTTP status that Qt also reports as an error: any reply that carries a
// status is an answer, whatever NetworkError Qt maps it to (400 and 418 land
// among the protocol errors, 407 among the proxy errors).
bool isTransportFailure(QNetworkReply::NetworkError error, int status)
{
    if (error == QNetworkReply::NoError)
        return false;
    // Qt tries to rewind a POST for a 307 or 308 it will not follow, and flags
    // the complete answer so; otherwise it gave up resending a reply cut off.
    if (error == QNetworkReply::ContentReSendError)
        return status != 307 && status != 308;
    const int code = static_cast<int>(error);
    const bool networkLayer = code >= 1 && code <= 99; // includes a body cut off after the headers
    return networkLayer || status == 0;
}

// Header values go on the wire as they are; a line break would end the
// header and start another.
std::optional<QByteArray> splittingHeader(const QNetworkRequest &request)
{
    for (const QByteArray &name : request.rawHeaderList()) {
        const QByteArray value = request.rawHeader(name);
        if (value.contains('\r') || value.contains('\n') || value.contains('\0'))
            return name;
    }
    return std::nullopt;
}

} // namespace

QByteArray HttpExchange::Response::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value.isNull() ? QByteArray("") : value;
    }
    return {};
}

HttpExchange::HttpExchange(QObject *parent)
    : QObject(parent)
{
    m_network.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
}

HttpExchange::~HttpExchange() = default;

QCoro::Task<Expected<HttpExchange::Response>> HttpExchange::send(
    QNetworkRequest request, QByteArray method, QByteArray body, EventFilter takeEvent)
{
    if (const auto name = splittingHeader(request))
        co_return Error {
            QStringLiteral("The %1 header holds a line break; the request was not sent").arg(QString::fromLatin1(*name))
        };
    // A credential never follows a redirect to a host the user did not configure.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);

    QNetworkReply *reply = nullptr;
    if (method == "POST") {
        request.setAttribute(QNetworkRequest::DoNotBufferUploadDataAttribute, true);
        request.setHeader(QNetworkRequest::ContentLengthHeader, body.size());
        auto *device = new OneShotBody(body, nullptr);
        reply = m_network.post(request, device);
        device->setParent(reply);
    } else {
        reply = m_network.get(request);
    }

    auto transfer = std::make_shared<Transfer>();
    transfer->takeEvent = std::move(takeEvent);
    // Our own inactivity timer rather than Qt's: keep-alive comments of an
    // event stream are traffic to Qt but no progress to us.
    auto *idle = new QTimer(reply);
    idle->setSingleShot(true);
    idle->setInterval(m_timeout);
    const auto stop = [transfer, reply](Transfer::Stop why) {
        transfer->stop = why;
        reply->abort(); // ends the wait at once; nothing here runs after it
    };
    QObject::connect(idle, &QTimer::timeout, reply, [stop] { stop(Transfer::Stop::timedOut); });
    QObject::connect(reply, &QNetworkReply::uploadProgress, idle, [idle] { idle->start(); });
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [transfer, reply, idle, stop] {
        idle->start();
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > kMaxReplyBytes)
            return stop(Transfer::Stop::tooLarge);
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        // Read as a stream even when no event is awaited: its keep-alive
        // comments must not hold the request open forever.
        if (!transfer->stream && status >= 200 && status <= 299 && mimeTypeOf(reply) == "text/event-stream")
            transfer->stream.emplace();
    });
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [transfer, reply, idle, stop] {
        if (transfer->stop != Transfer::Stop::none)
            return;
        const bool active = transfer->take(reply->readAll());
        if (transfer->stop != Transfer::Stop::none)
            return stop(transfer->stop);
        if (active)
            idle->start();
    });
    idle->start();

    QPointer<HttpExchange> self(this);
    QNetworkReply *finished = co_await reply;
    if (!self)
        co_return Error { QStringLiteral("Cancelled") }; // the reply went with the network access manager
    // Go on from a fresh turn of the event loop, not from inside the reply's
    // finished(): a caller that is done may drop this exchange, and its
    // manager would delete the reply under the signal still being emitted.
    auto turn = QCoro::sleepFor(std::chrono::milliseconds(0));
    co_await turn;
    if (!self)
        co_return Error { QStringLiteral("Cancelled") };
    LaterDeleted<QNetworkReply> owned(finished);
    idle->stop();
    if (transfer->stop == Transfer::Stop::none) {
        transfer->take(owned->readAll());
        transfer->endStream();
    }

    const QString host = request.url().host();
    switch (transfer->stop) {
    case Transfer::Stop::timedOut:
        co_return Error { QStringLiteral("The request timed out: no data from %1 for %2 seconds")
                              .arg(host)
                              .arg(static_cast<double>(m_timeout.count()) / 1000.0) };
    case Transfer::Stop::tooLarge:
        co_return Error { QStringLiteral("The reply from %1 is larger than 16 MiB; it was not read").arg(host) };
    case Transfer::Stop::answered:
    case Transfer::Stop::none:
        break;
    }

    const int status = owned->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (!transfer->event && isTransportFailure(owned->error(), status)) {
        if (owned->error() == QNetworkReply::ContentReSendError
            || owned->error() == QNetworkReply::RemoteHostClosedError) {
            co_return Error {
                QStringLiteral("The connection to %1 closed before a complete reply%2")
                    .arg(host, method == "POST" ? QStringLiteral("; the request was not sent again") : QString())
            };
        }
        co_return Error { owned->errorString() };
    }
    Response out;
    out.status = status;
    out.body = std::move(transfer->body);
    out.mimeType = mimeTypeOf(owned.get());
    out.headers = owned->rawHeaderPairs();
    out.event = std::move(transfer->event);
    co_return out;
}

bool HttpExchange::isHttpUrl(const QUrl &url)
{
    return url.isValid() && !url.isRelative() && !url.host().isEmpty()
        && (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"));
}

QString HttpExchange::bodyText(const QByteArray &body)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder(body);
    if (decoder.hasError())
        text.clear();
    return text;
}

QString HttpExchange::masked(QString text, const QList<Secret> &secrets)
{
    for (const Secret &secret : secrets) {
        if (!secret.text.isEmpty())
            text.replace(secret.text, secret.shownAs);
    }
    return text;
}

QString HttpExchange::quoted(const QString &text, const QList<Secret> &secrets)
{
    const QString shown = masked(text, secrets);
    if (!Text::hasMoreGraphemesThan(shown, kMaxQuotedCharacters))
        return shown;
    return Text::leftGraphemes(shown, kMaxQuotedCharacters - 1) + QStringLiteral("\u2026");
}
