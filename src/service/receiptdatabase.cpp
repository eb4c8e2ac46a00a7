#include "service/receiptdatabase.h"

#include "service/clock.h"
#include "service/merkletree.h"
#include "service/securerandom.h"

#include <QAtomicInteger>
#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kSchemaVersion = 2;

Error sqlError(const QString &what, const QSqlError &error)
{
    return Error { QStringLiteral("Database error while %1: %2").arg(what, error.text()) };
}

// One prepared statement with its values bound in order.
Expected<QSqlQuery> run(
    const QSqlDatabase &db, const QString &what, const QString &sql, const QVariantList &values = {})
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(sql))
        return sqlError(what, query.lastError());
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec())
        return sqlError(what, query.lastError());
    return query;
}

Expected<void> runPlain(const QSqlDatabase &db, const QString &what, const QString &sql)
{
    QSqlQuery query(db);
    if (!query.exec(sql))
        return sqlError(what, query.lastError());
    return {};
}

// Rolls back unless committed, so an early return never leaves a write
// transaction open.
class Transaction {
public:
    explicit Transaction(QSqlDatabase db)
        : m_db(std::move(db))
    {
    }
    ~Transaction()
    {
        if (m_open)
            runPlain(m_db, QStringLiteral("rolling back"), QStringLiteral("ROLLBACK"));
    }
    Expected<void> begin()
    {
        // IMMEDIATE takes the write lock up front: two processes on one data
        // folder append to a tree one after the other, never interleaved.
        auto begun = runPlain(m_db, QStringLiteral("starting a transaction"), QStringLiteral("BEGIN IMMEDIATE"));
        m_open = begun.ok();
        return begun;
    }
    Expected<void> commit()
    {
        auto done = runPlain(m_db, QStringLiteral("committing"), QStringLiteral("COMMIT"));
        if (done)
            m_open = false;
        return done;
    }

private:
    QSqlDatabase m_db;
    bool m_open = false;
};

const QString kReceiptColumns = QStringLiteral("receipt_id, hash, scope, created_at, merkle, leaf_index, stamped_by");

StoredReceipt receiptFrom(const QSqlQuery &query)
{
    StoredReceipt r;
    r.receiptId = query.value(0).toString();
    r.hash = query.value(1).toString();
    r.scope = query.value(2).toString();
    r.createdAt = query.value(3).toString();
    r.merkle = query.value(4).toString();
    r.leafIndex = query.value(5).toLongLong();
    r.stampedBy = query.value(6).toString();
    return r;
}

Merkle::NodeSource nodeSource(const QSqlDatabase &db, const QString &scope)
{
    return [db, scope](int level, qint64 index) -> Expected<QByteArray> {
        auto query = run(db, QStringLiteral("reading the Merkle tree"),
            QStringLiteral("SELECT hash FROM nodes WHERE scope = ? AND level = ? AND idx = ?"),
            { scope, level, index });
        if (!query)
            return query.error();
        if (!query.value().next()) {
            return Error { QStringLiteral("The Merkle tree of scope \"%1\" lacks node %2/%3; the database is damaged")
                               .arg(scope)
                               .arg(level)
                               .arg(index) };
        }
        return query.value().value(0).toByteArray();
    };
}

// A random (version 4) UUID from the system's secure generator: receipt ids
// must not be guessable, since an id is all it takes to look a receipt up.
QString newReceiptId()
{
    QByteArray bytes = SecureRandom::bytes(16);
    bytes[6] = static_cast<char>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<char>((bytes[8] & 0x3f) | 0x80);
    return QUuid::fromRfc4122(bytes).toString(QUuid::WithoutBraces);
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
    const QByteArray path = QFile::encodeName(dir.filePath(ReceiptDatabase::fileName()));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return Error { QStringLiteral("Cannot open %1: %2")
                           .arg(QFile::decodeName(path), QString::fromLocal8Bit(std::strerror(errno))) };
    }
    ::close(fd);
    return {};
}

} // namespace

QJsonObject StoredReceipt::toJson() const
{
    return QJsonObject {
        { QStringLiteral("receipt_id"), receiptId },
        { QStringLiteral("hash"), hash },
        { QStringLiteral("scope"), scope },
        { QStringLiteral("created_at"), createdAt },
        { QStringLiteral("merkle"), merkle },
    };
}

QString ReceiptDatabase::fileName()
{
    return QStringLiteral("nivet-stampd.sqlite");
}

Expected<std::unique_ptr<ReceiptDatabase>> ReceiptDatabase::open(const QString &dataDir)
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
    std::unique_ptr<ReceiptDatabase> database(new ReceiptDatabase(connection));
    if (auto schema = database->createSchema(); !schema)
        return Error {
            QStringLiteral("Cannot use %1: %2").arg(QDir(dataDir).filePath(fileName()), schema.error().description)
        };
    return database;
}

