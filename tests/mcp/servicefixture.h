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
    ServiceFixture()
    {
        m_server.setHandler(ScriptedHttpServer::mcp(
            [this](const QString &, const QJsonObject &, const HttpRequest &) { return m_reply; }));
    }

    /// Every tool call gets reply.
    void answer(const HttpResponse &reply) { m_reply = reply; }
    /// Every tool call gets result as its structuredContent.
    void answerWith(const QJsonObject &result) { m_reply = ScriptedHttpServer::toolResult(result); }

    ScriptedHttpServer &server() { return m_server; }
    QList<ToolCall> toolCalls() const { return ::toolCalls(m_server.requests()); }

    /// The operation's row; its receipts are on disk when it comes.
    FileResult registerFile(const QString &path, const QString &sha256, const QString &scope)
    {
        MCPClient client(m_server.url().toString());
        auto task = client.registerFile(path, sha256, scope);
        return QCoro::waitFor(task);
    }

    FileResult verify(const QString &path, const QString &sha256, const QString &scope)
    {
        MCPClient client(m_server.url().toString());
        auto task = client.verify(path, sha256, scope);
        return QCoro::waitFor(task);
    }

private:
    ScriptedHttpServer m_server;
    HttpResponse m_reply = HttpResponse::text("no answer set", 500);
};

inline Receipt makeReceipt(std::optional<QString> id, std::optional<QString> hash, std::optional<QString> scope,
    std::optional<QString> created, std::optional<QString> merkle)
{
    return Receipt { std::move(id), std::move(hash), std::move(scope), std::move(created), std::move(merkle), {} };
}

/// The record file of sha256 parsed, or an empty object when there is none.
inline QJsonObject recordJson(const QString &sha256)
{
    return QJsonDocument::fromJson(readFile(ReceiptStore::receiptFileURL(sha256))).object();
}

// Readable rows in QCOMPARE failures (found by argument-dependent lookup).
inline char *toString(const FileResult &r)
{
    const QStringList fields { r.path, r.sha256, r.receiptId, r.createdAt, r.scope, r.status, r.merkle,
        ResultKinds::toText(r.kind) };
    return qstrdup(qPrintable(fields.join(QStringLiteral(" | "))));
}
