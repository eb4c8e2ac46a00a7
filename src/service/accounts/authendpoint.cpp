#include "service/accounts/authendpoint.h"

#include "service/accounts/passwordhash.h"
#include "service/accounts/userdirectory.h"
#include "service/common/clock.h"

#include <QJsonDocument>
#include <QJsonObject>

ServiceResponse unauthorized(const QString &text, bool invalidToken)
{
    return ServiceResponse::text(401, text).withHeader("WWW-Authenticate",
        invalidToken ? QByteArray("Bearer realm=\"nivet-stampd\", error=\"invalid_token\"")
                     : QByteArray("Bearer realm=\"nivet-stampd\""));
}

std::optional<TokenClaims> AuthEndpoint::authenticate(const QByteArray &token, qint64 nowMs)
{
    if (token.isEmpty())
        return std::nullopt;
    auto claims = m_signer.verify(token, nowMs);
    if (!claims)
        return std::nullopt;
    // A removed user's tokens die with the account, and every token issued
    // before a password change dies with the old password.
    auto user = m_users.user(claims->username);
    if (!user || !user->has_value() || (*user)->generation != claims->generation)
        return std::nullopt;
    TokenClaims current = *claims;
    current.role = (*user)->role;
    return current;
}

ServiceReply AuthEndpoint::login(const ServiceRequest &request, qint64 nowMs)
{
    const QJsonObject body = QJsonDocument::fromJson(request.body).object();
    const QJsonValue username = body.value(QStringLiteral("username"));
    const QJsonValue password = body.value(QStringLiteral("password"));
    if (!username.isString() || !password.isString() || username.toString().isEmpty()
        || password.toString().isEmpty()) {
        return ServiceResponse::text(400, QStringLiteral("Send a JSON object with the strings username and password"));
    }
    if (password.toString().toUtf8().size() > m_limits.maxPasswordBytes) {
        return ServiceResponse::text(
            400, QStringLiteral("The password is longer than %1 bytes").arg(m_limits.maxPasswordBytes));
    }
    auto user = m_users.user(username.toString());
    if (!user)
        return ServiceResponse::text(500, user.error().description);
    const auto refused = [] { return ServiceResponse::text(401, QStringLiteral("Invalid user name or password")); };
    if (!user->has_value()) {
        return ServiceReply([refused, password = password.toString(), iterations = m_limits.unknownUserIterations] {
            PasswordHash::burn(password, iterations);
            return refused();
        });
    }
    // Copies only: this runs on another thread while the service goes on.
    return ServiceReply([refused, password = password.toString(), record = **user, signer = m_signer,
                            ttl = m_limits.tokenTtlMs, nowMs] {
        if (!PasswordHash::verify(password, record.passwordHash))
            return refused();
        const IssuedToken issued = signer.issue(record.username, record.role, record.generation, nowMs, ttl);
        return ServiceResponse::json(200,
            QJsonObject {
                { QStringLiteral("token"), QString::fromLatin1(issued.token) },
                { QStringLiteral("tokenType"), QStringLiteral("Bearer") },
                { QStringLiteral("expiresAt"), isoTimestamp(issued.expiresAtMs) },
                { QStringLiteral("expiresIn"), (issued.expiresAtMs - nowMs) / 1000 },
                { QStringLiteral("user"),
                    QJsonObject {
                        { QStringLiteral("username"), record.username }, { QStringLiteral("role"), record.role } } },
            });
    });
}

ServiceResponse AuthEndpoint::validate(const ServiceRequest &request, qint64 nowMs)
{
    const QByteArray token = request.bearerToken();
    if (token.isEmpty())
        return unauthorized(QStringLiteral("Missing bearer token"), false);
    const auto claims = authenticate(token, nowMs);
    if (!claims)
        return unauthorized(QStringLiteral("Invalid or expired token"), true);
    return ServiceResponse::json(200,
        QJsonObject {
            { QStringLiteral("valid"), true },
            { QStringLiteral("expiresAt"), isoTimestamp(claims->expiresAtMs) },
            { QStringLiteral("user"),
                QJsonObject {
                    { QStringLiteral("username"), claims->username }, { QStringLiteral("role"), claims->role } } },
        });
}
