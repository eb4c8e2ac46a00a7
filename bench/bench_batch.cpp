// Register then Verify over 1,000 small files against a loopback service that
// answers each request after 10 ms (a nearby service; a remote one takes
// 20-100 ms), compared with a bare QNetworkAccessManager loop sending the same
// 3,000 POSTs per pass to the same service, measured in the same run. Every
// receipt the client keeps is saved durably before its row comes. The same
// comparison against a service that answers at once is printed beside it,
// without a goal: no real service answers at once.
//
// Usage: bench_batch [files]
#include "core/batchrun.h"
#include "core/filehasher.h"
#include "core/hashjob.h"
#include "core/jsonwriter.h"
#include "mcp/mcpclient.h"
#include "storage/receiptstore.h"

#include "benchresult.h"

#include <QCoreApplication>
#include <QCoro/QCoroNetworkReply>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSemaphore>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>
#include <tuple>

namespace {

// A stamping service on its own thread that answers every request after a
// fixed delay (or at once).
class LoopbackService : public QThread {
public:
    explicit LoopbackService(int delayMs)
        : m_delayMs(delayMs)
    {
    }

    quint16 port() const { return m_port; }

    void start()
    {
        QThread::start();
        m_ready.acquire();
    }

protected:
    void run() override
    {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost, 0);
        m_port = server.serverPort();
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this, &server] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                auto buffer = std::make_shared<QByteArray>();
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
                    buffer->append(socket->readAll());
                    serveAll(socket, *buffer);
                });
            }
        });
        m_ready.release();
        exec();
    }

private:
    void serveAll(QTcpSocket *socket, QByteArray &buffer) const
    {
        for (;;) {
            const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
            if (headEnd < 0)
                return;
            qsizetype length = 0;
            for (const QByteArray &line : buffer.left(headEnd).split('\n')) {
                if (line.toLower().startsWith("content-length:"))
                    length = line.mid(15).trimmed().toLongLong();
            }
            if (buffer.size() < headEnd + 4 + length)
                return;
            const QByteArray body = buffer.mid(headEnd + 4, length);
            buffer.remove(0, headEnd + 4 + length);
            const QByteArray reply = answer(QJsonDocument::fromJson(body).object());
            if (m_delayMs == 0)
                socket->write(reply);
            else
                QTimer::singleShot(m_delayMs, Qt::PreciseTimer, socket, [socket, reply] { socket->write(reply); });
        }
    }

    static QByteArray reply(int status, const QByteArray &extraHeaders, const QByteArray &body)
    {
        return "HTTP/1.1 " + QByteArray::number(status) + (status == 200 ? " OK" : " Accepted")
            + "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n"
            + extraHeaders + "\r\n" + body;
    }

    static QByteArray answer(const QJsonObject &request)
    {
        static std::atomic<int> sessions = 0; // both services count here
        const QString method = request.value(QStringLiteral("method")).toString();
        if (method == QLatin1String("initialize"))
            return reply(200, "Mcp-Session-Id: s" + QByteArray::number(++sessions) + "\r\n",
                R"({"jsonrpc":"2.0","id":1,"result":{}})");
        if (!request.contains(QStringLiteral("id")))
            return reply(202, {}, {});
        const QJsonObject params = request.value(QStringLiteral("params")).toObject();
        const QJsonObject args = params.value(QStringLiteral("arguments")).toObject();
        QJsonObject result;
        if (params.value(QStringLiteral("name")).toString() == QLatin1String("stamp")) {
            const QString sha = args.value(QStringLiteral("sha256")).toString();
            result = QJsonObject { { QStringLiteral("receipts"),
                QJsonArray { QJsonObject { { QStringLiteral("receipt_id"), QStringLiteral("r-") + sha },
                    { QStringLiteral("hash"), sha }, { QStringLiteral("scope"), QStringLiteral("global") },
                    { QStringLiteral("created_at"), QStringLiteral("2026-01-01T00:00:00Z") },
                    { QStringLiteral("merkle"), QStringLiteral("m") } } } } };
        } else {
            result = QJsonObject { { QStringLiteral("valid"), true } };
        }
        const QJsonObject envelope { { QStringLiteral("jsonrpc"), QStringLiteral("2.0") }, { QStringLiteral("id"), 2 },
            { QStringLiteral("result"), QJsonObject { { QStringLiteral("structuredContent"), result } } } };
        return reply(200, {}, JsonWriter::compact(envelope));
    }

    const int m_delayMs;
    QSemaphore m_ready;
    quint16 m_port = 0;
};

