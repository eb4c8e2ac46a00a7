// The local service as a client reaches it: whole requests (one or several,
// pipelined) written into a connection of the real HTTP server, libmicrohttpd
// included, in pieces the input chooses, then the sending side shut. One
// long-lived service, so sessions and the database carry state from one input
// to the next.
//
// Input: a byte n (taken modulo 8), n bytes each cutting the rest at that
// fraction of its length, then the bytes of the connection.
#include "service/http/httpserver.h"
#include "service/servicehandler.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct Service {
    HttpServer *http = nullptr;
};

Service &service()
{
    static int argc = 1;
    static char name[] = "fuzz_service";
    static char *argv[] = { name, nullptr };
    static QCoreApplication app(argc, argv);
    static QTemporaryDir dir;
    static std::unique_ptr<ServiceHandler> handler = [] {
        ServiceOptions options;
        options.dataDir = dir.path();
        options.maxSessions = 64;
        // The deliberate password-hashing cost of a login would spend the
        // fuzzer's time limit on one input; the code path stays the same.
        options.unknownUserIterations = 1;
        auto opened = ServiceHandler::open(options);
        if (!opened.ok())
            __builtin_trap();
        return std::move(opened).value();
    }();
    static std::unique_ptr<HttpServer> http = [] {
        HttpServer::Limits limits;
        limits.idleTimeoutMs = 200; // a request that never completes ends soon
        auto created
            = HttpServer::create({ [](const ServiceRequest &head) { return handler->bodyLimit(head); },
                                     [](const ServiceRequest &request) { return handler->reply(request); }, {} },
                limits, {}, systemNowMs);
        if (!created.ok())
            __builtin_trap();
        return std::move(created).value();
    }();
    static Service instance { http.get() };
    return instance;
}

// Runs the event loop until done() or the time is up.
bool pump(const std::function<bool()> &done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Service &s = service();
    if (size == 0)
        return 0;
    const size_t cuts = std::min<size_t>(data[0] % 8, size - 1);
    const uint8_t *stream = data + 1 + cuts;
    const size_t length = size - 1 - cuts;
    std::vector<size_t> ends;
    for (size_t i = 0; i < cuts; ++i)
        ends.push_back(length * data[1 + i] / 256);
    ends.push_back(length);
    std::sort(ends.begin(), ends.end());

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        __builtin_trap();
    const int client = pair[0];
    s.http->adopt(pair[1], QHostAddress::LocalHost);

    QByteArray received;
    bool ended = false;
    const auto drain = [&] {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::recv(client, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                received.append(buffer, n);
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EINTR))
                ended = true;
            return ended;
        }
    };
    size_t sent = 0;
    for (const size_t end : ends) {
        while (sent < end) {
            const ssize_t n = ::send(client, stream + sent, end - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n <= 0)
                break; // the server closed, or will not read more until it has written
            sent += static_cast<size_t>(n);
        }
        pump([&] { return drain(); }, 2); // one piece at a time reaches the server
    }
    ::shutdown(client, SHUT_WR);
    // Every answer, then the end: a half-closed client is served and let go,
    // and a request that never completes is closed after the idle time.
    pump([&] { return drain(); }, 2000);
    ::close(client);
    if (!pump([&] { return s.http->connectionCount() == 0 && s.http->queuedWork() == 0; }, 2000))
        __builtin_trap(); // a connection the server never lets go

    // Whatever came back is HTTP responses, never anything else.
    if (!received.isEmpty() && !received.startsWith("HTTP/1.1 "))
        __builtin_trap();
    return 0;
}
