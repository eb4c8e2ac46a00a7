#include "servicetestkit.h"

#include "evidence/merkleproof.h"
#include "service/accounts/passwordhash.h"
#include "service/accounts/userdirectory.h"
#include "service/db/servicedatabase.h"
#include "service/log/logwriter.h"
#include "service/servicehandler.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTest>

QString rootOfDigests(const QStringList &digests)
{
    QList<QByteArray> leaves;
    for (const QString &digest : digests)
        leaves.append(MerkleProof::leafHash(QByteArray::fromHex(digest.toLatin1())));
    return QString::fromLatin1(MerkleProof::rootOf(leaves).toHex());
}

namespace McpRequests {

ServiceRequest post(const QByteArray &body, const QByteArray &session, const QByteArray &token)
{
    ServiceRequest request;
    request.method = "POST";
    request.path = "/mcp";
    request.headers = { { "Content-Type", "application/json" }, { "Accept", "application/json, text/event-stream" } };
    if (!session.isEmpty())
        request.headers.append({ "Mcp-Session-Id", session });
    if (!token.isEmpty())
        request.headers.append({ "Authorization", "Bearer " + token });
    request.body = body;
    request.clientAddress = QStringLiteral("127.0.0.1");
    return request;
}

} // namespace McpRequests

QJsonObject jsonBody(const ServiceResponse &response)
{
    return QJsonDocument::fromJson(response.body).object();
}

QList<QByteArray> hexList(const QJsonValue &array)
{
    QList<QByteArray> bytes;
    for (const QJsonValue &hex : array.toArray())
        bytes.append(QByteArray::fromHex(hex.toString().toLatin1()));
    return bytes;
}

ProgramRun runProgram(const QString &binary, const QStringList &args, const QByteArray &input)
{
    QProcess process;
    process.start(binary, args);
    process.write(input);
    process.closeWriteChannel();
    ProgramRun run;
    if (!process.waitForFinished(30'000))
        return run;
    run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

OutsideConnection::OutsideConnection(const QString &dir)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("outsider"));
    db.setDatabaseName(dir + u'/' + ServiceDatabase::fileName());
    db.open();
}

OutsideConnection::~OutsideConnection()
{
    QSqlDatabase::removeDatabase(QStringLiteral("outsider"));
}

qint64 OutsideConnection::count(const QString &sql)
{
    QSqlQuery query(QSqlDatabase::database(QStringLiteral("outsider")));
    return !query.exec(sql) ? -1 : query.next() ? query.value(0).toLongLong() : 0;
}

bool addTestUser(UserDirectory &users, const QString &name, const QString &role, const QString &password)
{
    return users.putUser(UserRecord { name, role, PasswordHash::create(password, 1000) }, 0).ok();
}

QByteArray exchange(QTcpSocket &socket, const QByteArray &bytes)
{
    socket.write(bytes);
    const bool head = bytes.startsWith("HEAD "); // its answer has no body, whatever its length
    QByteArray received;
    [[maybe_unused]] const bool done = QTest::qWaitFor(
        [&] {
            received += socket.readAll();
            const qsizetype end = received.indexOf("\r\n\r\n");
            const qsizetype length = received.toLower().indexOf("\r\ncontent-length: ");
            const qsizetype body = length < 0 || head ? 0 : received.mid(length + 18, end - length - 18).toLongLong();
            return socket.state() == QAbstractSocket::UnconnectedState
                || (end >= 0 && (received.startsWith("HTTP/1.1 100 ") || received.size() >= end + 4 + body));
        },
        20'000);
    return received;
}

bool closedByServer(QTcpSocket &socket)
{
    return QTest::qWaitFor(
        [&] { return socket.readAll().isEmpty() && socket.state() == QAbstractSocket::UnconnectedState; }, 20'000);
}

QByteArray postRequest(const QByteArray &path, const QByteArray &body)
{
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

StoredReceipt stampNow(ServiceHandler &service, const QString &hash, const QString &scope)
{
    StoredReceipt receipt;
    service.writer().stamp({ hash, scope, {}, 0 }, [&receipt](const Expected<StampOutcome> &outcome, const auto &) {
        if (outcome)
            receipt = outcome->receipt;
    });
    service.writer().settle();
    return receipt;
}
