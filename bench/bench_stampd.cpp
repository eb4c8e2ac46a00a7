// nivet-stampd under load, against the disk it writes to: stamps per second
// with 64 concurrent MCP sessions as a ratio to the fsyncs per second the
// same disk does (measured in the same run), their p99 latency, and a lone
// client's time per file (initialize, initialized, stamp) against the same
// service writing each stamp in a transaction of its own
// (--max-commit-stamps 1, the service as it was before group commit).
//
// Usage: bench_stampd [SECONDS]   (default 3; the service binary is the one
// beside this program; its data goes to a temporary folder in the current
// directory, so that it is on a real disk)
#include "benchresult.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

constexpr int kSessions = 64;
constexpr int kLoneFiles = 300;
constexpr double kThroughputGoal = 1.0;
constexpr double kLoneGoal = 1.1;

// Overwrites one 4 KiB block and flushes it, for a second.
double fsyncsPerSecond(const QString &dir)
{
    const QByteArray path = QFile::encodeName(dir + QStringLiteral("/fsync-probe"));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return 0;
    const QByteArray block(4096, 'x');
    QElapsedTimer timer;
    timer.start();
    int count = 0;
    while (timer.elapsed() < 1000) {
        if (::pwrite(fd, block.constData(), static_cast<size_t>(block.size()), 0) != block.size()
            || ::fdatasync(fd) != 0)
            break;
        ++count;
    }
    const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    ::close(fd);
    ::unlink(path.constData());
    return count / seconds;
}

// The service as a child process on a free loopback port.
class Service {
public:
    Service(const QString &dataDir, const QStringList &extra)
    {
        const QString binary = QCoreApplication::applicationDirPath() + QStringLiteral("/nivet-stampd");
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.start(binary,
            QStringList { QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--data"), dataDir }
                + extra);
        QByteArray out;
        while (!out.contains('\n') && m_process.waitForReadyRead(10'000))
            out += m_process.readAllStandardOutput();
        const auto match = QRegularExpression(QStringLiteral("Listening on http://127.0.0.1:(\\d+)"))
                               .match(QString::fromLatin1(out));
        m_port = match.hasMatch() ? static_cast<quint16>(match.captured(1).toUInt()) : 0;
    }
    ~Service()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(10'000))
            m_process.kill();
    }
    quint16 port() const { return m_port; }

private:
    QProcess m_process;
    quint16 m_port = 0;
};

// One MCP client on a keep-alive connection, one request at a time.
class Client : public QObject {
public:
    struct Reply {
        int status = 0;
        QByteArray session;
        QByteArray body;
    };

    explicit Client(quint16 port)
    {
        m_socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        connect(&m_socket, &QTcpSocket::readyRead, this, &Client::read);
    }

    void post(const QByteArray &body, std::function<void(const Reply &)> done)
    {
        m_done = std::move(done);
        QByteArray request = "POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                             "Accept: application/json, text/event-stream\r\nContent-Length: "
            + QByteArray::number(body.size()) + "\r\n";
        if (!m_session.isEmpty())
            request += "Mcp-Session-Id: " + m_session + "\r\n";
        m_socket.write(request + "\r\n" + body);
    }

    void newSession() { m_session.clear(); }
    void setSession(const QByteArray &session) { m_session = session; }

private:
    void read()
    {
        m_buffer += m_socket.readAll();
        const qsizetype end = m_buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        Reply reply;
        qsizetype length = 0;
        const QList<QByteArray> lines = m_buffer.left(end).split('\n');
        reply.status = lines.value(0).split(' ').value(1).toInt();
        for (const QByteArray &line : lines) {
            const qsizetype colon = line.indexOf(':');
            const QByteArray name = line.left(colon).trimmed().toLower();
            const QByteArray value = line.mid(colon + 1).trimmed();
            if (name == "content-length")
                length = value.toLongLong();
            else if (name == "mcp-session-id")
                reply.session = value;
        }
        if (m_buffer.size() < end + 4 + length)
            return;
        reply.body = m_buffer.mid(end + 4, length);
        m_buffer.remove(0, end + 4 + length);
        if (auto done = std::exchange(m_done, {}))
            done(reply);
    }

    QTcpSocket m_socket;
    QByteArray m_buffer;
    QByteArray m_session;
    std::function<void(const Reply &)> m_done;
};

QByteArray initialize()
{
    return R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-03-26",)"
           R"("capabilities":{},"clientInfo":{"name":"bench","version":"1"}}})";
}

QByteArray initialized()
{
    return R"({"jsonrpc":"2.0","method":"notifications/initialized"})";
}

QByteArray stamp(const QByteArray &seed)
{
    const QByteArray digest = QCryptographicHash::hash(seed, QCryptographicHash::Sha256).toHex();
    return R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"stamp","arguments":{"sha256":")" + digest
        + R"("}}})";
}

