#pragma once

#include "core/expected.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariantList>

#include <memory>

/// The service's one database: receipts, one append-only Merkle tree per
/// scope, and users, in one SQLite file in the data folder. The log and the
/// accounts reach their tables through it; everything that depends on the
/// engine (pragmas, locking, the online backup) stays in this class.
class ServiceDatabase {
public:
    /// The database file name inside the data folder.
    static QString fileName();

    /// Opens (creating when needed) the database in dataDir, and creates or
    /// upgrades its tables. A folder that does not exist is created with mode
    /// 0700, the database file with 0600.
    static Expected<std::unique_ptr<ServiceDatabase>> open(const QString &dataDir);

    ~ServiceDatabase();
    ServiceDatabase(const ServiceDatabase &) = delete;
    ServiceDatabase &operator=(const ServiceDatabase &) = delete;

    /// Whether a change can be committed now: a small write is made and
    /// flushed (the database is ready for stamps when it succeeds).
    Expected<void> checkWritable(qint64 nowMs);

    /// Copies the database, consistently while it is in use, into a new
    /// file at path (mode 0600), which then replaces path in one rename.
    Expected<void> backupTo(const QString &path) const;

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

    private:
        const ServiceDatabase &m_database;
        bool m_open = false;
    };

private:
    explicit ServiceDatabase(QString connection)
        : m_connection(std::move(connection))
    {
    }
    QSqlDatabase connection() const;
    Expected<void> exec(const QString &what, const QString &sql) const;
    Expected<void> createSchema();

    QString m_connection;
};
