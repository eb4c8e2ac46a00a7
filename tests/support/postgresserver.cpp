#include "postgresserver.h"

#include "testenv.h"

#include <QDir>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>
#include <QUuid>

#include <pwd.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

QString PostgresServer::binDir()
{
    QStringList versions = QDir(u"/usr/lib/postgresql"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::sort(
        versions.begin(), versions.end(), [](const QString &a, const QString &b) { return a.toInt() > b.toInt(); });
    for (const QString &version : versions) {
        const QString bin = u"/usr/lib/postgresql/%1/bin"_s.arg(version);
        if (QFile::exists(bin + u"/initdb"_s) && QFile::exists(bin + u"/pg_ctl"_s))
            return bin;
    }
    return {};
}

PostgresServer::~PostgresServer()
{
    if (m_running)
        run({ binDir() + u"/pg_ctl"_s, u"stop"_s, u"-D"_s, dataDir(), u"-m"_s, u"immediate"_s, u"-w"_s });
}

QString PostgresServer::run(const QStringList &command, int timeoutMs)
{
    QStringList args = command;
    // PostgreSQL will not run as root: its files and processes become nobody's.
    if (::geteuid() == 0)
        args = QStringList { u"-u"_s, u"nobody"_s, u"--"_s } + args;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setWorkingDirectory(m_dir.path());
    process.start(::geteuid() == 0 ? u"runuser"_s : args.takeFirst(), args);
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return u"%1 failed: %2"_s.arg(command.first(), QString::fromLocal8Bit(process.readAll()));
    return {};
}

QString PostgresServer::start(bool durable)
{
    const QString bin = binDir();
    if (bin.isEmpty() || !m_dir.isValid())
        return u"PostgreSQL is not installed (initdb, pg_ctl), or no temporary folder"_s;
    QDir().mkpath(home());
    m_password = QUuid::createUuid().toString(QUuid::Id128);
    const QString passwordFile = home() + u"/password"_s;
    writeFile(passwordFile, m_password.toLatin1());
    if (::geteuid() == 0) {
        // nobody must reach its folder through ours, and own its own.
        const passwd *nobody = ::getpwnam("nobody");
        QFile::setPermissions(m_dir.path(), QFile::permissions(m_dir.path()) | QFile::ExeOther);
        for (const QString &path : { home(), passwordFile }) {
            if (!nobody || ::chown(QFile::encodeName(path).constData(), nobody->pw_uid, nobody->pw_gid) != 0)
                return u"cannot give %1 to the user nobody"_s.arg(path);
        }
    }
    if (QString failed = run({ bin + u"/initdb"_s, u"-D"_s, dataDir(), u"-U"_s, u"nivet"_s,
            u"--pwfile="_s + passwordFile, u"-A"_s, u"scram-sha-256"_s, u"--no-sync"_s, u"-E"_s, u"UTF8"_s });
        !failed.isEmpty())
        return failed;
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0))
            return u"no free port"_s;
        m_port = probe.serverPort();
    }
    const QString settings = u"-p %1 -k %2 -c listen_addresses=127.0.0.1 -c fsync=%3"_s.arg(m_port).arg(
        home(), durable ? u"on"_s : u"off"_s);
    if (QString failed = run({ bin + u"/pg_ctl"_s, u"start"_s, u"-D"_s, dataDir(), u"-l"_s, home() + u"/log"_s, u"-w"_s,
            u"-t"_s, u"60"_s, u"-o"_s, settings });
        !failed.isEmpty())
        return failed + QString::fromLocal8Bit(readFile(home() + u"/log"_s));
    m_running = true;
    return {};
}

QString PostgresServer::restart()
{
    return run({ binDir() + u"/pg_ctl"_s, u"restart"_s, u"-D"_s, dataDir(), u"-m"_s, u"fast"_s, u"-w"_s, u"-l"_s,
        home() + u"/log"_s });
}

QSqlDatabase PostgresServer::open(const QString &connection, const QString &database) const
{
    QSqlDatabase db = QSqlDatabase::addDatabase(u"QPSQL"_s, connection);
    db.setHostName(u"127.0.0.1"_s);
    db.setPort(m_port);
    db.setUserName(u"nivet"_s);
    db.setPassword(m_password);
    db.setDatabaseName(database);
    if (!db.open())
        qWarning("cannot open database %s: %s", qPrintable(database), qPrintable(db.lastError().text()));
    return db;
}

QString PostgresServer::createDatabase(const QString &name)
{
    bool created = false;
    {
        QSqlDatabase db = open(u"postgres-admin"_s, u"postgres"_s);
        created = db.isOpen() && QSqlQuery(db).exec(u"CREATE DATABASE \"%1\""_s.arg(name));
    }
    QSqlDatabase::removeDatabase(u"postgres-admin"_s);
    return created ? u"postgresql://nivet:%1@127.0.0.1:%2/%3"_s.arg(m_password).arg(m_port).arg(name) : QString();
}
