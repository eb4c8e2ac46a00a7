#pragma once

#include "core/expected.h"

#include <QString>

#include <optional>

class ServiceDatabase;

/// An Auth API account.
struct UserRecord {
    QString username;
    QString role;
    QString passwordHash; // PasswordHash encoding
    qint64 generation = 0; // raised by every change of the password; tokens of older ones are void
};

/// The Auth API's accounts, in the service's database.
class UserDirectory {
public:
    explicit UserDirectory(ServiceDatabase &database)
        : m_database(database)
    {
    }

    /// Adds the user, or replaces role and password of an existing one and
    /// raises its generation (user.generation is ignored). Returns true when the user is new.
    Expected<bool> putUser(const UserRecord &user, qint64 nowMs);
    Expected<std::optional<UserRecord>> user(const QString &username);

private:
    ServiceDatabase &m_database;
};
