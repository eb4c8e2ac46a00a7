#include "storage/receiptstore.h"

#include "core/atomicfile.h"
#include "core/jsonwriter.h"
#include "core/text.h"
#include "storage/nivetpaths.h"

#include <QCoro/QCoroFuture>
#include <QDir>
#include <QSet>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

const QString kSha256 = QStringLiteral("sha256");
const QString kRetentionDays = QStringLiteral("retention_days");
const QString kReceipts = QStringLiteral("receipts");
const QString kSourcePaths = QStringLiteral("source_paths");
const QString kUpdatedAt = QStringLiteral("updated_at");

Error invalid(const QString &what)
{
    return Error{QStringLiteral("Invalid receipt record: %1").arg(what)};
}

QString quoted(const QString &key)
{
    return QLatin1Char('"') + key + QLatin1Char('"');
}

// A required member that is missing or null, or one of the wrong type.
Error missing(const QString &key)
{
    return invalid(quoted(key) + QStringLiteral(" is missing"));
}

Error wrongType(const QString &key, const char *expected)
{
    return invalid(quoted(key) + QStringLiteral(" is not ") + QLatin1String(expected));
}

// How long a save waits for another process's save of the same folder. A save
// holds the lock for a few milliseconds; only a stopped process holds it
// longer, and then saving unlocked beats hanging the window.
constexpr qint64 kLockPatienceMs = 10000;

/// Exclusive advisory lock on receipts/.lock for the lifetime of the object.
class FolderLock {
public:
    explicit FolderLock(const QString &dir)
    {
        const QByteArray path = QFile::encodeName(dir + QStringLiteral("/.lock"));
        m_fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_fd < 0)
            return; // folder not writable: the write fails later anyway
        QElapsedTimer waited;
        waited.start();
        for (;;) {
            if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0) {
                m_held = true;
                return;
            }
            if (errno == EINTR)
                continue;
            if (errno != EWOULDBLOCK || waited.elapsed() > kLockPatienceMs)
                return;
            ::usleep(1000);
        }
    }
    ~FolderLock()
    {
        if (m_fd >= 0)
            ::close(m_fd); // releases the lock
    }
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;

    bool held() const { return m_held; }

private:
    int m_fd = -1;
    bool m_held = false;
};

QString fileStem(const QString &digest)
{
    QString stem = digest;
    stem.replace(QLatin1Char('/'), QStringLiteral("%2F"));
    stem.replace(QChar(u'\0'), QStringLiteral("%00"));
    return stem;
}

QString recordPath(const QString &dir, const QString &digest)
{
    return dir + QLatin1Char('/') + fileStem(digest) + QStringLiteral(".json");
}

enum class Stored { none, record, unusable };

struct Loaded {
    Stored state = Stored::none;
    ReceiptRecord record;
};

Loaded load(const QString &path)
{
    // A record is replaced by trading places with a scratch file that is later
    // written over; bytes read from a file that is no longer at path may be
    // such a later write, so they are read again.
    for (int attempt = 0;; ++attempt) {
        QFile file(path);
        if (!file.exists())
            return {};
        if (!file.open(QIODevice::ReadOnly))
            return {Stored::unusable, {}};
        const QByteArray bytes = file.readAll();
        if (file.error() != QFileDevice::NoError)
            return {Stored::unusable, {}};
        if (attempt < 8 && !AtomicFile::isStillAt(file.handle(), path))
            continue;
        auto decoded = ReceiptRecord::fromJson(bytes);
        if (!decoded)
            return {Stored::unusable, {}};
        return {Stored::record, std::move(decoded).value()};
    }
}

// Keeps a record that cannot be decoded under a name of its own, so the
// fresh record written next destroys nothing.
bool moveAside(const QString &path, const QDateTime &now)
{
    const QString base = path + QStringLiteral(".corrupt-")
        + now.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    QString target = base;
    for (int n = 2; QFileInfo::exists(target) || QFileInfo(target).isSymLink(); ++n)
        target = base + QLatin1Char('-') + QString::number(n);
    return ::rename(QFile::encodeName(path).constData(), QFile::encodeName(target).constData()) == 0;
}

