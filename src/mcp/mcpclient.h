#pragma once

#include "core/expected.h"
#include "core/resultmodel.h"
#include "core/stampingclient.h"
#include "mcp/mcpclienterror.h"
#include "net/httpexchange.h"
#include "storage/evidencefiles.h"

#include <QCoro/QCoroTask>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QObject>
#include <QUrl>

#include <chrono>
#include <memory>
#include <optional>

class TokenSource;
struct TreeHead;

/// The client of the stamping service: MCP over HTTP, one session per
/// operation. One client serves one batch run; it keeps no state between
/// operations except its endpoint and where its bearer token comes from.
class MCPClient : public QObject, public StampingClient {
    Q_OBJECT
public:
    /// Builds a client for urlString, or for defaultEndpoint() when the text
    /// is not an absolute http or https URL with a host. Every request carries
    /// the bearer token of tokens; without one, none.
    explicit MCPClient(
        const QString &urlString, std::shared_ptr<TokenSource> tokens = nullptr, QObject *parent = nullptr);
    ~MCPClient() override;

    static QString defaultEndpoint();

    /// True when urlString is an absolute http or https URL with a host,
    /// the endpoints a client is built for without falling back.
    static bool isUsableEndpoint(const QString &urlString);

    QUrl url() const { return m_url; }

    /// The inactivity timeout of every request (60 s); tests shorten it.
    void setTransferTimeout(std::chrono::milliseconds timeout) { m_http.setTransferTimeout(timeout); }

    /// Stamps sha256 in scope in a new session, saves every returned receipt
    /// to the local record of sha256 and returns the row for the receipt
    /// matching the first. Never fails: failures become error rows, a
    /// receipt that could not be saved too.
    QCoro::Task<FileResult> registerFile(QString path, QString sha256, QString scope) override;

    /// Verifies the first local receipt of sha256 by its identifier, or asks
    /// for a report on sha256 when there is none; a valid or found answer is
    /// saved to the local record. Never fails: failures become rows; a
    /// positive answer whose receipt could not be saved is an error row.
    QCoro::Task<FileResult> verify(QString path, QString sha256, QString scope) override;

    /// initialize + notifications/initialized; returns the session id. The
    /// id is opaque bytes, carried one byte per character (Latin-1) so that
    /// it goes back exactly as received.
    QCoro::Task<Expected<QString>> openSession();

    /// One tools/call in session; returns the tool's result object.
    QCoro::Task<Expected<QJsonObject>> callToolRaw(QString session, QString name, QJsonObject arguments);

    /// The log key the service offers now (tool log_key), checked against the
    /// key id it names; in a session of its own. Nothing is pinned.
    QCoro::Task<Expected<PinnedKey>> fetchLogKey();

    /// Asks the service (tool evidence) for the best evidence of receiptId
    /// now, checks it as a reply's evidence is checked and keeps it. True when
    /// it is anchored.
    QCoro::Task<Expected<bool>> updateEvidence(QString sha256, QString receiptId);

    /// Why the run must not go on: the log forked or was rewritten.
    std::optional<QString> halted() const override { return m_halt; }

    /// How a row that failed an evidence check begins.
    static const QString kEvidenceMismatch;

    /// Reads a tool-call reply body (the rules after the status check):
    /// JSON-RPC envelope, or an event stream carrying it, to the result object.
    static Expected<QJsonObject> readToolReply(const QByteArray &body, const QByteArray &contentType);

    /// True for the event of a stream that carries the response to the tool
    /// call: a "message" whose JSON-RPC id is 2, with a result or an error.
    static bool isToolResponse(const ServerSentEvent &event);

private:
    // Adds the bearer token of m_tokens.
    QCoro::Task<QNetworkRequest> applyAuth(QNetworkRequest request);

    // A request's reply, and the credentials it carried: what the server
    // says is shown with those hidden.
    struct Posted {
        Expected<HttpExchange::Response> reply;
        QList<HttpExchange::Secret> secrets;
    };

    QNetworkRequest baseRequest(const QString &session) const;
    QCoro::Task<Posted> post(QString session, QByteArray body, HttpExchange::EventFilter takeEvent = {});
    static Expected<HttpExchange::Response> answered(Expected<HttpExchange::Response> reply);

    // Evidence (logevidence.cpp). The pins are kept per service URL.
    QString serviceKey() const;
    QCoro::Task<Expected<PinnedKey>> offeredKey(QString session);
    // The pinned key, pinned now on first use; an error when the service
    // changed its key.
    QCoro::Task<Expected<PinnedKey>> trustedKey(QString session, QString headKeyId);
    // Checks head against the largest one seen of its log; a fork halts the client.
    QCoro::Task<Expected<void>> witness(QString session, TreeHead head);
    // Checks a receipt's evidence member (none: nothing to do) and keeps it.
    // Errors that begin with kEvidenceMismatch are evidence that does not check.
    QCoro::Task<Expected<void>> acceptEvidence(
        QString session, QString sha256, QString receiptId, QJsonValue evidenceJson);
    // row, failed by why.
    static FileResult evidenceFailed(FileResult row, const Error &why);

    QUrl m_url;
    std::shared_ptr<TokenSource> m_tokens;
    std::optional<QString> m_halt;
    HttpExchange m_http;
};
