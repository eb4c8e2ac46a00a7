#pragma once

#include "service/http/httpmessage.h"
#include "stampdload.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QStringList>

class QTcpSocket;

/// The Merkle root of a tree of these hex digests, in hex (tst_evidence pins
/// the tree hashing against published vectors).
QString rootOfDigests(const QStringList &digests);

namespace McpRequests {
ServiceRequest post(const QByteArray &body, const QByteArray &session = {}, const QByteArray &token = {});
} // namespace McpRequests

/// Raw HTTP on a loopback socket: sends bytes and returns what comes back,
/// one whole response (or a "100 Continue"; for HEAD the head alone), or all
/// the server sent before it closed; waits at most 20 s.
QByteArray exchange(QTcpSocket &socket, const QByteArray &bytes);
/// Whether the server closes the connection (within 20 s) without sending more.
bool closedByServer(QTcpSocket &socket);
/// A POST with a JSON body, Host and Content-Length.
QByteArray postRequest(const QByteArray &path, const QByteArray &body);

class UserDirectory;
class ServiceHandler;
struct StoredReceipt;
/// Stamps hash in scope through the service's writer and waits for the commit.
StoredReceipt stampNow(ServiceHandler &service, const QString &hash, const QString &scope);
/// Adds or replaces a user with a cheap password hash: tests only need it to match.
bool addTestUser(UserDirectory &users, const QString &name, const QString &role, const QString &password);

QJsonObject jsonBody(const ServiceResponse &response);
/// The bytes of a JSON array of hex strings (an audit path, a proof).
QList<QByteArray> hexList(const QJsonValue &array);

/// A program run to its end (30 s at most): exit code (-1 when it did not end
/// normally), standard output and standard error.
struct ProgramRun {
    int status = -1;
    QString out, err;
};
ProgramRun runProgram(const QString &binary, const QStringList &args, const QByteArray &input = {});

/// A connection of the test's own to the SQLite database of the service in
/// dir, as another program's.
class OutsideConnection {
public:
    explicit OutsideConnection(const QString &dir);
    ~OutsideConnection();
    bool exec(const QString &sql) { return count(sql) >= 0; }
    qint64 count(const QString &sql); // the first column of the first row (0 without rows), or -1 on failure
};