bool canonicallyEqual(const QString &a, const QString &b)
{
    return a == b || a.normalized(QString::NormalizationForm_C) == b.normalized(QString::NormalizationForm_C);
}

// The five service fields only: members of other names are the store's, not
// the service's, and never decide whether two receipts are the same.
Receipt serviceFields(const Receipt &receipt)
{
    Receipt plain = receipt;
    plain.extra = {};
    return plain;
}

QString mergeKey(const Receipt &receipt)
{
    if (receipt.receiptId && !receipt.receiptId->isEmpty())
        return QStringLiteral("id:") + *receipt.receiptId;
    // Text that has no UTF-8 form (a lone surrogate) cannot be compared by
    // its encoding; such a receipt is never merged with another.
    for (const auto *field : {&receipt.hash, &receipt.scope, &receipt.createdAt, &receipt.merkle}) {
        if (*field && !field->value().isValidUtf16())
            return QStringLiteral("uuid:") + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    }
    return QStringLiteral("json:") + QString::fromUtf8(JsonWriter::compact(serviceFields(receipt).toJson()));
}

Receipt combine(const Receipt &earlier, const Receipt &later)
{
    Receipt merged = earlier;
    if (later.receiptId)
        merged.receiptId = later.receiptId;
    for (auto field : {&Receipt::hash, &Receipt::scope, &Receipt::createdAt, &Receipt::merkle}) {
        const std::optional<QString> &value = later.*field;
        if (value && !value->isEmpty())
            merged.*field = value;
    }
    // The earlier (stored) receipt's members of other names win.
    merged.extra = later.extra;
    for (auto it = earlier.extra.begin(); it != earlier.extra.end(); ++it)
        merged.extra.insert(it.key(), it.value());
    return merged;
}

// One save as asked for, with all it needs to be applied later: to the
// predicted record at once, and to the file when its turn comes.
struct SaveRequest {
    QString dir;
    QString path;
    QString digest;
    QList<Receipt> receipts; // the service's fields only
    std::optional<QString> sourcePath;
    QDateTime now;
};

SaveRequest request(const QString &sha256, const QList<Receipt> &receipts, const std::optional<QString> &sourcePath,
                    const QDateTime &now)
{
    SaveRequest r;
    r.digest = ReceiptStore::normalizeDigest(sha256);
    r.dir = NivetPaths::receiptsDirectory(); // also makes sure it exists, mode 0700
    r.path = recordPath(r.dir, r.digest);
    r.receipts.reserve(receipts.size());
    for (const Receipt &receipt : receipts)
        r.receipts.append(serviceFields(receipt));
    r.sourcePath = sourcePath;
    r.now = now;
    return r;
}

// The one merge rule of a save, whether applied to the file or foreseen.
void apply(ReceiptRecord &record, const SaveRequest &save)
{
    record.receipts = ReceiptStore::merge(record.receipts, save.receipts);
    record.sha256 = save.digest;
    record.updatedAt = save.now.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'"));
    if (save.sourcePath && !save.sourcePath->isEmpty()) {
        const bool seen = std::any_of(record.sourcePaths.cbegin(), record.sourcePaths.cend(),
                                      [&](const QString &p) { return canonicallyEqual(p, *save.sourcePath); });
        if (!seen)
            record.sourcePaths.append(*save.sourcePath);
    }
}

// Writes receipt records on a thread of its own, in the order the saves were
// asked for. A save returns the merged record at once, and the disk's waits
// (another process holding the folder lock, a slow disk) overlap whatever the
// caller does next. Saves that pile up meanwhile are written together. Until
// its save is written, a record is read as foreseen, so the process never
// sees its own saves out of order. Records are replaced atomically as they
// come and put on disk for good together, when the caller settles (at the end
// of a run): one flush for the lot instead of one per receipt, which would
// make every file of a run wait for the disk. At exit, every save asked for
// is written and flushed before the process ends.
class ReceiptWriter {
public:
    static ReceiptWriter &instance()
    {
        static ReceiptWriter writer;
        return writer;
    }

