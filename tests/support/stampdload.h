#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QProcess>
#include <QStringList>
#include <QUrl>

#include <QCoroTask>

#include <memory>

class QNetworkAccessManager;

/// The JSON-RPC requests of an MCP client.
namespace McpRequests {
QByteArray initialize();
QByteArray call(int id, const QString &tool, const QJsonObject &arguments);
} // namespace McpRequests

/// Real nivet-stampd processes and clients that keep them stamping, for
/// the tests and benchmarks of several instances on one database.
namespace StampdLoad {

/// A nivet-stampd serving on a free loopback port.
struct Instance {
    std::unique_ptr<QProcess> process;
    QUrl base; // http://127.0.0.1:PORT; empty when it did not start
    QUrl mcp() const { return base.resolved(QUrl(QStringLiteral("/mcp"))); }
    QByteArray crash(); // SIGKILL: no chance to tidy up; what it wrote on standard error
};
/// Starts binary with --listen 127.0.0.1:port and args; waits for its "Listening on" line.
Instance start(const QString &binary, const QStringList &args, int port = 0);

struct Reply {
    int status = 0;
    QByteArray session, body;
    QJsonValue json;
};
/// One HTTP exchange with a JSON body; session and token go in their headers when given.
QCoro::Task<Reply> send(QNetworkAccessManager &nam, QUrl url, QByteArray session, QByteArray body,
    QByteArray method = "POST", QByteArray token = {});

/// A receipt as the service acknowledged it, with its evidence as the stamp's reply gave it.
struct Acked {
    QString receiptId, hash, scope, merkle;
    QJsonObject evidence;
};

/// What clients did, shared by those of one run.
struct Tally {
    QList<Acked> acked;
    QStringList failures; // status and body of each stamp not acknowledged
    int finished = 0;
};

/// One client: a session opened on one instance, then stamps of fresh
/// digests in scopes picked at random, each sent to an instance picked at
/// random, until the deadline.
QCoro::Task<> stampingClient(
    QNetworkAccessManager &nam, QList<QUrl> instances, QStringList scopes, QDeadlineTimer until, Tally *tally);

} // namespace StampdLoad