ReceiptDatabase::~ReceiptDatabase()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

Expected<void> ReceiptDatabase::createSchema()
{
    const QSqlDatabase db = QSqlDatabase::database(m_connection);
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
    };
    for (const QString &sql : statements) {
        if (auto done = runPlain(db, what, sql); !done)
            return done;
    }
    auto version = run(db, what, QStringLiteral("SELECT value FROM meta WHERE key = 'schema_version'"));
    if (!version)
        return version.error();
    if (!version.value().next()) {
        auto set = run(db, what, QStringLiteral("INSERT INTO meta (key, value) VALUES ('schema_version', ?)"),
            { QString::number(kSchemaVersion) });
        return set ? Expected<void>() : Expected<void>(set.error());
    }
    if (version.value().value(0).toString() == QLatin1String("1")) {
        // Version 1 lacked the users' token generation; its users start at 0.
        Transaction transaction(db);
        auto migrated = transaction.begin();
        if (migrated)
            migrated = runPlain(
                db, what, QStringLiteral("ALTER TABLE users ADD COLUMN generation INTEGER NOT NULL DEFAULT 0"));
        if (migrated)
            migrated = runPlain(db, what, QStringLiteral("UPDATE meta SET value = '2' WHERE key = 'schema_version'"));
        if (migrated)
            migrated = transaction.commit();
        return migrated;
    }
    if (version.value().value(0).toString() != QString::number(kSchemaVersion)) {
        return Error { QStringLiteral("The database has schema version %1; this nivet-stampd knows version %2")
                           .arg(version.value().value(0).toString())
                           .arg(kSchemaVersion) };
    }
    return {};
}

Expected<StampOutcome> ReceiptDatabase::stamp(
    const QString &hash, const QString &scope, const QString &stampedBy, qint64 nowMs)
{
    const QSqlDatabase db = QSqlDatabase::database(m_connection);
    const QString what = QStringLiteral("stamping");
    Transaction transaction(db);
    if (auto begun = transaction.begin(); !begun)
        return begun.error();

    auto existing = run(db, what,
        QStringLiteral("SELECT %1 FROM receipts WHERE scope = ? AND hash = ?").arg(kReceiptColumns), { scope, hash });
    if (!existing)
        return existing.error();
    if (existing.value().next())
        return StampOutcome { receiptFrom(*existing), false };

    auto size = run(db, what, QStringLiteral("SELECT size FROM scopes WHERE scope = ?"), { scope });
    if (!size)
        return size.error();
    const qint64 leafIndex = size.value().next() ? size.value().value(0).toLongLong() : 0;

    const QByteArray digest = QByteArray::fromHex(hash.toLatin1());
    const Merkle::NodeSource nodes = nodeSource(db, scope);
    auto completed = Merkle::nodesCompletedBy(nodes, leafIndex, Merkle::leafHash(digest));
    if (!completed)
        return completed.error();
    for (const Merkle::Node &node : *completed) {
        auto inserted = run(db, what, QStringLiteral("INSERT INTO nodes (scope, level, idx, hash) VALUES (?, ?, ?, ?)"),
            { scope, node.level, node.index, node.hash });
        if (!inserted)
            return inserted.error();
    }
    auto root = Merkle::rootHash(nodes, leafIndex + 1);
    if (!root)
        return root.error();

    StoredReceipt receipt;
    receipt.receiptId = newReceiptId();
    receipt.hash = hash;
    receipt.scope = scope;
    receipt.createdAt = isoTimestamp(nowMs);
    receipt.merkle = QString::fromLatin1(root->toHex());
    receipt.leafIndex = leafIndex;
    receipt.stampedBy = stampedBy;
    auto inserted
        = run(db, what, QStringLiteral("INSERT INTO receipts (%1) VALUES (?, ?, ?, ?, ?, ?, ?)").arg(kReceiptColumns),
            { receipt.receiptId, receipt.hash, receipt.scope, receipt.createdAt, receipt.merkle, receipt.leafIndex,
                stampedBy.isEmpty() ? QVariant() : QVariant(stampedBy) });
    if (!inserted)
        return inserted.error();
    auto grown = run(db, what,
        QStringLiteral("INSERT INTO scopes (scope, size) VALUES (?, ?) "
                       "ON CONFLICT (scope) DO UPDATE SET size = excluded.size"),
        { scope, leafIndex + 1 });
    if (!grown)
        return grown.error();
    if (auto committed = transaction.commit(); !committed)
        return committed.error();
    return StampOutcome { receipt, true };
}

Expected<std::optional<StoredReceipt>> ReceiptDatabase::receipt(const QString &receiptId)
{
    const QSqlDatabase db = QSqlDatabase::database(m_connection);
    auto query = run(db, QStringLiteral("looking up a receipt"),
        QStringLiteral("SELECT %1 FROM receipts WHERE receipt_id = ?").arg(kReceiptColumns), { receiptId });
    if (!query)
        return query.error();
    if (!query.value().next())
        return std::optional<StoredReceipt>();
    return std::optional<StoredReceipt>(receiptFrom(*query));
}

