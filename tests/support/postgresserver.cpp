#include "postgresserver.h"

#include "testenv.h"

#include <QCollator>
#include <QDir>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>
#include <QUuid>

#include <pwd.h>
#include <unistd.h>

QString PostgresServer::binDir()
{
    const QString configured = qEnvironmentVariable("NIVET_PG_BINDIR");
    if (!configured.isEmpty())
        return QFile::exists(configured + QStringLiteral("/initdb")) ? configured : QString();
    QStringList versions = QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QCollator numeric;
    numeric.setNumericMode(true);
    std::sort(versions.begin(), versions.end(), numeric);
    for (auto version = versions.crbegin(); version != versions.crend(); ++version) {
        const QString bin = QStringLiteral("/usr/lib/postgresql/%1/bin").arg(*version);
        if (QFile::exists(bin + QStringLiteral("/initdb")) && QFile::exists(bin + QStringLiteral("/pg_ctl")))
            return bin;
    }
    return {};
}

PostgresServer::~PostgresServer()
{
    if (m_running)
        run({ binDir() + QStringLiteral("/pg_ctl"), QStringLiteral("stop"), QStringLiteral("-D"), dataDir(),
            QStringLiteral("-m"), QStringLiteral("immediate"), QStringLiteral("-w") });
}

QString PostgresServer::run(const QStringList &command, int timeoutMs)
{
    QStringList args = command;
    // PostgreSQL will not run as root: its files and processes become nobody's.
    if (::geteuid() == 0)
        args = QStringList { QStringLiteral("-u"), QStringLiteral("nobody"), QStringLiteral("--") } + args;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setWorkingDirectory(m_dir.path());
    process.start(::geteuid() == 0 ? QStringLiteral("runuser") : args.takeFirst(), args);
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return QStringLiteral("%1 failed: %2").arg(command.first(), QString::fromLocal8Bit(process.readAll()));
    return {};
}

QString PostgresServer::start(bool durable)
{
    const QString bin = binDir();
    if (bin.isEmpty())
        return QStringLiteral("PostgreSQL is not installed (initdb, pg_ctl)");
    if (!m_dir.isValid())
        return QStringLiteral("no temporary folder");
    const QString home = m_dir.filePath(QStringLiteral("pg"));
    QDir().mkpath(home);
    m_password = QUuid::createUuid().toString(QUuid::Id128);
    const QString passwordFile = home + QStringLiteral("/password");
    writeFile(passwordFile, m_password.toLatin1());
    if (::geteuid() == 0) {
        // nobody must reach its folder through ours, and own its own.
        const passwd *nobody = ::getpwnam("nobody");
        if (!nobody)
            return QStringLiteral("no user nobody to run PostgreSQL as");
        QFile::setPermissions(m_dir.path(), QFile::permissions(m_dir.path()) | QFile::ExeOther);
        for (const QString &path : { home, passwordFile }) {
            if (::chown(QFile::encodeName(path).constData(), nobody->pw_uid, nobody->pw_gid) != 0)
                return QStringLiteral("cannot give %1 to nobody").arg(path);
        }
    }
    if (QString failed = run({ bin + QStringLiteral("/initdb"), QStringLiteral("-D"), dataDir(), QStringLiteral("-U"),
            user(), QStringLiteral("--pwfile=") + passwordFile, QStringLiteral("-A"), QStringLiteral("scram-sha-256"),
            QStringLiteral("--no-sync"), QStringLiteral("-E"), QStringLiteral("UTF8") });
        !failed.isEmpty())
        return failed;
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0))
            return QStringLiteral("no free port");
        m_port = probe.serverPort();
    }
    const QString settings = QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1 -c fsync=%3")
                                 .arg(m_port)
                                 .arg(home, durable ? QStringLiteral("on") : QStringLiteral("off"));
    if (QString failed = run({ bin + QStringLiteral("/pg_ctl"), QStringLiteral("start"), QStringLiteral("-D"),
            dataDir(), QStringLiteral("-l"), home + QStringLiteral("/log"), QStringLiteral("-w"), QStringLiteral("-t"),
            QStringLiteral("60"), QStringLiteral("-o"), settings });
        !failed.isEmpty())
        return failed + QString::fromLocal8Bit(readFile(home + QStringLiteral("/log")));
    m_running = true;
    return {};
}

QString PostgresServer::restart()
{
    return run({ binDir() + QStringLiteral("/pg_ctl"), QStringLiteral("restart"), QStringLiteral("-D"), dataDir(),
        QStringLiteral("-m"), QStringLiteral("fast"), QStringLiteral("-w"), QStringLiteral("-l"),
        m_dir.filePath(QStringLiteral("pg/log")) });
}

QString PostgresServer::createDatabase(const QString &name)
{
    const QString connection = QStringLiteral("postgres-admin-") + name;
    bool created = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connection);
        db.setHostName(QStringLiteral("127.0.0.1"));
        db.setPort(m_port);
        db.setUserName(user());
        db.setPassword(m_password);
        db.setDatabaseName(QStringLiteral("postgres"));
        created = db.open() && QSqlQuery(db).exec(QStringLiteral("CREATE DATABASE \"%1\"").arg(name));
        if (!created)
            qWarning("cannot create database %s: %s", qPrintable(name), qPrintable(db.lastError().text()));
    }
    QSqlDatabase::removeDatabase(connection);
    if (!created)
        return {};
    return QStringLiteral("postgresql://%1:%2@127.0.0.1:%3/%4").arg(user(), m_password).arg(m_port).arg(name);
}
