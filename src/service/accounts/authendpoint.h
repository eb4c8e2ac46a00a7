#pragma once

#include "service/accounts/passwordhash.h"
#include "service/accounts/tokensigner.h"
#include "service/http/httpmessage.h"

#include <optional>

class UserDirectory;

/// The Auth API: POST /auth/login turns a user name and password into a
/// bearer token; GET /auth/validate says whether a token is still good.
class AuthEndpoint {
public:
    struct Limits {
        qint64 tokenTtlMs = 60 * 60 * 1000;
        /// Longer passwords are refused before any hashing.
        qsizetype maxPasswordBytes = 1024;
        /// The PBKDF2 work spent on a login for a user who does not exist, so
        /// that timing does not tell which users do.
        int unknownUserIterations = PasswordHash::kDefaultIterations;
    };

    AuthEndpoint(UserDirectory &users, TokenSigner signer, Limits limits)
        : m_users(users)
        , m_signer(std::move(signer))
        , m_limits(limits)
    {
    }

    /// The password check is the work of the reply: it takes deliberate time.
    ServiceReply login(const ServiceRequest &request, qint64 nowMs);
    ServiceResponse validate(const ServiceRequest &request, qint64 nowMs);

    /// The claims of a token that is valid now and names a user who still
    /// exists and has not changed the password since, with that user's
    /// current role; nothing otherwise.
    std::optional<TokenClaims> authenticate(const QByteArray &token, qint64 nowMs);

    const TokenSigner &signer() const { return m_signer; }

private:
    UserDirectory &m_users;
    TokenSigner m_signer;
    Limits m_limits;
};

/// A 401 reply with a short text and the Bearer challenge.
ServiceResponse unauthorized(const QString &text, bool invalidToken);
