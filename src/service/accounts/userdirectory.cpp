#include "service/accounts/userdirectory.h"

#include "service/common/clock.h"
#include "service/db/servicedatabase.h"

#include <QVariant>

Expected<bool> UserDirectory::putUser(const UserRecord &user, qint64 nowMs)
{
    const QString what = QStringLiteral("saving a user");
    ServiceDatabase::Transaction transaction(m_database);
    if (auto begun = transaction.begin(); !begun)
        return begun.error();
    auto existing = m_database.query(what, QStringLiteral("SELECT 1 FROM users WHERE username = ?"), { user.username });
    if (!existing)
        return existing.error();
    const bool isNew = !existing.value().next();
    const QString now = isoTimestamp(nowMs);
    auto saved = isNew ? m_database.query(what,
                     QStringLiteral("INSERT INTO users (username, role, password_hash, created_at, updated_at) "
                                    "VALUES (?, ?, ?, ?, ?)"),
                     { user.username, user.role, user.passwordHash, now, now })
                       : m_database.query(what,
                           QStringLiteral("UPDATE users SET role = ?, password_hash = ?, generation = generation + 1, "
                                          "updated_at = ? WHERE username = ?"),
                           { user.role, user.passwordHash, now, user.username });
    if (!saved)
        return saved.error();
    if (auto committed = transaction.commit(); !committed)
        return committed.error();
    return isNew;
}

Expected<std::optional<UserRecord>> UserDirectory::user(const QString &username)
{
    auto query = m_database.query(QStringLiteral("looking up a user"),
        QStringLiteral("SELECT username, role, password_hash, generation FROM users WHERE username = ?"), { username });
    if (!query)
        return query.error();
    if (!query.value().next())
        return std::optional<UserRecord>();
    return std::optional<UserRecord>(UserRecord { query.value().value(0).toString(), query.value().value(1).toString(),
        query.value().value(2).toString(), query.value().value(3).toLongLong() });
}
