#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QTemporaryDir>

/// A PostgreSQL server of the test's own, in a temporary folder: initdb,
/// then pg_ctl, listening on 127.0.0.1 alone at a free port, with a password
/// (scram-sha-256) for its one user. Run as "nobody" when the tests run as
/// root, since PostgreSQL refuses root. Stopped (immediately) on destruction.
class PostgresServer {
public:
    /// The folder of initdb and pg_ctl of the newest /usr/lib/postgresql/N;
    /// empty when PostgreSQL is not installed.
    static QString binDir();

    PostgresServer() = default;
    ~PostgresServer();
    PostgresServer(const PostgresServer &) = delete;
    PostgresServer &operator=(const PostgresServer &) = delete;

    /// Creates and starts the server; what went wrong, or an empty text.
    /// durable: fsync as in production (benchmarks); tests go without.
    QString start(bool durable = false);

    /// Stops the server (fast: connections are cut) and starts it again.
    QString restart();

    /// A new empty database on the server; its postgresql:// URL with the
    /// password, or an empty text on failure.
    QString createDatabase(const QString &name);

    /// A Qt connection of this name to the database, opened (or not: see isOpen).
    QSqlDatabase open(const QString &connection, const QString &database) const;

    quint16 port() const { return m_port; }

private:
    QString run(const QStringList &command, int timeoutMs = 60'000);
    QString home() const { return m_dir.filePath(QStringLiteral("pg")); }
    QString dataDir() const { return m_dir.filePath(QStringLiteral("pg/data")); }

    QTemporaryDir m_dir;
    QString m_password;
    quint16 m_port = 0;
    bool m_running = false;
};
