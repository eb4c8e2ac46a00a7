#pragma once

// Shared by the Register and Verify tests: a scripted stamping service whose
// tool replies the test sets, and the calls as they arrived on the wire.

#include "mcp/mcpclient.h"
#include "storage/receiptstore.h"

#include "scriptedhttpserver.h"
#include "testenv.h"
#include "toolcalls.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <functional>

class ServiceFixture {
public:
    using Answer = std::function<HttpResponse(const QString &tool, const QJsonObject &arguments)>;

    ServiceFixture()
    {
        m_server.setHandler(
            ScriptedHttpServer::mcp([this](const QString &tool, const QJsonObject &arguments, const HttpRequest &) {
                return m_answer ? m_answer(tool, arguments) : HttpResponse::text("no answer set", 500);
            }));
    }

    void answer(Answer answer) { m_answer = std::move(answer); }
    /// Every tool call answered with result as structuredContent.
    void answerWith(const QJsonObject &result)
    {
        m_answer = [result](const QString &, const QJsonObject &) { return ScriptedHttpServer::toolResult(result); };
    }

    ScriptedHttpServer &server() { return m_server; }
    QString url() const { return m_server.url().toString(); }

    QStringList methods() const { return rpcMethods(m_server.requests()); }
    QList<ToolCall> toolCalls() const { return ::toolCalls(m_server.requests()); }

    FileResult registerFile(const QString &path, const QString &sha256, const QString &scope)
    {
        MCPClient client(url());
        auto task = client.registerFile(path, sha256, scope);
        return QCoro::waitFor(task);
    }

    FileResult verify(const QString &path, const QString &sha256, const QString &scope)
    {
        MCPClient client(url());
        auto task = client.verify(path, sha256, scope);
        return QCoro::waitFor(task);
    }

private:
    ScriptedHttpServer m_server;
    Answer m_answer;
};

inline QJsonObject receiptJson(std::initializer_list<std::pair<const char *, QString>> members)
{
    QJsonObject o;
    for (const auto &[key, value] : members)
        o.insert(QLatin1String(key), value);
    return o;
}

inline QJsonObject receiptsResult(const QJsonArray &receipts)
{
    return QJsonObject { { QStringLiteral("receipts"), receipts } };
}

inline Receipt makeReceipt(std::optional<QString> id, std::optional<QString> hash, std::optional<QString> scope,
    std::optional<QString> created, std::optional<QString> merkle)
{
    Receipt r;
    r.receiptId = std::move(id);
    r.hash = std::move(hash);
    r.scope = std::move(scope);
    r.createdAt = std::move(created);
    r.merkle = std::move(merkle);
    return r;
}

/// The record file of sha256 parsed, or an empty object when there is none.
inline QJsonObject recordJson(const QString &sha256)
{
    return QJsonDocument::fromJson(readFile(ReceiptStore::receiptFileURL(sha256))).object();
}

inline FileResult row(const QString &path, const QString &sha256, const QString &receiptId, const QString &createdAt,
    const QString &scope, const QString &status, const QString &merkle, ResultKind kind)
{
    return FileResult { path, sha256, receiptId, createdAt, scope, status, merkle, kind };
}

// Readable rows in QCOMPARE failures (found by argument-dependent lookup).
inline char *toString(const FileResult &r)
{
    return qstrdup(qPrintable(QStringLiteral("{path=%1 sha256=%2 receiptId=%3 createdAt=%4 scope=%5 status=%6 "
                                             "merkle=%7 kind=%8}")
                                  .arg(r.path, r.sha256, r.receiptId, r.createdAt, r.scope, r.status, r.merkle,
                                      ResultKinds::toText(r.kind))));
}