Expected<QList<StoredReceipt>> ReceiptDatabase::receiptsForHash(const QString &hash, const QString &scope)
{
    const QSqlDatabase db = QSqlDatabase::database(m_connection);
    const QString what = QStringLiteral("looking up a digest");
    // seq grows with every stamp, so it orders by age even when the clock steps back.
    auto query = scope.isEmpty()
        ? run(db, what, QStringLiteral("SELECT %1 FROM receipts WHERE hash = ? ORDER BY seq DESC").arg(kReceiptColumns),
            { hash })
        : run(db, what,
            QStringLiteral("SELECT %1 FROM receipts WHERE hash = ? AND scope = ? ORDER BY seq DESC")
                .arg(kReceiptColumns),
            { hash, scope });
    if (!query)
        return query.error();
    QList<StoredReceipt> receipts;
    while (query.value().next())
        receipts.append(receiptFrom(*query));
    return receipts;
}

Expected<qint64> ReceiptDatabase::treeSize(const QString &scope)
{
    const QSqlDatabase db = QSqlDatabase::database(m_connection);
    auto query = run(db, QStringLiteral("reading a tree size"),
        QStringLiteral("SELECT size FROM scopes WHERE scope = ?"), { scope });
    if (!query)
        return query.error();
    return query.value().next() ? query.value().value(0).toLongLong() : qint64(0);
}

Expected<InclusionProof> ReceiptDatabase::proof(const StoredReceipt &receipt, qint64 treeSize)
{
    const QSqlDatabase db = QSqlDatabase::database(m_connection);
    const Merkle::NodeSource nodes = nodeSource(db, receipt.scope);
    InclusionProof proof;
    proof.receipt = receipt;
    proof.treeSize = treeSize;
    auto leaf = nodes(0, receipt.leafIndex);
    if (!leaf)
        return leaf.error();
    proof.leafHash = *leaf;
    auto path = Merkle::auditPath(nodes, receipt.leafIndex, treeSize);
    if (!path)
        return path.error();
    proof.path = *path;
    auto root = Merkle::rootHash(nodes, treeSize);
    if (!root)
        return root.error();
    proof.root = *root;
    return proof;
}

Expected<bool> ReceiptDatabase::matchesTree(const StoredReceipt &receipt)
{
    const QSqlDatabase db = QSqlDatabase::database(m_connection);
    const Merkle::NodeSource nodes = nodeSource(db, receipt.scope);
    auto leaf = nodes(0, receipt.leafIndex);
    if (!leaf)
        return leaf.error();
    if (*leaf != Merkle::leafHash(QByteArray::fromHex(receipt.hash.toLatin1())))
        return false;
    auto root = Merkle::rootHash(nodes, receipt.leafIndex + 1);
    if (!root)
        return root.error();
    return QString::fromLatin1(root->toHex()) == receipt.merkle;
}

Expected<bool> ReceiptDatabase::putUser(const UserRecord &user, qint64 nowMs)
{
    const QSqlDatabase db = QSqlDatabase::database(m_connection);
    const QString what = QStringLiteral("saving a user");
    Transaction transaction(db);
    if (auto begun = transaction.begin(); !begun)
        return begun.error();
    auto existing = run(db, what, QStringLiteral("SELECT 1 FROM users WHERE username = ?"), { user.username });
    if (!existing)
        return existing.error();
    const bool isNew = !existing.value().next();
    const QString now = isoTimestamp(nowMs);
    auto saved = isNew ? run(db, what,
                     QStringLiteral("INSERT INTO users (username, role, password_hash, created_at, updated_at) "
                                    "VALUES (?, ?, ?, ?, ?)"),
                     { user.username, user.role, user.passwordHash, now, now })
                       : run(db, what,
                           QStringLiteral("UPDATE users SET role = ?, password_hash = ?, generation = generation + 1, "
                                          "updated_at = ? WHERE username = ?"),
                           { user.role, user.passwordHash, now, user.username });
    if (!saved)
        return saved.error();
    if (auto committed = transaction.commit(); !committed)
        return committed.error();
    return isNew;
}

Expected<std::optional<UserRecord>> ReceiptDatabase::user(const QString &username)
{
    const QSqlDatabase db = QSqlDatabase::database(m_connection);
    auto query = run(db, QStringLiteral("looking up a user"),
        QStringLiteral("SELECT username, role, password_hash, generation FROM users WHERE username = ?"), { username });
    if (!query)
        return query.error();
    if (!query.value().next())
        return std::optional<UserRecord>();
    return std::optional<UserRecord>(UserRecord { query.value().value(0).toString(), query.value().value(1).toString(),
        query.value().value(2).toString(), query.value().value(3).toLongLong() });
}
