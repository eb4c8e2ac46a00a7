// verify --offline over 10,000 small files against hashing the same files
// alone, measured in the same run. The files' evidence is what a lone client
// registering them one by one keeps: each leaf with the signed head of its
// own commit, and an anchor (one RFC 3161 token from an in-memory authority)
// every 100 leaves, as a service asking its authority at most once per
// interval gives. Both sides run through the same BatchRun; the hashing side
// answers each file at once. A plain loop of FileHasher over the files is
// printed beside them, without a goal.
//
// Usage: bench_offline [files]
#include "core/batchrun.h"
#include "core/filehasher.h"
#include "core/jsonwriter.h"
#include "evidence/evidence.h"
#include "evidence/logkey.h"
#include "evidence/logpublickey.h"
#include "evidence/merkleproof.h"
#include "evidence/rfc3161.h"
#include "mcp/offlineverifier.h"
#include "storage/evidencefiles.h"

#include "benchresult.h"
#include "testauthority.h"

#include <QCoreApplication>
#include <QCoro/QCoroFuture>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <cstdio>

namespace {

constexpr qint64 kAnchorEvery = 100;

class HashOnly : public StampingClient {
public:
    QCoro::Task<FileResult> registerFile(QString path, QString sha256, QString scope) override
    {
        co_return FileResult { path, sha256, {}, {}, scope, QStringLiteral("Found"), {}, ResultKind::found };
    }
    QCoro::Task<FileResult> verify(QString path, QString sha256, QString scope) override
    {
        return registerFile(path, sha256, scope);
    }
};

// Seconds for a verify run over files, and whether every row passed.
std::pair<double, bool> timedRun(const QStringList &files, BatchRun::ServiceFactory factory)
{
    BatchRun run(std::move(factory));
    QElapsedTimer timer;
    timer.start();
    auto task = run.run(BatchRun::Action::verifyFiles, files, {}, {});
    QCoro::waitFor(task);
    const double seconds = timer.nsecsElapsed() / 1e9;
    const QList<FileResult> rows = run.results();
    const bool passed = rows.size() == files.size()
        && std::all_of(rows.begin(), rows.end(), [](const FileResult &r) { return r.passes(); });
    if (!passed && !rows.isEmpty())
        std::printf("first row: %s\n", qPrintable(rows.constFirst().status));
    return { seconds, passed };
}

// The complete subtrees of a tree of leaves, level by level.
QList<QList<QByteArray>> levelsOf(QList<QByteArray> level)
{
    QList<QList<QByteArray>> levels { level };
    while (level.size() > 1) {
        QList<QByteArray> up;
        for (qsizetype i = 0; i + 1 < level.size(); i += 2)
            up.append(MerkleProof::nodeHash(level[i], level[i + 1]));
        levels.append(up);
        level = up;
    }
    return levels;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 10000;
    QTemporaryDir dir;
    qputenv("XDG_DATA_HOME", dir.filePath(QStringLiteral("home")).toUtf8());

    // The files and the log that holds them.
    QStringList files;
    QList<QByteArray> leaves;
    for (int i = 0; i < count; ++i) {
        files.append(dir.filePath(QStringLiteral("file-%1.txt").arg(i)));
        const QByteArray data = "small file " + QByteArray::number(i) + '\n';
        QFile f(files.last());
        if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size())
            return 1;
        leaves.append(MerkleProof::leafHash(QCryptographicHash::hash(data, QCryptographicHash::Sha256)));
    }
    const auto levels = levelsOf(leaves);
    const MerkleProof::NodeSource nodes
        = [&levels](int level, qint64 index) -> Expected<QByteArray> { return levels.value(level).value(index); };
    const auto key = LogKey::generate();
    const TestAuthority authority;
    const QDateTime time = QDateTime::currentDateTimeUtc();
    QList<TreeHead> roots; // by size, as each commit signed it (index size - 1)
    for (qint64 size = 1; size <= count; ++size) {
        // The root of the first size leaves: their complete subtrees, largest
        // first, joined from the right.
        QList<QByteArray> parts;
        for (int level = 62, start = 0; level >= 0; --level) {
            if (size & (qint64(1) << level)) {
                parts.append(levels[level][start >> level]);
                start += 1 << level;
            }
        }
        QByteArray root = parts.takeLast();
        while (!parts.isEmpty())
            root = MerkleProof::nodeHash(parts.takeLast(), root);
        roots.append(*key->signHead(QStringLiteral("global"), size, root, time.addMSecs(size)));
    }
    QHash<qint64, QByteArray> tokens; // by anchored size
    const QString evidenceDir = EvidenceStore::directory();
    bool ran = true;
    for (qint64 i = 0; i < count; ++i) {
        const qint64 anchorSize = std::min<qint64>((i / kAnchorEvery + 1) * kAnchorEvery, count);
        Evidence e { i, *MerkleProof::auditPath(nodes, i, i + 1), roots[i], std::nullopt };
        const TreeHead &anchored = roots[anchorSize - 1];
        if (!tokens.contains(anchorSize)) {
            const auto request = Rfc3161::request(anchored.message());
            tokens.insert(anchorSize, *Rfc3161::tokenFromResponse(authority.respond(request->der), *request));
        }
        e.anchor = Anchor { anchored, *MerkleProof::auditPath(nodes, i, anchorSize),
            { { QStringLiteral("http://127.0.0.1:1/tsa"), tokens.value(anchorSize) } } };
        const QString sha256 = QString::fromLatin1(
            QCryptographicHash::hash("small file " + QByteArray::number(i) + '\n', QCryptographicHash::Sha256).toHex());
        const EvidenceItem item { QStringLiteral("r-%1").arg(i), QStringLiteral("http://127.0.0.1:1/mcp"),
            key->publicKey().pem(), e.toJson() };
        // Written as the client writes them, without a flush each: only the reading is measured.
        QFile f(evidenceDir + QLatin1Char('/') + sha256 + QStringLiteral(".json"));
        const QByteArray bytes = JsonWriter::pretty(QJsonObject {
            { QStringLiteral("sha256"), sha256 }, { QStringLiteral("items"), QJsonArray { item.toJson() } } });
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            return 1;
    }