// The three requests of one operation, as the client builds them, sent
// back to back with nothing else around them.
QCoro::Task<void> bareLoop(QUrl url, QStringList digests, QString tool)
{
    QNetworkAccessManager network;
    const auto send = [&network, url](const QByteArray &session, const QJsonObject &body) {
        QNetworkRequest request(url);
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        request.setRawHeader("Accept", "application/json, text/event-stream");
        if (!session.isEmpty())
            request.setRawHeader("Mcp-Session-Id", session);
        request.setTransferTimeout(60'000);
        return network.post(request, JsonWriter::compact(body));
    };
    const QJsonObject initialize {
        { QStringLiteral("jsonrpc"), QStringLiteral("2.0") },
        { QStringLiteral("id"), 1 },
        { QStringLiteral("method"), QStringLiteral("initialize") },
        { QStringLiteral("params"),
            QJsonObject { { QStringLiteral("protocolVersion"), QStringLiteral("2025-03-26") },
                { QStringLiteral("capabilities"), QJsonObject {} },
                { QStringLiteral("clientInfo"),
                    QJsonObject { { QStringLiteral("name"), QStringLiteral("nivet-timestamping-mac") },
                        { QStringLiteral("version"), QStringLiteral("0.2.0") } } } } },
    };
    const QJsonObject initialized { { QStringLiteral("jsonrpc"), QStringLiteral("2.0") },
        { QStringLiteral("method"), QStringLiteral("notifications/initialized") } };
    for (const QString &sha : digests) {
        QNetworkReply *first = send({}, initialize);
        co_await first;
        const QByteArray session = first->rawHeader("Mcp-Session-Id");
        first->readAll();
        first->deleteLater();

        QNetworkReply *second = send(session, initialized);
        co_await second;
        second->deleteLater();

        const QJsonObject arguments = tool == QLatin1String("stamp")
            ? QJsonObject { { QStringLiteral("sha256"), sha }, { QStringLiteral("scope"), QStringLiteral("global") } }
            : QJsonObject { { QStringLiteral("receipt_id"), QStringLiteral("r-") + sha },
                  { QStringLiteral("want_scope"), QStringLiteral("global") } };
        const QJsonObject call {
            { QStringLiteral("jsonrpc"), QStringLiteral("2.0") },
            { QStringLiteral("id"), 2 },
            { QStringLiteral("method"), QStringLiteral("tools/call") },
            { QStringLiteral("params"),
                QJsonObject { { QStringLiteral("name"), tool }, { QStringLiteral("arguments"), arguments } } },
        };
        QNetworkReply *third = send(session, call);
        co_await third;
        QJsonDocument::fromJson(third->readAll());
        third->deleteLater();
    }
}

double timeBare(const QUrl &url, const QStringList &digests, const QString &tool)
{
    QElapsedTimer t;
    t.start();
    auto task = bareLoop(url, digests, tool);
    QCoro::waitFor(task);
    return t.nsecsElapsed() / 1e6;
}

struct ClientPass {
    double ms = 0;
    int passed = 0;
};

ClientPass timeClient(const QUrl &url, const QStringList &files, BatchRun::Action action)
{
    BatchRun run([](const QString &endpoint) { return std::make_unique<MCPClient>(endpoint); });
    QElapsedTimer t;
    t.start();
    auto task = run.run(action, files, url.toString(), [] { return QStringLiteral("global"); });
    QCoro::waitFor(task);
    ClientPass pass { t.nsecsElapsed() / 1e6, 0 };
    for (const FileResult &row : run.results())
        pass.passed += row.passes() ? 1 : 0;
    return pass;
}

struct Comparison {
    double client = 0;
    double bare = 0;
    int passed = 0;
    QList<double> ratios; // per chunk, each side measured next to the other

    // Bursts of other work on the machine land on one side of a chunk; the
    // median of the chunks' ratios is not moved by a few such bursts, while
    // the ratio of the totals is.
    double medianRatio() const
    {
        QList<double> sorted = ratios;
        std::sort(sorted.begin(), sorted.end());
        const qsizetype n = sorted.size();
        return n == 0 ? 0 : n % 2 ? sorted.at(n / 2) : (sorted.at(n / 2 - 1) + sorted.at(n / 2)) / 2;
    }
};

// The machine may be busy with other work whose load drifts over a run, so
// the two sides take turns over chunks of files, each going first every
// other time.
Comparison compare(
    const QUrl &url, const QStringList &files, const QStringList &digests, BatchRun::Action action, const QString &tool)
{
    constexpr qsizetype kChunk = 50;
    Comparison c;
    for (qsizetype at = 0, round = 0; at < files.size(); at += kChunk, ++round) {
        const QStringList chunkFiles = files.mid(at, kChunk);
        const QStringList chunkDigests = digests.mid(at, kChunk);
        ClientPass pass;
        double bare = 0;
        if (round % 2 == 0) {
            bare = timeBare(url, chunkDigests, tool);
            pass = timeClient(url, chunkFiles, action);
        } else {
            pass = timeClient(url, chunkFiles, action);
            bare = timeBare(url, chunkDigests, tool);
        }
        c.client += pass.ms;
        c.passed += pass.passed;
        c.bare += bare;
        c.ratios.append(pass.ms / bare);
    }
    return c;
}

// What the two local steps of a file cost on their own, for reading the gap:
// a save here waits for its file to be on disk.
double timeSaves(int count)
{
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < count; ++i) {
        Receipt receipt;
        receipt.receiptId = QStringLiteral("x-%1").arg(i);
        (void)ReceiptStore::save(QStringLiteral("feed%1").arg(i), { receipt }, QStringLiteral("/bench/file"));
    }
    return t.nsecsElapsed() / 1e6;
}