    ~ReceiptWriter()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable())
            m_thread.join();
        syncWritten();
        dropSpares();
    }

    /// The record as it will be written, and the ticket of its save. The merge
    /// is foreseen on the saves still on their way, else on lastRead, else
    /// on the file.
    std::pair<ReceiptRecord, quint64> enqueue(SaveRequest save,
                                              const std::optional<ReceiptRecord> &lastRead = std::nullopt)
    {
        std::lock_guard lock(m_mutex);
        Foreseen &foreseen = m_foreseen[save.path];
        if (foreseen.pending == 0 && lastRead) {
            foreseen.record = *lastRead;
        } else if (foreseen.pending == 0) {
            Loaded loaded = load(save.path);
            foreseen.record = loaded.state == Stored::record ? std::move(loaded.record) : ReceiptRecord();
        }
        apply(foreseen.record, save);
        ++foreseen.pending;
        const ReceiptRecord record = foreseen.record;
        m_queue.push_back(Job{std::move(save), ++m_issued});
        if (!m_thread.joinable())
            m_thread = std::thread([this] { run(); });
        m_wake.notify_one();
        return {record, m_issued};
    }

    /// The record path will hold once the saves asked for are written.
    std::optional<ReceiptRecord> foreseen(const QString &path) const
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_foreseen.constFind(path);
        if (it == m_foreseen.cend())
            return std::nullopt;
        return it->record;
    }

    quint64 lastTicket() const
    {
        std::lock_guard lock(m_mutex);
        return m_issued;
    }

    void waitFor(quint64 ticket)
    {
        std::unique_lock lock(m_mutex);
        m_done.wait(lock, [&] { return m_written >= ticket; });
    }

    /// Puts every record written so far on disk for good.
    void syncWritten()
    {
        QSet<QString> dirs;
        {
            std::lock_guard lock(m_mutex);
            dirs.swap(m_unsynced);
        }
        for (const QString &dir : std::as_const(dirs))
            AtomicFile::syncFileSystem(dir);
    }

    /// Waits for the save of ticket (by default the last one asked for) and
    /// every one before it, puts them on disk for good, and clears up.
    void settle(std::optional<quint64> ticket = std::nullopt)
    {
        waitFor(ticket.value_or(lastTicket()));
        syncWritten();
        dropSpares();
    }

