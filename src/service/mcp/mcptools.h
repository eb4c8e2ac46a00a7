#pragma once

#include "service/mcp/jsonrpc.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

class ReceiptLog;

/// The service's MCP tools: stamp, verify, hash_report and proof.
///
/// A call answers with an MCP tool result: the tool's object as
/// structuredContent and, for clients that read text, as a JSON text content
/// item. A request the tool cannot carry out (a malformed digest, an unknown
/// receipt for a proof) is a result flagged isError with a text item saying
/// why. Arguments of the wrong shape are JSON-RPC invalid params; an unknown
/// tool name is method-not-found.
class McpTools {
public:
    /// maxReportReceipts: the most receipts one hash_report answers with (the newest).
    McpTools(ReceiptLog &log, qsizetype maxReportReceipts)
        : m_log(log)
        , m_maxReportReceipts(maxReportReceipts)
    {
    }

    /// The scope a stamp with an empty scope goes to.
    static QString defaultScope();

    /// The entries of a tools/list result: name, description, inputSchema.
    static QJsonArray definitions();

    /// Runs tool name with arguments for user (empty when anonymous).
    RpcOutcome call(const QString &name, const QJsonObject &arguments, const QString &user, qint64 nowMs);

private:
    RpcOutcome stamp(const QJsonObject &arguments, const QString &user, qint64 nowMs);
    RpcOutcome verify(const QJsonObject &arguments);
    RpcOutcome hashReport(const QJsonObject &arguments);
    RpcOutcome proof(const QJsonObject &arguments);

    ReceiptLog &m_log;
    qsizetype m_maxReportReceipts;
};
