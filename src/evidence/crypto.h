#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <memory>

/// Small pieces over OpenSSL that the evidence code shares.
namespace Crypto {

template<auto Free> struct Deleter {
    template<typename T> void operator()(T *object) const { Free(object); }
};

/// An OpenSSL object that its own free function releases.
template<typename T, auto Free> using Handle = std::unique_ptr<T, Deleter<Free>>;

/// SHA-256 of data (32 bytes).
QByteArray sha256(QByteArrayView data);

/// The reason of the first error OpenSSL queued on this thread, in its own
/// words ("unsupported"), or "unknown error"; the queue is emptied, so a
/// failure never leaks into the next call's report.
QString takeError();

} // namespace Crypto