private:
    struct Job {
        SaveRequest save;
        quint64 ticket = 0;
    };
    struct Foreseen {
        ReceiptRecord record;
        int pending = 0;
    };

    // A group holds the folder lock for all its files together; bounded so
    // that another process never waits long for it.
    static constexpr qsizetype kMaxGroup = 64;

    ReceiptWriter() = default;

    void run()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_queue.empty())
                return; // stopping, and everything is written
            QList<Job> group;
            while (!m_queue.empty() && group.size() < kMaxGroup) {
                if (!group.isEmpty() && m_queue.front().save.dir != group.constFirst().save.dir)
                    break;
                group.append(std::move(m_queue.front()));
                m_queue.pop_front();
            }
            lock.unlock();
            write(group);
            lock.lock();
            for (const Job &job : std::as_const(group)) {
                const auto it = m_foreseen.find(job.save.path);
                if (it != m_foreseen.end() && --it->pending == 0)
                    m_foreseen.erase(it);
                m_written = job.ticket;
            }
            m_done.notify_all();
        }
    }

    // Read, merge and write as one step against other processes' saves.
    void write(const QList<Job> &group)
    {
        const QString dir = group.constFirst().save.dir;
        const FolderLock lock(dir);
        if (lock.held())
            sweepScratch(dir);

        struct Target {
            ReceiptRecord record;
            bool writable = true;
            bool existed = false;
        };
        QHash<QString, Target> targets;
        QStringList order;
        for (const Job &job : group) {
            const SaveRequest &save = job.save;
            auto it = targets.find(save.path);
            if (it == targets.end()) {
                Target target;
                Loaded loaded = load(save.path);
                target.existed = loaded.state == Stored::record;
                if (target.existed)
                    target.record = std::move(loaded.record);
                else if (loaded.state == Stored::unusable)
                    target.writable = moveAside(save.path, save.now); // never overwrite what could not be kept
                it = targets.insert(save.path, std::move(target));
                order.append(save.path);
            }
            apply(it->record, save);
        }

        // Flushed later, by syncWritten(), all files at once: a flush per file
        // would make the disk wait once per receipt. A record that is there
        // already trades places with the spare scratch file: making a file and
        // deleting one per save costs far more on some file systems.
        QString spare = takeSpare(dir);
        for (const QString &path : std::as_const(order)) {
            const Target &target = targets.value(path);
            if (!target.writable)
                continue;
            const QByteArray bytes = target.record.toJson();
            if (!target.existed) {
                (void)AtomicFile::write(path, bytes, 0600, AtomicFile::Durability::later);
                continue;
            }
            const Expected<QString> next = AtomicFile::writeTrading(path, bytes, 0600, spare);
            // best effort, as every save here: the callers have the records
            spare = next ? next.value() : QString();
        }
        std::lock_guard guard(m_mutex);
        if (!spare.isEmpty())
            m_spares.insert(dir, spare);
        m_unsynced.insert(dir);
    }

    QString takeSpare(const QString &dir)
    {
        std::lock_guard lock(m_mutex);
        return m_spares.take(dir);
    }

    // The spare scratch files hold old records; they go when a run is done.
    void dropSpares()
    {
        QHash<QString, QString> spares;
        {
            std::lock_guard lock(m_mutex);
            spares.swap(m_spares);
        }
        for (const QString &spare : std::as_const(spares))
            QFile::remove(spare);
    }

    // Scratch files of saves that were killed between creating and renaming
    // them. Only called with the folder lock held, so no live save owns one.
    // Listing the folder costs time in proportion to the number of records,
    // so each process sweeps a folder once, on its first save there.
    void sweepScratch(const QString &dir)
    {
        if (m_swept.contains(dir))
            return;
        m_swept.insert(dir);
        QDir folder(dir);
        const QStringList stale
            = folder.entryList({QStringLiteral("*.json.tmp-*")}, QDir::Files | QDir::Hidden | QDir::System);
        for (const QString &name : stale)
            folder.remove(name);
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    std::deque<Job> m_queue;
    QHash<QString, Foreseen> m_foreseen;
    quint64 m_issued = 0;
    quint64 m_written = 0;
    bool m_stopping = false;
    std::thread m_thread;
    QSet<QString> m_unsynced;        // folders written to since the last sync
    QHash<QString, QString> m_spares; // folder -> its spare scratch file
    QSet<QString> m_swept;            // the writer thread's own
};

} // namespace

Expected<ReceiptRecord> ReceiptRecord::fromJson(const QByteArray &bytes)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        return invalid(QStringLiteral("%1 at offset %2").arg(parseError.errorString()).arg(parseError.offset));
    }
    if (!document.isObject())
        return invalid(QStringLiteral("not a JSON object"));
    const QJsonObject object = document.object();

    ReceiptRecord record;
    const QJsonValue sha256 = object.value(kSha256);
    if (sha256.isUndefined() || sha256.isNull())
        return missing(kSha256);
    if (!sha256.isString())
        return wrongType(kSha256, "a string");
    record.sha256 = sha256.toString();

    const QJsonValue retention = object.value(kRetentionDays);
    if (!retention.isUndefined() && !retention.isNull()) {
        // toInteger() gives its default unless the number is a whole number
        // within range; two different defaults tell the cases apart.
        const qint64 days = retention.toInteger(0);
        if (!retention.isDouble() || retention.toInteger(1) != days)
            return wrongType(kRetentionDays, "an integer");
        record.retentionDays = days;
    }

    const QJsonValue receipts = object.value(kReceipts);
    if (receipts.isUndefined() || receipts.isNull())
        return missing(kReceipts);
    if (!receipts.isArray())
        return wrongType(kReceipts, "an array");
    const QJsonArray receiptArray = receipts.toArray();
    for (const QJsonValue &element : receiptArray) {
        if (!element.isObject())
            return invalid(QStringLiteral("a receipt is not an object"));
        auto receipt = Receipt::fromJson(element.toObject());
        if (!receipt)
            return receipt.error();
        record.receipts.append(std::move(receipt).value());
    }

    const QJsonValue paths = object.value(kSourcePaths);
    if (paths.isUndefined() || paths.isNull())
        return missing(kSourcePaths);
    if (!paths.isArray())
        return wrongType(kSourcePaths, "an array");
    const QJsonArray pathArray = paths.toArray();
    for (const QJsonValue &element : pathArray) {
        if (!element.isString())
            return invalid(QStringLiteral("a source path is not a string"));
        record.sourcePaths.append(element.toString());
    }

    const QJsonValue updated = object.value(kUpdatedAt);
    if (!updated.isUndefined() && !updated.isNull()) {
        if (!updated.isString())
            return wrongType(kUpdatedAt, "a string");
        record.updatedAt = updated.toString();
    }

    for (auto it = object.begin(); it != object.end(); ++it) {
        const QString &key = it.key();
        if (key != kSha256 && key != kRetentionDays && key != kReceipts && key != kSourcePaths && key != kUpdatedAt)
            record.extra.insert(key, it.value());
    }
    return record;
}

