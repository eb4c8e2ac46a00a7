#pragma once

#include "service/accounts/passwordhash.h"

#include <QList>
#include <QString>
#include <QUrl>

/// How a service instance behaves. Every limit is here with its default,
/// and each is a flag of nivet-stampd (ServiceCommand) and a row of the
/// README's table of limits.
struct ServiceOptions {
    QString dataDir;
    bool eventStream = false;
    bool requireAuth = false;
    qint64 tokenTtlMs = 60 * 60 * 1000;

    // Connections (the HTTP server).
    /// Open connections; past this the one idle the longest is closed, or newcomers wait.
    int maxConnections = 512;
    /// Open connections from one client address; 0 leaves only the cap in all.
    int maxConnectionsPerAddress = 0;
    /// Memory of one connection; the request head must fit in about half of it.
    qsizetype connectionMemory = 32 * 1024;
    /// Time for a whole request to arrive, and the longest silence while a reply goes out.
    qint64 idleTimeoutMs = 30'000;
    /// A request body; a login's is limited by the password limit instead.
    qsizetype maxBodyBytes = 1024 * 1024;

    // Logins: each costs a deliberate password hash on a worker.
    /// A password (UTF-8); longer ones are refused before any hashing. A
    /// login's body may be 8 KiB plus 8 times this (JSON escapes).
    qsizetype maxPasswordBytes = 1024;
    /// Logins waiting for a worker or being worked on, in all and from one address.
    int maxQueuedLogins = 32;
    int maxQueuedLoginsPerAddress = 8;

    // MCP requests.
    qsizetype maxBatchMessages = 100;
    /// The replies to one POST together (a client reads at most 16 MiB).
    qsizetype maxReplyBytes = 16 * 1024 * 1024;
    /// The receipts one hash_report answers with, the newest.
    qsizetype maxReportReceipts = 100;

    // MCP sessions.
    qint64 sessionTtlMs = 15 * 60 * 1000;
    int maxSessions = 10'000;
    /// Per user; the anonymous clients of one address count as one user.
    int maxSessionsPerUser = 1'000;

    // The log.
    /// Stamps in one commit (one transaction, one flush, one signed head per
    /// scope); more wait for the next. 1 writes each stamp alone.
    int maxCommitStamps = 1000;
    /// RFC 3161 authorities asked for tokens over the signed tree heads.
    QList<QUrl> tsaUrls;
    /// The least time between two rounds of asking them.
    qint64 tsaIntervalMs = 60'000;

    /// PBKDF2 work for a login by an unknown user; only a fuzzer lowers it.
    int unknownUserIterations = PasswordHash::kDefaultIterations;
};
