#pragma once

#include "service/http/httpmessage.h"
#include "service/mcp/jsonrpc.h"

class SessionTable;
class McpTools;

/// The MCP endpoint in its Streamable HTTP form (protocol version
/// "2025-03-26"): JSON-RPC messages posted one at a time or in batches,
/// sessions named by the Mcp-Session-Id header.
class McpEndpoint {
public:
    struct Options {
        bool eventStream = false; // answer requests with text/event-stream when the client accepts it
        bool bindSessionsToUsers = false; // a session opened by a user serves only that user
        qsizetype maxBatchMessages = 100;
        /// The replies to one POST together; past it the rest are answered with an error.
        qsizetype maxReplyBytes = 16 * 1024 * 1024;
    };

    static QString protocolVersion() { return QStringLiteral("2025-03-26"); }

    McpEndpoint(McpTools &tools, SessionTable &sessions, Options options)
        : m_tools(tools)
        , m_sessions(sessions)
        , m_options(options)
    {
    }

    /// A POST to the endpoint; user is the bearer's user name or empty. The
    /// reply comes later when a call in it waits (a stamp for its commit).
    ServiceReply post(const ServiceRequest &request, const QString &user, qint64 nowMs);
    /// A DELETE: ends the named session.
    ServiceResponse remove(const ServiceRequest &request, const QString &user, qint64 nowMs);

private:
    struct Message;
    struct SessionLookup;

    SessionLookup findSession(const ServiceRequest &request, const QString &user, qint64 nowMs);
    ServiceResponse initialize(
        const ServiceRequest &request, const Message &message, const QString &user, qint64 nowMs);
    struct Answer;
    Answer dispatch(const Message &message, const QString &user, qint64 nowMs);
    /// The responses, each kept within the reply limit, as the POST's response.
    ServiceResponse finish(
        const ServiceRequest &request, const QList<QPair<QJsonValue, QJsonObject>> &responses, bool batch) const;
    ServiceResponse reply(const ServiceRequest &request, const QJsonArray &responses, bool batch) const;

    McpTools &m_tools;
    SessionTable &m_sessions;
    Options m_options;
};