QByteArray ReceiptRecord::toJson() const
{
    QJsonObject object = extra;
    object.insert(kSha256, sha256);
    if (retentionDays)
        object.insert(kRetentionDays, *retentionDays);
    else
        object.remove(kRetentionDays);
    QJsonArray receiptArray;
    for (const Receipt &receipt : receipts)
        receiptArray.append(receipt.toJson());
    object.insert(kReceipts, receiptArray);
    object.insert(kSourcePaths, QJsonArray::fromStringList(sourcePaths));
    if (updatedAt)
        object.insert(kUpdatedAt, *updatedAt);
    else
        object.remove(kUpdatedAt);
    return JsonWriter::pretty(object);
}

namespace ReceiptStore {

QString normalizeDigest(const QString &sha256)
{
    QString digest = Text::trimmed(sha256).toLower();
    if (digest.startsWith(QLatin1String("sha256:")))
        digest.remove(0, 7);
    return digest;
}

QString receiptFileURL(const QString &sha256)
{
    return recordPath(NivetPaths::receiptsDirectory(), normalizeDigest(sha256));
}

std::optional<ReceiptRecord> read(const QString &sha256)
{
    const QString path = receiptFileURL(sha256);
    if (auto foreseen = ReceiptWriter::instance().foreseen(path))
        return foreseen;
    Loaded loaded = load(path);
    if (loaded.state != Stored::record)
        return std::nullopt;
    return std::move(loaded.record);
}

QList<Receipt> merge(const QList<Receipt> &existing, const QList<Receipt> &incoming)
{
    QList<Receipt> merged;
    QHash<QString, qsizetype> index;
    for (const QList<Receipt> *list : {&existing, &incoming}) {
        for (const Receipt &receipt : *list) {
            const QString key = mergeKey(receipt);
            const auto found = index.constFind(key);
            if (found == index.cend()) {
                index.insert(key, merged.size());
                merged.append(receipt);
            } else {
                merged[*found] = combine(merged.at(*found), receipt);
            }
        }
    }
    return merged;
}

ReceiptRecord save(const QString &sha256, const QList<Receipt> &receipts, const std::optional<QString> &sourcePath,
                   const QDateTime &now)
{
    ReceiptWriter &writer = ReceiptWriter::instance();
    auto [record, ticket] = writer.enqueue(request(sha256, receipts, sourcePath, now));
    writer.settle(ticket);
    return record;
}

ReceiptRecord saveLater(const QString &sha256, const QList<Receipt> &receipts,
                        const std::optional<QString> &sourcePath)
{
    return ReceiptWriter::instance()
        .enqueue(request(sha256, receipts, sourcePath, QDateTime::currentDateTimeUtc()))
        .first;
}

ReceiptRecord saveLater(const QString &sha256, const QList<Receipt> &receipts,
                        const std::optional<QString> &sourcePath, const std::optional<ReceiptRecord> &lastRead)
{
    // No record read means an empty one, not "read the file".
    return ReceiptWriter::instance()
        .enqueue(request(sha256, receipts, sourcePath, QDateTime::currentDateTimeUtc()),
                 lastRead.value_or(ReceiptRecord()))
        .first;
}

QCoro::Task<void> settled()
{
    // The future goes into a local first: g++ 12 mishandles non-trivial
    // temporaries inside a co_await expression.
    QFuture<void> waiting = QtConcurrent::run([] { ReceiptWriter::instance().settle(); });
    co_await waiting;
}

} // namespace ReceiptStore