QCoro::Task<void> hashAll(QStringList files)
{
    for (const QString &file : files) {
        HashJob job(file, QThreadPool::globalInstance(), nullptr, {});
        auto hashing = job.result();
        co_await hashing;
    }
}

// As a run hashes (handed to a worker and awaited), and on the caller's
// thread: the difference is what a path of its own for small files could save.
double timeHashes(const QStringList &files, bool onWorker)
{
    QElapsedTimer t;
    t.start();
    if (onWorker) {
        auto task = hashAll(files);
        QCoro::waitFor(task);
    } else {
        for (const QString &file : files)
            (void)FileHasher::sha256Hex(file);
    }
    return t.nsecsElapsed() / 1e6;
}

// The stamping service of a run, timing each operation (requests and the
// receipt save) as the run goes: the network time of that very run.
class TimedClient : public StampingClient {
public:
    TimedClient(const QString &url, double *spentMs)
        : m_client(url)
        , m_spentMs(spentMs)
    {
    }
    QCoro::Task<FileResult> registerFile(QString path, QString sha256, QString scope) override
    {
        QElapsedTimer t;
        t.start();
        auto registering = m_client.registerFile(path, sha256, scope);
        FileResult row = co_await registering;
        *m_spentMs += t.nsecsElapsed() / 1e6;
        co_return row;
    }
    QCoro::Task<FileResult> verify(QString path, QString sha256, QString scope) override
    {
        return m_client.verify(path, sha256, scope);
    }

private:
    MCPClient m_client;
    double *m_spentMs;
};

// All files hashed one after the other as a run hashes them: on a worker, awaited.
double hashAllMs(const QStringList &files)
{
    QElapsedTimer t;
    t.start();
    auto hashing = hashAll(files);
    QCoro::waitFor(hashing);
    return t.nsecsElapsed() / 1e6;
}

// Register over 20 files of 256 MiB (sparse: read as zeros, nothing on disk)
// against the service that answers after 10 ms. While the service answers for
// one file the next is hashed, so the run should take about the longer of the
// two: the network time is summed inside the run, the hashing time is that of
// all files hashed alone just before and just after it. The machine is
// shared, so three rounds, and the median.
bool benchPipeline(const QUrl &url)
{
    constexpr int kFiles = 20;
    QTemporaryDir dir;
    QStringList files;
    for (int i = 0; i < kFiles; ++i) {
        QFile f(dir.filePath(QStringLiteral("big-%1.bin").arg(i)));
        f.open(QIODevice::WriteOnly);
        f.write(QByteArray::number(i)); // a digest of its own
        f.resize(qint64(256) << 20);
        files.append(f.fileName());
    }
    hashAllMs(files); // into the page cache, for every pass alike
    struct Round {
        double ratio, wall, hashing, network;
        bool ok;
    };
    QList<Round> rounds;
    for (int round = 0; round < 3; ++round) {
        const double before = hashAllMs(files);
        double network = 0;
        BatchRun run([&network](const QString &endpoint) { return std::make_unique<TimedClient>(endpoint, &network); });
        QElapsedTimer t;
        t.start();
        auto task = run.run(BatchRun::Action::registerFiles, files, url.toString(), [] { return QStringLiteral("g"); });
        QCoro::waitFor(task);
        const double wall = t.nsecsElapsed() / 1e6;
        const double after = hashAllMs(files);
        const double hashing = (before + after) / 2;
        const QList<FileResult> rows = run.results();
        const bool ok = rows.size() == kFiles
            && std::all_of(rows.begin(), rows.end(), [](const FileResult &row) { return row.passes(); });
        rounds.append({ wall / std::max(hashing, network), wall, hashing, network, ok });
    }
    std::sort(rounds.begin(), rounds.end(), [](const Round &a, const Round &b) { return a.ratio < b.ratio; });
    const Round &r = rounds.at(1);
    const double sum = (r.hashing + r.network) / std::max(r.hashing, r.network);
    constexpr double kGoal = 1.15;
    std::printf("pipeline: %d files of 256 MiB, service 10 ms: run %.0f ms; hashing %.0f ms, network %.0f ms; ratio "
                "%.2f to the longer (rounds %.2f %.2f %.2f; their sum would be %.2f)\n",
        kFiles, r.wall, r.hashing, r.network, r.ratio, rounds[0].ratio, rounds[1].ratio, rounds[2].ratio, sum);
    printResult(QStringLiteral("Register of %1 files of 256 MiB, service 10 ms, vs max(hashing, network)").arg(kFiles),
        QStringLiteral("ratio %1 (%2 ms), median of 3").arg(r.ratio, 0, 'f', 2).arg(r.wall, 0, 'f', 0),
        QStringLiteral("hashing %1 ms, network %2 ms; their sum: ratio %3")
            .arg(r.hashing, 0, 'f', 0)
            .arg(r.network, 0, 'f', 0)
            .arg(sum, 0, 'f', 2),
        QStringLiteral("≤ %1").arg(kGoal, 0, 'f', 2), verdict(r.ratio <= kGoal, r.ok));
    return r.ok;
}

} // namespace

