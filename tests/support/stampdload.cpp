#include "stampdload.h"

#include "core/jsonwriter.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>

#include <QCoroNetworkReply>

namespace StampdLoad {

QUrl Instance::mcp() const
{
    QUrl url = base;
    url.setPath(QStringLiteral("/mcp"));
    return url;
}

Instance start(const QString &binary, const QStringList &args)
{
    Instance instance { std::make_unique<QProcess>(), {} };
    instance.process->start(binary, QStringList { QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0") } + args);
    QDeadlineTimer deadline(20'000);
    QProcess &process = *instance.process;
    while (!process.canReadLine() && process.state() != QProcess::NotRunning && !deadline.hasExpired())
        process.waitForReadyRead(100);
    const QByteArray line = process.readLine().trimmed();
    if (!line.startsWith("Listening on ")) {
        process.waitForFinished(5000);
        qWarning("nivet-stampd did not start: %s", process.readAllStandardError().constData());
        return instance;
    }
    instance.base = QUrl(QString::fromLatin1(line.mid(13)));
    return instance;
}

QCoro::Task<Reply> send(
    QNetworkAccessManager &nam, QUrl url, QByteArray session, QByteArray body, QByteArray method, QByteArray token)
{
    QNetworkRequest request(url);
    request.setRawHeader("Content-Type", "application/json");
    request.setRawHeader("Accept", "application/json");
    if (!session.isEmpty())
        request.setRawHeader("Mcp-Session-Id", session);
    if (!token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + token);
    request.setTransferTimeout(30'000);
    std::unique_ptr<QNetworkReply> reply(co_await nam.sendCustomRequest(request, method, body));
    Reply r;
    r.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    r.session = reply->rawHeader("Mcp-Session-Id");
    r.body = reply->readAll();
    const QJsonDocument document = QJsonDocument::fromJson(r.body);
    r.json = document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
    co_return r;
}

namespace {

QByteArray rpc(int id, const QString &method, const QJsonObject &params)
{
    return JsonWriter::compact(QJsonObject { { QStringLiteral("jsonrpc"), QStringLiteral("2.0") },
        { QStringLiteral("id"), id }, { QStringLiteral("method"), method }, { QStringLiteral("params"), params } });
}

} // namespace

QCoro::Task<> stampingClient(
    QNetworkAccessManager &nam, QList<QUrl> instances, QStringList scopes, QDeadlineTimer until, Tally *tally)
{
    auto *random = QRandomGenerator::global();
    const auto pick = [&] { return instances[random->bounded(instances.size())]; };
    const QByteArray hello = rpc(1, QStringLiteral("initialize"),
        QJsonObject { { QStringLiteral("protocolVersion"), QStringLiteral("2025-03-26") } });
    const Reply opened = co_await send(nam, pick(), {}, hello);
    if (opened.session.isEmpty())
        tally->failures.append(QStringLiteral("no session: ") + QString::fromUtf8(opened.body.left(200)));
    while (!opened.session.isEmpty() && !until.hasExpired()) {
        QByteArray digest(32, Qt::Uninitialized);
        random->fillRange(reinterpret_cast<quint32 *>(digest.data()), 8);
        const QString hash = QString::fromLatin1(digest.toHex());
        const QString scope = scopes[random->bounded(scopes.size())];
        // Built before the co_await: g++ 12 cannot keep an initializer list across one.
        const QJsonObject arguments { { QStringLiteral("sha256"), hash }, { QStringLiteral("scope"), scope } };
        const QByteArray body = rpc(2, QStringLiteral("tools/call"),
            QJsonObject {
                { QStringLiteral("name"), QStringLiteral("stamp") }, { QStringLiteral("arguments"), arguments } });
        const Reply stamped = co_await send(nam, pick(), opened.session, body);
        const QJsonObject receipt
            = stamped.json[QStringLiteral("result")][QStringLiteral("structuredContent")][QStringLiteral("receipts")][0]
                  .toObject();
        if (stamped.status != 200 || receipt.isEmpty()) {
            // A killed instance drops its connections: those stamps were never acknowledged.
            tally->failures.append(QString::number(stamped.status) + u' ' + QString::fromUtf8(stamped.body.left(200)));
            continue;
        }
        tally->acked.append({ receipt[QStringLiteral("receipt_id")].toString(), hash, scope,
            receipt[QStringLiteral("merkle")].toString(), receipt[QStringLiteral("evidence")].toObject() });
    }
    ++tally->finished;
}

} // namespace StampdLoad
