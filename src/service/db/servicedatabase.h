#pragma once

#include "core/expected.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariantList>

#include <memory>

/// The service's one database: receipts, one append-only Merkle tree per
/// scope, and users, in one SQLite file in the data folder, or in PostgreSQL
/// where several instances share them. The log and the accounts reach their
/// tables through it; everything that depends on the engine (pragmas, the
/// SQL dialect, locking, the online backup) stays in this class.
class ServiceDatabase {
public:
    enum class Engine { sqlite, postgresql };

    /// The database file name inside the data folder.
    static QString fileName();

    /// Opens the database and creates or upgrades its tables: the SQLite file
    /// in dataDir when url is empty, else the PostgreSQL database of a
    /// postgresql:// URL. A data folder that does not exist is created with
    /// mode 0700, the SQLite file with 0600.
    static Expected<std::unique_ptr<ServiceDatabase>> open(const QString &dataDir, const QString &url = {});

    /// url without its password, for messages and logs.
    static QString displayUrl(const QString &url);

    Engine engine() const { return m_engine; }

    ~ServiceDatabase();
    ServiceDatabase(const ServiceDatabase &) = delete;
    ServiceDatabase &operator=(const ServiceDatabase &) = delete;

    /// Whether a change can be committed now: a small write is made and
    /// flushed (the database is ready for stamps when it succeeds).
    Expected<void> checkWritable(qint64 nowMs);

    /// Copies the database, consistently while it is in use, into a new
    /// file at path (mode 0600), which then replaces path in one rename.
    Expected<void> backupTo(const QString &path) const;

    /// The value stored under key, which becomes proposed when there is none
    /// yet: how instances sharing a database agree on a setting.
    Expected<QString> sharedValue(const QString &key, const QString &proposed);

    /// One prepared statement with values bound in order; what names the
    /// work for the error text ("Database error while <what>: ...").
    Expected<QSqlQuery> query(const QString &what, const QString &sql, const QVariantList &values = {}) const;

    /// Rolls back unless committed, so an early return never leaves a write
    /// transaction open.
    class Transaction {
    public:
        explicit Transaction(const ServiceDatabase &database)
            : m_database(database)
        {
        }
        ~Transaction();
        Transaction(const Transaction &) = delete;
        Transaction &operator=(const Transaction &) = delete;
        /// Takes the write lock at once: two processes on one data folder
        /// append to a tree one after the other, never interleaved.
        Expected<void> begin();
        Expected<void> commit();
        /// Makes the writers of one scope's tree take turns until this
        /// transaction ends. SQLite's write lock (begin) already does; on
        /// PostgreSQL it is an advisory lock, so instances sharing the
        /// database append one after the other and each reads the tree as
        /// the previous one left it.
        Expected<void> lockScope(const QString &scope);

    private:
        const ServiceDatabase &m_database;
        bool m_open = false;
    };

private:
    ServiceDatabase(QString connection, Engine engine)
        : m_connection(std::move(connection))
        , m_engine(engine)
    {
    }
    QSqlDatabase connection() const;
    QString dialect(const QString &sql) const;
    Expected<void> connected() const;
    void reconnectIfLost() const;
    Expected<void> exec(const QString &what, const QString &sql) const;
    Expected<void> createSchema();
    Expected<void> createTables();

    QString m_connection;
    Engine m_engine;
    // A PostgreSQL server that restarts drops the connection, and Qt does
    // not reopen it: after a failure outside a transaction it is checked.
    mutable bool m_suspect = false;
    mutable bool m_inTransaction = false;
};
