#pragma once

#include "core/resultmodel.h"

#include <QCoro/QCoroTask>
#include <QString>

#include <optional>

/// What a batch run needs from the stamping service: one row per file. The
/// core declares it so that it stays free of the network layer; MCPClient
/// implements it.
class StampingClient {
public:
    virtual ~StampingClient() = default;

    /// Stamps sha256 in scope and keeps the receipts. Never fails: a failure
    /// comes back as a row of kind error.
    virtual QCoro::Task<FileResult> registerFile(QString path, QString sha256, QString scope) = 0;

    /// Asks whether the service vouches for sha256. Never fails: a failure
    /// comes back as a row of kind error (or not found).
    virtual QCoro::Task<FileResult> verify(QString path, QString sha256, QString scope) = 0;

    /// Why the run must end now, after the row just given (a signed log that
    /// was forked or rewritten); nothing while it may go on.
    virtual std::optional<QString> halted() const { return std::nullopt; }
};
