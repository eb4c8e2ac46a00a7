#pragma once

#include "cli/cli.h"
#include "core/expected.h"

#include <QByteArray>
#include <QList>

/// "evidence update [FILE…]", "evidence export FILE --out NAME.json" and
/// "key accept URL": the signed log's evidence and the log keys the client
/// trusts.
namespace EvidenceCommands {

/// The PEM text of the CA file at path, as a list of one; for an empty path
/// OfflineVerifier::configuredCas(); or why it cannot be used.
Expected<QList<QByteArray>> trustedCas(const QString &path);

/// "Log key of URL: <key id> (pinned …)", or that none is pinned yet.
QString pinnedKeyLine(const QString &url);

QCoro::Task<int> evidence(QStringList args, CliIo io);
QCoro::Task<int> key(QStringList args, CliIo io);

} // namespace EvidenceCommands
