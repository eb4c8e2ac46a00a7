#include "postgresserver.h"

#include <QFile>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTcpServer>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace PostgresServer {

// Set for the run under pg_virtualenv: a PGPORT of the developer's own must never be taken for ours.
constexpr char kMarker[] = "NIVET_PG_VIRTUALENV";

void runUnderVirtualenv(char **argv, bool durable)
{
    const QByteArray tool = QFile::encodeName(QStandardPaths::findExecutable(u"pg_virtualenv"_s));
    if (available() || tool.isEmpty())
        return;
    // pg_virtualenv takes the first port its own clusters leave free: two runs at once would meet.
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    QList<QByteArray> args { tool, "-t", "-c", "-p " + QByteArray::number(probe.serverPort()) };
    probe.close();
    if (!durable)
        args.append({ "-o", "fsync=off" });
    std::vector<char *> line;
    for (QByteArray &arg : args)
        line.push_back(arg.data());
    for (char **arg = argv; *arg; ++arg)
        line.push_back(*arg);
    line.push_back(nullptr);
    qputenv(kMarker, "1");
    ::execv(tool.constData(), line.data());
    qFatal("cannot run %s", tool.constData());
}

bool available()
{
    return qEnvironmentVariableIsSet(kMarker) && qEnvironmentVariableIsSet("PGPORT");
}

quint16 port()
{
    return quint16(qEnvironmentVariableIntValue("PGPORT"));
}

QString restart()
{
    QProcess pg;
    pg.setProcessChannelMode(QProcess::MergedChannels);
    pg.start(u"pg_ctlcluster"_s, { qEnvironmentVariable("PGVERSION"), u"regress"_s, u"restart"_s, u"-m"_s, u"fast"_s });
    if (!pg.waitForFinished(60'000) || pg.exitStatus() != QProcess::NormalExit || pg.exitCode() != 0)
        return u"pg_ctlcluster restart failed: "_s + QString::fromLocal8Bit(pg.readAll());
    return {};
}

QSqlDatabase open(const QString &connection, const QString &database)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(u"QPSQL"_s, connection);
    db.setHostName(u"127.0.0.1"_s);
    db.setPort(port());
    db.setUserName(qEnvironmentVariable("PGUSER"));
    db.setPassword(qEnvironmentVariable("PGPASSWORD"));
    db.setDatabaseName(database);
    if (!db.open())
        qWarning("cannot open database %s: %s", qPrintable(database), qPrintable(db.lastError().text()));
    return db;
}

QString createDatabase(const QString &name)
{
    const bool created
        = QSqlQuery(open(u"postgres-admin"_s, u"postgres"_s)).exec(u"CREATE DATABASE \"%1\""_s.arg(name));
    QSqlDatabase::removeDatabase(u"postgres-admin"_s);
    return created ? u"postgresql://%1:%2@127.0.0.1:%3/%4"_s
                         .arg(qEnvironmentVariable("PGUSER"), qEnvironmentVariable("PGPASSWORD"))
                         .arg(port())
                         .arg(name)
                   : QString();
}

} // namespace PostgresServer
