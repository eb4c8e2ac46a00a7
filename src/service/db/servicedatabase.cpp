#include "service/db/servicedatabase.h"

#include "service/common/clock.h"
#include "service/common/securerandom.h"

#include <QAtomicInteger>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>
#include <QUrl>
#include <QUrlQuery>
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
    // PostgreSQL's texts span lines; a log line and an HTTP reply hold one.
    return Error { QStringLiteral("Database error while %1: %2").arg(what, error.text().simplified()) };
}

// Instances that start together create the schema one after the other.
constexpr qint64 kSchemaLock = 0x6e69766574736368; // "nivetsch"

Expected<void> prepareFolder(const QString &dataDir, bool sqliteFile)
{
    QDir dir(dataDir);
    if (!dir.exists()) {
        if (!QDir().mkpath(dataDir))
            return Error { QStringLiteral("Cannot create the data folder %1").arg(dataDir) };
        ::chmod(QFile::encodeName(dataDir).constData(), 0700);
    }
    if (!sqliteFile)
        return {};
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

// The connection options of a postgresql:// URL (user, password, host, port,
// database, and its query as libpq keywords). The password never appears in
// what is returned on failure.
Expected<void> configurePostgres(QSqlDatabase &db, const QString &url)
{
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme();
    if (!parsed.isValid() || (scheme != QLatin1String("postgresql") && scheme != QLatin1String("postgres"))) {
        return Error { QStringLiteral(
            "The database must be a postgresql:// URL, such as postgresql://nivet@db.example:5432/nivet") };
    }
    const QString name = parsed.path().mid(1);
    if (name.isEmpty() || name.contains(QLatin1Char('/')))
        return Error { QStringLiteral("%1 names no database").arg(ServiceDatabase::displayUrl(url)) };
    db.setDatabaseName(name);
    db.setHostName(parsed.host());
    if (parsed.port() > 0)
        db.setPort(parsed.port());
    db.setUserName(parsed.userName());
    db.setPassword(parsed.password());
    // Qt joins the options with blanks into libpq's keyword=value text.
    QStringList options;
    bool timeout = false;
    for (const auto &[key, value] : QUrlQuery(parsed).queryItems(QUrl::FullyDecoded)) {
        static const QRegularExpression plain(QStringLiteral("^[^\\s;'\\\\]*$"));
        if (key.isEmpty() || !plain.match(key).hasMatch() || !plain.match(value).hasMatch()) {
            return Error { QStringLiteral("The option \"%1\" of the database URL holds a blank, quote, backslash "
                                          "or semicolon")
                               .arg(key.left(40)) };
        }
        timeout = timeout || key == QLatin1String("connect_timeout");
        options.append(key + QLatin1Char('=') + value);
    }
    if (!timeout)
        options.append(QStringLiteral("connect_timeout=10")); // an unreachable server is an error, not a hang
    options.append(QStringLiteral("application_name=nivet-stampd"));
    db.setConnectOptions(options.join(QLatin1Char(';')));
    return {};
}

} // namespace

QString ServiceDatabase::displayUrl(const QString &url)
{
    QUrl shown(url);
    QUrlQuery query(shown);
    query.removeAllQueryItems(QStringLiteral("password"));
    shown.setQuery(query);
    return shown.toString(QUrl::RemovePassword);
}

QString ServiceDatabase::fileName()
{
    return QStringLiteral("nivet-stampd.sqlite");
}

