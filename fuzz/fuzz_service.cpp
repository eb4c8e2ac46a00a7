// The local service's request handling, without sockets: one request per
// input against one long-lived service, so sessions and the database carry
// state from one input to the next.
#include "service/http/httpmessage.h"
#include "service/http/httprequestreader.h"
#include "service/servicehandler.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace {

ServiceHandler &service()
{
    static int argc = 1;
    static char name[] = "fuzz_service";
    static char *argv[] = { name, nullptr };
    static QCoreApplication app(argc, argv);
    static QTemporaryDir dir;
    static std::unique_ptr<ServiceHandler> instance = [] {
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
    return *instance;
}

} // namespace

// Input: first byte picks method and path; then "name: value" header lines up
// to an empty line; the rest is the body. The same bytes also go, in two
// pieces, through the HTTP request reader as a connection's stream.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    static const char *const methods[] = { "POST", "GET", "DELETE", "PUT" };
    static const char *const paths[] = { "/mcp", "/auth/login", "/auth/validate", "/other" };
    ServiceRequest request;
    request.method = methods[data[0] & 3];
    request.path = paths[(data[0] >> 2) & 3];
    const QByteArray rest(reinterpret_cast<const char *>(data + 1), static_cast<qsizetype>(size - 1));
    const qsizetype split = rest.indexOf("\n\n");
    const QByteArray head = split < 0 ? QByteArray() : rest.left(split);
    request.body = split < 0 ? rest : rest.mid(split + 2);
    for (const QByteArray &line : head.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            request.headers.append(qMakePair(line.left(colon).trimmed(), line.mid(colon + 1).trimmed()));
    }
    if (!(data[0] & 0x10))
        request.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
    const ServiceResponse response = service().handle(request);
    if (response.status < 100 || response.status > 599)
        __builtin_trap();

    HttpRequestReader reader;
    const qsizetype half = rest.size() / 2;
    for (const QByteArray &piece : { rest.left(half), rest.mid(half) }) {
        reader.append(piece);
        HttpRequestReader::Status status;
        while ((status = reader.next()) == HttpRequestReader::Status::complete) {
            const ServiceRequest read = reader.take();
            if (read.body.size() > HttpRequestReader::kMaxBodyBytes)
                __builtin_trap();
            service().handle(read);
        }
        if (status == HttpRequestReader::Status::failed)
            break;
    }
    return 0;
}
