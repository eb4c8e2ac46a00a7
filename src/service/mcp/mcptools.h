#pragma once

#include "evidence/logpublickey.h"
#include "service/mcp/jsonrpc.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

class LogWriter;
class ReceiptLog;
struct StoredReceipt;

/// The service's MCP tools: stamp, verify, hash_report and proof; for the
/// signed log log_key, tree_head, consistency and evidence.
///
/// A call answers with an MCP tool result: the tool's object as
/// structuredContent and, for clients that read text, as a JSON text content
/// item. A request the tool cannot carry out (a malformed digest, an unknown
/// receipt for a proof) is a result flagged isError with a text item saying
/// why. Arguments of the wrong shape are JSON-RPC invalid params; an unknown
/// tool name is method-not-found. A stamp is answered once the writer's
/// commit that holds it is durable.
class McpTools {
public:
    /// log reads, writer stamps, key is the log's public key; maxReportReceipts:
    /// the most receipts one hash_report answers with (the newest).
    McpTools(ReceiptLog &log, LogWriter &writer, LogPublicKey key, qsizetype maxReportReceipts)
        : m_log(log)
        , m_writer(writer)
        , m_key(std::move(key))
        , m_maxReportReceipts(maxReportReceipts)
    {
    }

    /// The scope a stamp with an empty scope goes to.
    static QString defaultScope();

    /// The entries of a tools/list result: name, description, inputSchema.
    static QJsonArray definitions();

    /// Runs tool name with arguments for user (empty when anonymous).
    RpcReply call(const QString &name, const QJsonObject &arguments, const QString &user, qint64 nowMs);

private:
    RpcReply stamp(const QJsonObject &arguments, const QString &user, qint64 nowMs);
    RpcOutcome verify(const QJsonObject &arguments);
    RpcOutcome hashReport(const QJsonObject &arguments);
    RpcOutcome proof(const QJsonObject &arguments);
    RpcOutcome logKey() const;
    RpcOutcome treeHead(const QJsonObject &arguments);
    RpcOutcome consistency(const QJsonObject &arguments);
    RpcOutcome evidence(const QJsonObject &arguments);
    /// The receipts with their evidence members, best known now.
    Expected<QJsonArray> withEvidence(const QList<StoredReceipt> &receipts);

    ReceiptLog &m_log;
    LogWriter &m_writer;
    LogPublicKey m_key;
    qsizetype m_maxReportReceipts;
};
