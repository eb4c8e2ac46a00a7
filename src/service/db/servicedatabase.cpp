#include "service/db/servicedatabase.h"

#include "service/common/clock.h"
#include "service/common/securerandom.h"

#include <QAtomicInteger>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QVariant>

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kSchemaVersion = 3;

Error sqlError(const QString &what, const QSqlError &error)
{
    return Error { QStringLiteral("Database error while %1: %2").arg(what, error.text()) };
}

Expected<void> prepareFolder(const QString &dataDir)
{
    QDir dir(dataDir);
    if (!dir.exists()) {
        if (!QDir().mkpath(dataDir))
            return Error { QStringLiteral("Cannot create the data folder %1").arg(dataDir) };
        ::chmod(QFile::encodeName(dataDir).constData(), 0700);
    }
    // The database holds password hashes: created private, SQLite gives its
    // journal files the same mode.
    const QByteArray path = QFile::encodeName(dir.filePath(ServiceDatabase::fileName()));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return Error { QStringLiteral("Cannot open %1: %2")
                           .arg(QFile::decodeName(path), QString::fromLocal8Bit(std::strerror(errno))) };
    }
    ::close(fd);
    return {};
}

} // namespace

QString ServiceDatabase::fileName()
{
    return QStringLiteral("nivet-stampd.sqlite");
}

Expected<std::unique_ptr<ServiceDatabase>> ServiceDatabase::open(const QString &dataDir)
{
    if (auto ready = prepareFolder(dataDir); !ready)
        return ready.error();

    static QAtomicInteger<int> counter;
    const QString connection = QStringLiteral("nivet-stampd-%1").arg(counter.fetchAndAddRelaxed(1));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(QDir(dataDir).filePath(fileName()));
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
        if (!db.open()) {
            const Error error {
                QStringLiteral("Cannot open the database in %1: %2").arg(dataDir, db.lastError().text())
            };
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(connection);
            return error;
        }
    }
    std::unique_ptr<ServiceDatabase> database(new ServiceDatabase(connection));
    if (auto schema = database->createSchema(); !schema)
        return Error {
            QStringLiteral("Cannot use %1: %2").arg(QDir(dataDir).filePath(fileName()), schema.error().description)
        };
    return database;
}

ServiceDatabase::~ServiceDatabase()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

QSqlDatabase ServiceDatabase::connection() const
{
    return QSqlDatabase::database(m_connection, false);
}

Expected<QSqlQuery> ServiceDatabase::query(const QString &what, const QString &sql, const QVariantList &values) const
{
    QSqlQuery query(connection());
    query.setForwardOnly(true);
    if (!query.prepare(sql))
        return sqlError(what, query.lastError());
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec())
        return sqlError(what, query.lastError());
    return query;
}

Expected<void> ServiceDatabase::exec(const QString &what, const QString &sql) const
{
    QSqlQuery query(connection());
    if (!query.exec(sql))
        return sqlError(what, query.lastError());
    return {};
}

ServiceDatabase::Transaction::~Transaction()
{
    if (m_open)
        m_database.exec(QStringLiteral("rolling back"), QStringLiteral("ROLLBACK"));
}

Expected<void> ServiceDatabase::Transaction::begin()
{
    auto begun = m_database.exec(QStringLiteral("starting a transaction"), QStringLiteral("BEGIN IMMEDIATE"));
    m_open = begun.ok();
    return begun;
}

Expected<void> ServiceDatabase::Transaction::commit()
{
    auto done = m_database.exec(QStringLiteral("committing"), QStringLiteral("COMMIT"));
    if (done)
        m_open = false;
    return done;
}

