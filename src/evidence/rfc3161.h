#pragma once

#include "core/expected.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

/// Timestamps by an independent authority (RFC 3161), over the bytes of a
/// signed tree head. Error texts are lower-case clauses that can follow
/// "Evidence does not match: " or "Timestamp from <URL> failed: ".
namespace Rfc3161 {

/// A TimeStampReq and what its reply must match.
struct Request {
    QByteArray der; // the body to POST as application/timestamp-query
    QByteArray imprint; // SHA-256 of the message
    quint64 nonce = 0;
};

/// A request (version 1) for message: SHA-256 imprint, a random 64-bit
/// nonce, certReq TRUE, no policy, no extensions.
Expected<Request> request(const QByteArray &message);

/// The DER TimeStampToken inside a TimeStampResp (application/timestamp-reply
/// body), once the authority granted it and it answers request (same nonce,
/// same SHA-256 imprint). Its signature is not checked here: that needs the
/// authority's CA (tokenCheck).
Expected<QByteArray> tokenFromResponse(const QByteArray &response, const Request &request);

/// Who vouched for a time, and which.
struct TokenCheck {
    QString authority; // the signer certificate's subject, one-line form ("C = DE, O = …, CN = …")
    QDateTime time; // genTime, UTC
};

/// Checks a DER TimeStampToken over message: its imprint is SHA-256 of
/// message, its signature verifies, and its signer certificate (carried in
/// the token) has the critical extended key usage timeStamping and chains to
/// one of trustedCaPems (PEM texts, each may hold several certificates), or
/// with none given to the system's CA store. The chain is checked at the
/// token's own time, so a token stays checkable after its authority's
/// certificate expired.
Expected<TokenCheck> checkToken(
    const QByteArray &token, const QByteArray &message, const QList<QByteArray> &trustedCaPems);

/// The certificates a token carries (the authority's, and any chain it
/// sent), as PEM texts.
Expected<QList<QByteArray>> certificates(const QByteArray &token);

} // namespace Rfc3161