bool stamped(const Client::Reply &reply)
{
    return reply.status == 200 && reply.body.contains("\"receipts\"") && reply.body.contains("\"evidence\"");
}

struct Load {
    double stampsPerSecond = 0;
    double p99Ms = 0;
    int failures = 0;
};

// kSessions clients, each stamping one digest after the other for seconds.
Load concurrent(const QString &dataDir, const QStringList &extra, double seconds, const QByteArray &tag)
{
    Service service(dataDir, extra);
    Load load;
    if (!service.port()) {
        load.failures = 1;
        return load;
    }
    std::vector<std::unique_ptr<Client>> clients;
    QEventLoop loop;
    int ready = 0;
    for (int i = 0; i < kSessions; ++i) {
        clients.push_back(std::make_unique<Client>(service.port()));
        Client *client = clients.back().get();
        client->post(initialize(), [&, client](const Client::Reply &reply) {
            client->setSession(reply.session);
            client->post(initialized(), [&](const Client::Reply &) {
                if (++ready == kSessions)
                    loop.quit();
            });
        });
    }
    QTimer::singleShot(30'000, &loop, &QEventLoop::quit);
    loop.exec();
    if (ready != kSessions) {
        load.failures = kSessions - ready;
        return load;
    }

    QList<double> latencies;
    QElapsedTimer clock;
    clock.start();
    const qint64 stopAt = static_cast<qint64>(seconds * 1000);
    int running = kSessions;
    qint64 lastDone = 0;
    for (int i = 0; i < kSessions; ++i) {
        Client *client = clients[static_cast<size_t>(i)].get();
        auto next = std::make_shared<std::function<void(int)>>();
        *next = [&, client, i, next](int n) {
            const qint64 sent = clock.nsecsElapsed();
            client->post(stamp(tag + QByteArray::number(i) + ':' + QByteArray::number(n)),
                [&, sent, n, next](const Client::Reply &reply) {
                    const qint64 now = clock.nsecsElapsed();
                    latencies.append(static_cast<double>(now - sent) / 1e6);
                    lastDone = now;
                    if (!stamped(reply))
                        ++load.failures;
                    if (now / 1'000'000 < stopAt)
                        (*next)(n + 1);
                    else if (--running == 0)
                        loop.quit();
                });
        };
        (*next)(0);
    }
    QTimer::singleShot(stopAt + 30'000, &loop, &QEventLoop::quit);
    loop.exec();
    std::sort(latencies.begin(), latencies.end());
    load.stampsPerSecond = static_cast<double>(latencies.size()) / (static_cast<double>(lastDone) / 1e9);
    load.p99Ms = latencies.value(static_cast<qsizetype>(latencies.size() * 0.99));
    load.failures += running;
    return load;
}

// One client registering kLoneFiles files as the app does: a session per
// file. The time per file in milliseconds, or a negative number on failure.
double lone(const QString &dataDir, const QStringList &extra, const QByteArray &tag)
{
    Service service(dataDir, extra);
    if (!service.port())
        return -1;
    Client client(service.port());
    QEventLoop loop;
    int failures = 0;
    QElapsedTimer clock;
    auto next = std::make_shared<std::function<void(int)>>();
    *next = [&, next](int n) {
        if (n == kLoneFiles) {
            loop.quit();
            return;
        }
        client.newSession();
        client.post(initialize(), [&, n, next](const Client::Reply &opened) {
            client.setSession(opened.session);
            client.post(initialized(), [&, n, next](const Client::Reply &) {
                client.post(stamp(tag + QByteArray::number(n)), [&, n, next](const Client::Reply &reply) {
                    failures += stamped(reply) ? 0 : 1;
                    (*next)(n + 1);
                });
            });
        });
    };
    // The first file opens the connection and warms the service up.
    (*next)(kLoneFiles - 1);
    loop.exec();
    clock.start();
    (*next)(0);
    QTimer::singleShot(60'000, &loop, &QEventLoop::quit);
    loop.exec();
    const double ms = static_cast<double>(clock.nsecsElapsed()) / 1e6 / kLoneFiles;
    return failures ? -1 : ms;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.value(values.size() / 2);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::max(0.5, QByteArray(argv[1]).toDouble()) : 3.0;
    QTemporaryDir dir(QDir::currentPath() + QStringLiteral("/bench-stampd-XXXXXX"));
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot make a temporary folder in the current directory\n");
        return 1;
    }
    const QStringList alone { QStringLiteral("--max-commit-stamps"), QStringLiteral("1") };

    const double fsyncs = fsyncsPerSecond(dir.path());
    std::printf("disk: %.0f fsyncs/s\n", fsyncs);
    const Load grouped = concurrent(dir.filePath(QStringLiteral("grouped")), {}, seconds, "g");
    const Load single = concurrent(dir.filePath(QStringLiteral("single")), alone, seconds, "s");
    std::printf("%d sessions, group commit:        %.0f stamps/s, p99 %.2f ms, %d failed\n", kSessions,
        grouped.stampsPerSecond, grouped.p99Ms, grouped.failures);
    std::printf("%d sessions, one stamp a commit:  %.0f stamps/s, p99 %.2f ms, %d failed\n", kSessions,
        single.stampsPerSecond, single.p99Ms, single.failures);

    // Alternated, so a disk that slows down in the middle weighs on both.
    QList<double> loneGrouped;
    QList<double> loneSingle;
    for (int round = 0; round < 3; ++round) {
        const QByteArray tag = "l" + QByteArray::number(round);
        loneGrouped << lone(dir.filePath(QStringLiteral("lone-g%1").arg(round)), {}, tag);
        loneSingle << lone(dir.filePath(QStringLiteral("lone-s%1").arg(round)), alone, tag);
    }
    const double loneG = median(loneGrouped);
    const double loneS = median(loneSingle);
    std::printf("lone client, per file (median of 3): %.3f ms, one stamp a commit %.3f ms\n", loneG, loneS);

    const bool ran = fsyncs > 0 && grouped.failures == 0 && single.failures == 0;
    const double ratio = fsyncs > 0 ? grouped.stampsPerSecond / fsyncs : 0;
    printResult(QStringLiteral("stampd: stamps/s with %1 sessions ÷ disk fsyncs/s").arg(kSessions),
        QStringLiteral("%1 (%2 stamps/s)").arg(ratio, 0, 'f', 2).arg(grouped.stampsPerSecond, 0, 'f', 0),
        QStringLiteral("%1 fsyncs/s; one stamp a commit: %2")
            .arg(fsyncs, 0, 'f', 0)
            .arg(single.stampsPerSecond / fsyncs, 0, 'f', 2),
        QStringLiteral("≥ %1").arg(kThroughputGoal, 0, 'f', 1), verdict(ratio >= kThroughputGoal, ran));
    printResult(QStringLiteral("stampd: p99 stamp latency with %1 sessions").arg(kSessions),
        QStringLiteral("%1 ms").arg(grouped.p99Ms, 0, 'f', 2),
        QStringLiteral("%1 ms one stamp a commit").arg(single.p99Ms, 0, 'f', 2));
    const bool loneRan = loneG > 0 && loneS > 0;
    const double loneRatio = loneRan ? loneG / loneS : 0;
    printResult(QStringLiteral("stampd: lone client's time per file ÷ one stamp a commit"),
        QStringLiteral("%1× (%2 ms)").arg(loneRatio, 0, 'f', 2).arg(loneG, 0, 'f', 3),
        QStringLiteral("%1 ms").arg(loneS, 0, 'f', 3), QStringLiteral("≤ %1×").arg(kLoneGoal, 0, 'f', 1),
        verdict(loneRatio <= kLoneGoal, loneRan));
    return ran && loneRan ? 0 : 1;
}