Expected<std::unique_ptr<ServiceDatabase>> ServiceDatabase::open(const QString &dataDir, const QString &url)
{
    const Engine engine = url.isEmpty() ? Engine::sqlite : Engine::postgresql;
    if (auto ready = prepareFolder(dataDir, engine == Engine::sqlite); !ready)
        return ready.error();

    static QAtomicInteger<int> counter;
    const QString connection = QStringLiteral("nivet-stampd-%1").arg(counter.fetchAndAddRelaxed(1));
    const QString where = engine == Engine::sqlite ? QDir(dataDir).filePath(fileName()) : displayUrl(url);
    {
        const QString driver = engine == Engine::sqlite ? QStringLiteral("QSQLITE") : QStringLiteral("QPSQL");
        if (!QSqlDatabase::isDriverAvailable(driver)) {
            return Error { QStringLiteral("Qt's %1 database driver is not installed (Debian: %2)")
                               .arg(driver,
                                   engine == Engine::sqlite ? QStringLiteral("libqt6sql6-sqlite")
                                                            : QStringLiteral("libqt6sql6-psql")) };
        }
        QSqlDatabase db = QSqlDatabase::addDatabase(driver, connection);
        Expected<void> configured;
        if (engine == Engine::sqlite) {
            db.setDatabaseName(where);
            db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
        } else {
            configured = configurePostgres(db, url);
        }
        if (!configured || !db.open()) {
            QString problem = configured ? db.lastError().text().simplified() : configured.error().description;
            if (!db.password().isEmpty())
                problem.replace(db.password(), QStringLiteral("***"));
            const Error error { configured ? QStringLiteral("Cannot open the database %1: %2")
                                                 .arg(engine == Engine::sqlite ? dataDir : where, problem)
                                           : problem };
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(connection);
            return error;
        }
    }
    std::unique_ptr<ServiceDatabase> database(new ServiceDatabase(connection, engine));
    if (auto ready = database->connected(); !ready)
        return Error { QStringLiteral("Cannot use %1: %2").arg(where, ready.error().description) };
    if (auto schema = database->createSchema(); !schema)
        return Error { QStringLiteral("Cannot use %1: %2").arg(where, schema.error().description) };
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

// What a fresh connection needs first.
Expected<void> ServiceDatabase::connected() const
{
    if (m_engine == Engine::sqlite)
        return {};
    // "relation already exists, skipping" and the like are no news to an operator.
    QSqlQuery quiet(connection());
    if (!quiet.exec(QStringLiteral("SET client_min_messages = warning")))
        return sqlError(QStringLiteral("connecting"), quiet.lastError());
    return {};
}

void ServiceDatabase::reconnectIfLost() const
{
    if (!m_suspect || m_inTransaction)
        return;
    m_suspect = false;
    QSqlDatabase db = connection();
    if (QSqlQuery(db).exec(QStringLiteral("SELECT 1")))
        return;
    // The request that met the lost connection has failed; the next one
    // finds a new connection, or fails and tries again.
    db.close();
    m_suspect = !db.open() || !connected();
}

// The tables and statements are written for SQLite; these are all the
// places where PostgreSQL says the same thing differently.
QString ServiceDatabase::dialect(const QString &sql) const
{
    if (m_engine == Engine::sqlite)
        return sql;
    static const QList<std::pair<QRegularExpression, QString>> rewrites {
        { QRegularExpression(QStringLiteral("\\bINTEGER PRIMARY KEY\\b")), QStringLiteral("BIGSERIAL PRIMARY KEY") },
        { QRegularExpression(QStringLiteral("\\bINTEGER\\b")), QStringLiteral("BIGINT") }, // SQLite's are 64 bits
        { QRegularExpression(QStringLiteral("\\bBLOB\\b")), QStringLiteral("BYTEA") },
        { QRegularExpression(QStringLiteral(" WITHOUT ROWID\\b")), QString() },
        { QRegularExpression(QStringLiteral("^BEGIN IMMEDIATE$")), QStringLiteral("BEGIN") },
        { QRegularExpression(
              QStringLiteral("^INSERT OR IGNORE (INTO .*)$"), QRegularExpression::DotMatchesEverythingOption),
            QStringLiteral("INSERT \\1 ON CONFLICT DO NOTHING") },
    };
    QString translated = sql;
    for (const auto &[pattern, replacement] : rewrites)
        translated.replace(pattern, replacement);
    return translated;
}

Expected<QSqlQuery> ServiceDatabase::query(const QString &what, const QString &sql, const QVariantList &values) const
{
    reconnectIfLost();
    QSqlQuery query(connection());
    query.setForwardOnly(true);
    const bool done = query.prepare(dialect(sql)) && [&] {
        for (const QVariant &value : values)
            query.addBindValue(value);
        return query.exec();
    }();
    if (!done) {
        m_suspect = m_engine == Engine::postgresql;
        return sqlError(what, query.lastError());
    }
    return query;
}

Expected<void> ServiceDatabase::exec(const QString &what, const QString &sql) const
{
    reconnectIfLost();
    QSqlQuery query(connection());
    if (!query.exec(dialect(sql))) {
        m_suspect = m_engine == Engine::postgresql;
        return sqlError(what, query.lastError());
    }
    return {};
}

ServiceDatabase::Transaction::~Transaction()
{
    if (m_open)
        m_database.exec(QStringLiteral("rolling back"), QStringLiteral("ROLLBACK"));
    m_database.m_inTransaction = false;
}

Expected<void> ServiceDatabase::Transaction::begin()
{
    auto begun = m_database.exec(QStringLiteral("starting a transaction"), QStringLiteral("BEGIN IMMEDIATE"));
    // Nothing was done yet: after a lost connection is opened again, it is
    // safe to begin once more.
    if (!begun && m_database.m_suspect)
        begun = m_database.exec(QStringLiteral("starting a transaction"), QStringLiteral("BEGIN IMMEDIATE"));
    m_open = begun.ok();
    m_database.m_inTransaction = m_open;
    return begun;
}

Expected<void> ServiceDatabase::Transaction::lockScope(const QString &scope)
{
    if (m_database.engine() == Engine::sqlite)
        return {};
    // Scopes whose 64-bit keys collide merely take turns too.
    const QByteArray digest = QCryptographicHash::hash(scope.toUtf8(), QCryptographicHash::Sha256);
    qint64 key = 0;
    for (int i = 0; i < 8; ++i)
        key = (key << 8) | static_cast<quint8>(digest[i]);
    auto locked = m_database.query(
        QStringLiteral("waiting for the scope's tree"), QStringLiteral("SELECT pg_advisory_xact_lock(?)"), { key });
    return locked ? Expected<void>() : Expected<void>(locked.error());
}

Expected<void> ServiceDatabase::Transaction::commit()
{
    auto done = m_database.exec(QStringLiteral("committing"), QStringLiteral("COMMIT"));
    if (done) {
        m_open = false;
        m_database.m_inTransaction = false;
    }
    return done;
}

Expected<void> ServiceDatabase::createSchema()
{
    if (m_engine == Engine::sqlite)
        return createTables();
    const QString what = QStringLiteral("preparing the database");
    if (auto locked = query(what, QStringLiteral("SELECT pg_advisory_lock(?)"), { kSchemaLock }); !locked)
        return locked.error();
    auto created = createTables();
    if (auto unlocked = query(what, QStringLiteral("SELECT pg_advisory_unlock(?)"), { kSchemaLock }); !unlocked)
        return unlocked.error();
    return created;
}

Expected<void> ServiceDatabase::createTables()
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
        if (m_engine == Engine::postgresql && sql.startsWith(QLatin1String("PRAGMA")))
            continue; // PostgreSQL commits durably already
        if (auto done = exec(what, sql); !done)
            return done;
    }
    if (m_engine == Engine::postgresql) {
        // The MCP sessions the instances share (DatabaseSessions). Unlogged:
        // a session is worth no disk flush, and a crash of the database
        // only ends the sessions, which clients open again.
        for (const QString &sql : {
                 QStringLiteral("CREATE UNLOGGED TABLE IF NOT EXISTS mcp_sessions (id_hash TEXT PRIMARY KEY, "
                                "username TEXT, owner TEXT NOT NULL, created_ms BIGINT NOT NULL, "
                                "last_used_ms BIGINT NOT NULL, initialized BOOLEAN NOT NULL DEFAULT FALSE, "
                                "used BOOLEAN NOT NULL DEFAULT FALSE)"),
                 QStringLiteral("CREATE INDEX IF NOT EXISTS mcp_sessions_by_owner ON mcp_sessions (owner)"),
                 QStringLiteral("CREATE INDEX IF NOT EXISTS mcp_sessions_by_use ON mcp_sessions (last_used_ms)"),
             }) {
            if (auto done = exec(what, sql); !done)
                return done;
        }
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

Expected<QString> ServiceDatabase::sharedValue(const QString &key, const QString &proposed)
{
    const QString what = QStringLiteral("reading the shared settings");
    auto added = query(what, QStringLiteral("INSERT INTO meta (key, value) VALUES (?, ?) ON CONFLICT (key) DO NOTHING"),
        { key, proposed });
    if (!added)
        return added.error();
    auto stored = query(what, QStringLiteral("SELECT value FROM meta WHERE key = ?"), { key });
    if (!stored)
        return stored.error();
    return stored.value().next() ? stored.value().value(0).toString() : proposed;
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