    // Where a file's time goes, single-threaded: reading its evidence file,
    // decoding it, one Ed25519 verification (each file's own head needs one;
    // its anchored head is shared with 99 others, checked once a run), and
    // the trip to a worker thread and back that keeps the check off the
    // caller's thread. Their sum is what a file costs beyond its hashing.
    {
        QElapsedTimer t;
        t.start();
        QList<Evidence> decoded;
        QByteArray pem;
        for (qint64 i = 0; i < count; ++i) {
            const auto items = EvidenceStore::read(QString::fromLatin1(
                QCryptographicHash::hash("small file " + QByteArray::number(i) + '\n', QCryptographicHash::Sha256)
                    .toHex()));
            pem = items->constFirst().publicKey;
            decoded.append(*Evidence::fromJson(items->constFirst().evidence));
        }
        const double read = t.nsecsElapsed() / 1e3 / count;
        const auto publicKey = *LogPublicKey::fromPem(pem);
        t.restart();
        for (const Evidence &e : decoded)
            ran = publicKey.verifies(e.treeHead.message(), e.treeHead.signature) && ran;
        const double verify = t.nsecsElapsed() / 1e3 / count;
        t.restart();
        QCoro::waitFor([](int trips) -> QCoro::Task<void> {
            for (int i = 0; i < trips; ++i)
                co_await QtConcurrent::run([] {});
        }(count));
        const double trip = t.nsecsElapsed() / 1e3 / count;
        t.restart();
        for (const QString &file : files)
            ran = FileHasher::sha256Hex(file).ok() && ran;
        std::printf("per file: reading and decoding its evidence %.0f µs, one Ed25519 verification %.0f µs, "
                    "a trip to a worker thread %.0f µs (together %.0f µs), hashing it %.0f µs\n",
            read, verify, trip, read + verify + trip, t.nsecsElapsed() / 1e3 / count);
    }

    // Best of three of each, alternating.
    double hashing = 1e9, offline = 1e9, plain = 1e9;
    for (int round = 0; round < 3; ++round) {
        QElapsedTimer timer;
        timer.start();
        for (const QString &file : files)
            ran = FileHasher::sha256Hex(file).ok() && ran;
        plain = std::min(plain, timer.nsecsElapsed() / 1e9);
        const auto [h, hashed] = timedRun(files, [](const QString &) { return std::make_unique<HashOnly>(); });
        hashing = std::min(hashing, h);
        const auto [o, checked] = timedRun(files,
            [ca = authority.caPem()](const QString &) { return std::make_unique<OfflineVerifier>(QList { ca }); });
        offline = std::min(offline, o);
        ran = ran && checked;
    }
    const double ratio = offline / hashing;
    std::printf("%d files: verify --offline %.3f s, hashing alone %.3f s (a plain hashing loop %.3f s)\n", count,
        offline, hashing, plain);
    printResult(QStringLiteral("verify --offline of %1 small files / hashing them alone").arg(count),
        QString::number(ratio, 'f', 2), QStringLiteral("%1 s").arg(hashing, 0, 'f', 3), QStringLiteral("≤ 1.5"),
        verdict(ratio <= 1.5, ran));
    return ran ? 0 : 1;
}
