#include "stampdload.h"

#include "core/jsonwriter.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>

#include <QCoroNetworkReply>

using namespace Qt::StringLiterals;

namespace McpRequests {

QByteArray initialize()
{
    return R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-03-26",)"
           R"("capabilities":{},"clientInfo":{"name":"nivet-timestamping-mac","version":"0.2.0"}}})";
}

QByteArray call(int id, const QString &tool, const QJsonObject &arguments)
{
    return R"({"jsonrpc":"2.0","id":)" + QByteArray::number(id) + R"(,"method":"tools/call","params":)"
        + JsonWriter::compact(QJsonObject { { u"name"_s, tool }, { u"arguments"_s, arguments } }) + '}';
}

} // namespace McpRequests

namespace StampdLoad {

QByteArray Instance::crash()
{
    process->kill();
    process->waitForFinished(20'000);
    return process->readAllStandardError();
}

Instance start(const QString &binary, const QStringList &args, int port)
{
    Instance instance { std::make_unique<QProcess>(), {} };
    instance.process->start(binary, QStringList { u"--listen"_s, u"127.0.0.1:%1"_s.arg(port) } + args);
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

QCoro::Task<> stampingClient(
    QNetworkAccessManager &nam, QList<QUrl> instances, QStringList scopes, QDeadlineTimer until, Tally *tally)
{
    auto *random = QRandomGenerator::global();
    const auto pick = [&] { return instances[random->bounded(instances.size())]; };
    const Reply opened = co_await send(nam, pick(), {}, McpRequests::initialize());
    if (opened.session.isEmpty())
        tally->failures.append(u"no session: "_s + QString::fromUtf8(opened.body.left(200)));
    while (!opened.session.isEmpty() && !until.hasExpired()) {
        QByteArray digest(32, Qt::Uninitialized);
        random->fillRange(reinterpret_cast<quint32 *>(digest.data()), 8);
        const QString hash = QString::fromLatin1(digest.toHex());
        const QString scope = scopes[random->bounded(scopes.size())];
        // Built before the co_await: g++ 12 cannot keep an initializer list across one.
        const QByteArray body = McpRequests::call(2, u"stamp"_s, { { u"sha256"_s, hash }, { u"scope"_s, scope } });
        const Reply stamped = co_await send(nam, pick(), opened.session, body);
        const QJsonObject receipt = stamped.json[u"result"_s][u"structuredContent"_s][u"receipts"_s][0].toObject();
        if (stamped.status != 200 || receipt.isEmpty()) {
            // A killed instance drops its connections: those stamps were never acknowledged.
            tally->failures.append(QString::number(stamped.status) + u' ' + QString::fromUtf8(stamped.body.left(200)));
            continue;
        }
        tally->acked.append({ receipt[u"receipt_id"_s].toString(), hash, scope, receipt[u"merkle"_s].toString(),
            receipt[u"evidence"_s].toObject() });
    }
    ++tally->finished;
}

} // namespace StampdLoad