int main(int argc, char **argv)
{
    // Receipts go to a scratch folder, never to the user's own.
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path()));
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? QByteArray(argv[1]).toInt() : 1000;

    QTemporaryDir dir;
    QStringList files;
    QStringList digests;
    for (int i = 0; i < count; ++i) {
        const QString path = dir.filePath(QStringLiteral("file-%1.txt").arg(i));
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        const QByteArray data = "small file number " + QByteArray::number(i) + '\n';
        f.write(data);
        files.append(path);
        digests.append(QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex()));
    }

    LoopbackService nearby(10);
    LoopbackService instant(0);
    nearby.start();
    instant.start();
    const auto endpoint = [](const LoopbackService &service) {
        return QUrl(QStringLiteral("http://127.0.0.1:%1/mcp").arg(service.port()));
    };

    // Warm up connections and code paths on both sides.
    timeBare(endpoint(instant), digests.mid(0, 20), QStringLiteral("stamp"));

    constexpr double kGoal = 1.10;
    int failures = 0;
    const auto line
        = [count, &failures](const char *what, const char *service, const Comparison &c, std::optional<double> goal) {
              const double ratio = c.medianRatio();
              std::printf("%-8s %-10s client %.3f ms/file, bare loop %.3f ms/file, ratio %.2f (median of %d chunks; "
                          "of the totals %.2f)%s%s\n",
                  what, service, c.client / count, c.bare / count, ratio, int(c.ratios.size()), c.client / c.bare,
                  goal ? qPrintable(QStringLiteral(" (goal <= %1)").arg(*goal, 0, 'f', 2)) : "",
                  c.passed == count ? "" : "  [rows failed!]");
              failures += c.passed == count ? 0 : 1;
              QString verdict = QStringLiteral("—");
              if (c.passed != count)
                  verdict = QStringLiteral("ROWS FAILED");
              else if (goal)
                  verdict = ratio <= *goal ? QStringLiteral("met") : QStringLiteral("MISSED");
              printResult(QStringLiteral("Batch %1 of %2 files, service %3, vs bare request loop")
                              .arg(QLatin1String(what))
                              .arg(count)
                              .arg(QLatin1String(service)),
                  QStringLiteral("ratio %1 (%2 ms/file)").arg(ratio, 0, 'f', 2).arg(c.client / count, 0, 'f', 3),
                  QStringLiteral("bare loop %1 ms/file").arg(c.bare / count, 0, 'f', 3),
                  goal ? QStringLiteral("≤ %1").arg(*goal, 0, 'f', 2) : QStringLiteral("—"), verdict);
          };
    std::printf("files: %d, 3 POSTs per file per pass; receipts under %s\n", count, qPrintable(home.path()));
    for (const auto &[service, url, goal] : { std::tuple { "10 ms", endpoint(nearby), std::optional(kGoal) },
             std::tuple { "at once", endpoint(instant), std::optional<double>() } }) {
        line("register", service,
            compare(url, files, digests, BatchRun::Action::registerFiles, QStringLiteral("stamp")), goal);
        line("verify", service, compare(url, files, digests, BatchRun::Action::verifyFiles, QStringLiteral("verify")),
            goal);
    }
    const double saves = timeSaves(count);
    const double onWorker = timeHashes(files, true);
    const double onCaller = timeHashes(files, false);
    std::printf("local steps alone: durable receipt save %.3f ms/file; hashing handed to the worker %.3f ms/file, "
                "on the caller's thread %.3f ms/file\n",
        saves / count, onWorker / count, onCaller / count);

    failures += benchPipeline(endpoint(nearby)) ? 0 : 1;

    for (LoopbackService *service : { &nearby, &instant }) {
        service->quit();
        service->wait();
    }
    return failures == 0 ? 0 : 1;
}
