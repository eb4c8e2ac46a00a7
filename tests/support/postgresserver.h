#pragma once

#include <QSqlDatabase>
#include <QString>

/// The PostgreSQL server of a test or benchmark run: the program runs itself
/// again under Debian's pg_virtualenv (postgresql-common), which makes a
/// throw-away cluster in a temporary folder (its server running as postgres
/// when we are root), names it in PGPORT, PGUSER and PGPASSWORD, and drops it
/// when the program ends.
namespace PostgresServer {

/// Runs the program again under pg_virtualenv at a free port, without fsync
/// unless durable; returns when already under it, or when pg_virtualenv is
/// missing (then available() is false).
void runUnderVirtualenv(char **argv, bool durable = false);
bool available();
quint16 port();
/// Restarts the server, cutting its connections; what went wrong, or an empty text.
QString restart();
/// A new empty database; its postgresql:// URL with the password, or an empty text.
QString createDatabase(const QString &name);
/// A Qt connection of this name to the database, opened (or not: see isOpen).
QSqlDatabase open(const QString &connection, const QString &database);

} // namespace PostgresServer