Expected<void> ServiceDatabase::createSchema()
{
    const QString what = QStringLiteral("preparing the database");
    // WAL lets readers go on while a stamp commits; FULL makes a committed
    // receipt survive a power cut, which is the whole point of a receipt.
    const QStringList statements {
        QStringLiteral("PRAGMA journal_mode = WAL"),
        QStringLiteral("PRAGMA synchronous = FULL"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS scopes (scope TEXT PRIMARY KEY, size INTEGER NOT NULL)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS nodes (scope TEXT NOT NULL, level INTEGER NOT NULL, "
                       "idx INTEGER NOT NULL, hash BLOB NOT NULL, PRIMARY KEY (scope, level, idx)) WITHOUT ROWID"),
        QStringLiteral(
            "CREATE TABLE IF NOT EXISTS receipts (seq INTEGER PRIMARY KEY, receipt_id TEXT NOT NULL UNIQUE, "
            "hash TEXT NOT NULL, scope TEXT NOT NULL, created_at TEXT NOT NULL, merkle TEXT NOT NULL, "
            "leaf_index INTEGER NOT NULL, stamped_by TEXT, UNIQUE (scope, hash), UNIQUE (scope, leaf_index))"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS receipts_by_hash ON receipts (hash)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS users (username TEXT PRIMARY KEY, role TEXT NOT NULL, "
                       "password_hash TEXT NOT NULL, created_at TEXT NOT NULL, updated_at TEXT NOT NULL, "
                       "generation INTEGER NOT NULL DEFAULT 0)"),
        // The log's signed tree heads (one per scope and commit) and the
        // authorities' timestamps over them.
        QStringLiteral("CREATE TABLE IF NOT EXISTS tree_heads (scope TEXT NOT NULL, tree_size INTEGER NOT NULL, "
                       "root BLOB NOT NULL, signed_ms INTEGER NOT NULL, key_id TEXT NOT NULL, signature BLOB NOT NULL, "
                       "PRIMARY KEY (scope, tree_size))"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS anchors (scope TEXT NOT NULL, tree_size INTEGER NOT NULL, "
                       "authority TEXT NOT NULL, token BLOB NOT NULL, PRIMARY KEY (scope, tree_size, authority))"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS anchors_by_authority ON anchors (authority, scope, tree_size)"),
    };
    for (const QString &sql : statements) {
        if (auto done = exec(what, sql); !done)
            return done;
    }
    auto version = query(what, QStringLiteral("SELECT value FROM meta WHERE key = 'schema_version'"));
    if (!version)
        return version.error();
    if (!version.value().next()) {
        auto set = query(what, QStringLiteral("INSERT INTO meta (key, value) VALUES ('schema_version', ?)"),
            { QString::number(kSchemaVersion) });
        return set ? Expected<void>() : Expected<void>(set.error());
    }
    const int found = version.value().value(0).toString().toInt();
    if (found < 1 || found > kSchemaVersion) {
        return Error { QStringLiteral("The database has schema version %1; this nivet-stampd knows version %2")
                           .arg(version.value().value(0).toString())
                           .arg(kSchemaVersion) };
    }
    if (found == kSchemaVersion)
        return {};
    // Version 1 lacked the users' token generation (its users start at 0);
    // version 2 the tree heads and anchors, whose tables exist by now (the
    // log signs heads for its trees when it opens).
    Transaction transaction(*this);
    auto migrated = transaction.begin();
    if (migrated && found == 1)
        migrated = exec(what, QStringLiteral("ALTER TABLE users ADD COLUMN generation INTEGER NOT NULL DEFAULT 0"));
    if (migrated) {
        auto set = query(what, QStringLiteral("UPDATE meta SET value = ? WHERE key = 'schema_version'"),
            { QString::number(kSchemaVersion) });
        if (!set)
            return set.error();
        migrated = transaction.commit();
    }
    return migrated;
}

Expected<void> ServiceDatabase::checkWritable(qint64 nowMs)
{
    const QString what = QStringLiteral("checking that the database is writable");
    Transaction transaction(*this);
    if (auto begun = transaction.begin(); !begun)
        return begun;
    auto written = query(what,
        QStringLiteral("INSERT INTO meta (key, value) VALUES ('checked_at', ?) "
                       "ON CONFLICT (key) DO UPDATE SET value = excluded.value"),
        { isoTimestamp(nowMs) });
    if (!written)
        return written.error();
    return transaction.commit();
}

Expected<void> ServiceDatabase::backupTo(const QString &path) const
{
    const QVariant handle = connection().driver()->handle();
    auto *source = handle.isValid() && qstrcmp(handle.typeName(), "sqlite3*") == 0
        ? *static_cast<sqlite3 *const *>(handle.data())
        : nullptr;
    if (!source)
        return Error { QStringLiteral("The database driver gives no SQLite handle to back up from") };

    // Written in full under a private name beside the target, then renamed
    // over it: a reader sees the old backup or the new one, never half of one.
    const QFileInfo target(path);
    const QByteArray temp = QFile::encodeName(target.absolutePath() + QStringLiteral("/.") + target.fileName()
        + QStringLiteral(".tmp-") + QString::fromLatin1(SecureRandom::token(6)));
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        return Error { QStringLiteral("Cannot create a file in %1: %2")
                           .arg(target.absolutePath(), QString::fromLocal8Bit(std::strerror(errno))) };
    }
    ::close(fd);
    sqlite3 *copy = nullptr;
    int status = sqlite3_open_v2(temp.constData(), &copy, SQLITE_OPEN_READWRITE, nullptr);
    if (status == SQLITE_OK) {
        // All pages in one step: one read transaction, so one consistent state.
        sqlite3_backup *backup = sqlite3_backup_init(copy, "main", source, "main");
        if (backup) {
            status = sqlite3_backup_step(backup, -1);
            const int finished = sqlite3_backup_finish(backup);
            status = status == SQLITE_DONE ? finished : status;
        } else {
            status = sqlite3_errcode(copy);
        }
    }
    const QString problem = QString::fromUtf8(copy ? sqlite3_errmsg(copy) : sqlite3_errstr(status));
    sqlite3_close(copy);
    if (status == SQLITE_OK) {
        const int written = ::open(temp.constData(), O_RDONLY | O_CLOEXEC);
        const bool flushed = written >= 0 && ::fsync(written) == 0;
        if (written >= 0)
            ::close(written);
        if (flushed && ::rename(temp.constData(), QFile::encodeName(target.absoluteFilePath()).constData()) == 0) {
            const int folder = ::open(QFile::encodeName(target.absolutePath()).constData(), O_RDONLY | O_CLOEXEC);
            if (folder >= 0) {
                ::fsync(folder);
                ::close(folder);
            }
            return {};
        }
        const Error failed { QStringLiteral("Cannot write %1: %2")
                                 .arg(target.absoluteFilePath(), QString::fromLocal8Bit(std::strerror(errno))) };
        ::unlink(temp.constData());
        return failed;
    }
    ::unlink(temp.constData());
    return Error { QStringLiteral("The backup failed: %1").arg(problem) };
}
