#include "cli/evidencecommands.h"

#include "auth/tokensource.h"
#include "core/filehasher.h"
#include "core/jsonwriter.h"
#include "core/text.h"
#include "evidence/evidencecheck.h"
#include "evidence/evidenceexport.h"
#include "evidence/logpublickey.h"
#include "export/exportactions.h"
#include "mcp/mcpclient.h"
#include "mcp/offlineverifier.h"
#include "storage/configstore.h"
#include "storage/evidencefiles.h"
#include "storage/nivetpaths.h"
#include "storage/receiptstore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace EvidenceCommands {

namespace {

const QCommandLineOption kOut(u"out"_s, u"Write the document to NAME.json."_s, u"NAME.json"_s);
const QCommandLineOption kTsaCa(
    u"tsa-ca"_s, u"Add the CA certificates in PEM, the authorities' CAs you trust, to the document."_s, u"PEM"_s);
const QCommandLineOption kKey(u"key"_s, u"Pin the public key in PEM (as the operator gave it) instead."_s, u"PEM"_s);

// The file's digest, or why it cannot be had.
Expected<QString> digestOf(const QString &path)
{
    auto digest = FileHasher::sha256Hex(path);
    if (!digest)
        return Error { u"%1: %2"_s.arg(path, digest.error().description) };
    return digest;
}

// One digest to update: what to call it, and its digest.
struct Target {
    QString name;
    QString sha256;
};

// Every digest with a receipt record, when no file is named.
QList<Target> keptDigests()
{
    static const QRegularExpression hex(u"^[0-9a-f]{64}$"_s);
    QList<Target> targets;
    const QStringList names = QDir(NivetPaths::receiptsDirectory()).entryList({ u"*.json"_s }, QDir::Files);
    for (const QString &name : names) {
        const QString digest = name.chopped(5);
        if (hex.match(digest).hasMatch())
            targets.append({ digest, digest });
    }
    return targets;
}

QCoro::Task<int> update(QStringList args, CliIo io)
{
    QCommandLineParser parser;
    const Cli::CommandLine line { u"evidence update [FILE...]"_s,
        u"Ask the service for anchored evidence of the receipts that lack it (all receipts when no file is named)."_s,
        {} };
    if (const auto done = Cli::parseCommand(parser, line, args, io))
        co_return *done;
    QList<Target> targets;
    for (const QString &file : parser.positionalArguments()) {
        const QString path = QDir::cleanPath(QFileInfo(file).absoluteFilePath());
        auto digest = digestOf(path);
        if (!digest)
            co_return Cli::fail(io, digest.error().description);
        targets.append({ path, *digest });
    }
    if (targets.isEmpty())
        targets = keptDigests();
    if (targets.isEmpty()) {
        io.out << u"No receipts are kept, so there is no evidence to update.\n"_s;
        co_return Cli::kExitOk;
    }

    const ConfigStore config;
    MCPClient client(config.defaults().url, std::make_shared<TokenSource>());
    int status = Cli::kExitOk;
    const auto say = [&io](const Target &t, const QString &receiptId, const QString &outcome) {
        io.out << Cli::inert(u"%1  %2  %3"_s.arg(t.name, receiptId, outcome)) << u'\n';
        io.out.flush();
    };
    for (const Target &target : targets) {
        const auto record = ReceiptStore::read(target.sha256);
        if (!record || record->receipts.isEmpty()) {
            say(target, u"-"_s, u"Not found: no receipt is kept for this file"_s);
            status = Cli::kExitFailure;
            continue;
        }
        const auto kept = EvidenceStore::read(target.sha256);
        for (const Receipt &receipt : record->receipts) {
            const QString id = receipt.receiptId.value_or(QString());
            if (id.isEmpty())
                continue;
            const bool anchored = kept && std::any_of(kept->cbegin(), kept->cend(), [&](const EvidenceItem &item) {
                return item.receiptId == id && item.anchored();
            });
            if (anchored) {
                say(target, id, u"Anchored already"_s);
                continue;
            }
            auto updating = client.updateEvidence(target.sha256, id);
            const auto updated = co_await updating;
            if (!updated) {
                status = Cli::kExitFailure;
                const QString why = updated.error().description;
                say(target, id, why.startsWith(MCPClient::kEvidenceMismatch) ? why : u"Error: "_s + why);
            } else {
                say(target, id, *updated ? u"Anchored"_s : u"Not anchored yet"_s);
            }
            if (const auto halt = client.halted())
                co_return Cli::fail(io, *halt);
        }
    }
    co_return status;
}

QCoro::Task<int> exportDocument(QStringList args, CliIo io)
{
    QCommandLineParser parser;
    const Cli::CommandLine line { u"evidence export [options] FILE"_s,
        u"Write the file's evidence as one self-contained document that standard tools can check."_s,
        { kOut, kTsaCa } };
    if (const auto done = Cli::parseCommand(parser, line, args, io))
        co_return *done;
    if (parser.positionalArguments().size() != 1)
        co_return Cli::usageError(io, u"evidence: export takes one file"_s);
    if (parser.value(kOut).isEmpty())
        co_return Cli::usageError(io, u"evidence: export needs --out NAME.json"_s);
    const auto cas = trustedCas(parser.value(kTsaCa));
    if (!cas)
        co_return Cli::fail(io, cas.error().description);
    const QString path = QDir::cleanPath(QFileInfo(parser.positionalArguments().constFirst()).absoluteFilePath());
    const auto digest = digestOf(path);
    if (!digest)
        co_return Cli::fail(io, digest.error().description);
    const auto items = EvidenceStore::read(*digest);
    if (!items)
        co_return Cli::fail(io, items.error().description);
    if (items->isEmpty())
        co_return Cli::fail(
            io, u"No evidence is kept for %1 (register it, or nivet-timestamp evidence update)"_s.arg(path));
    // The anchored evidence, when there is one: it carries the independent clock.
    EvidenceItem item = items->constFirst();
    for (const EvidenceItem &candidate : *items) {
        if (candidate.anchored()) {
            item = candidate;
            break;
        }
    }
    const auto evidence = Evidence::fromJson(item.evidence);
    const auto checked
        = evidence ? checkEvidence(*digest, *evidence, item.publicKey) : Expected<EvidenceCheck>(evidence.error());
    if (!checked)
        co_return Cli::fail(io, MCPClient::kEvidenceMismatch + checked.error().description);

    Receipt receipt;
    if (const auto record = ReceiptStore::read(*digest)) {
        for (const Receipt &r : record->receipts) {
            if (r.receiptId == item.receiptId)
                receipt = r;
        }
    }
    receipt.extra = {};
    if (!receipt.receiptId)
        co_return Cli::fail(io, u"The receipt %1 of this evidence is not kept"_s.arg(item.receiptId));
    const auto document = EvidenceExport::document(
        QFileInfo(path).fileName(), *digest, receipt.toJson(), item.publicKey, *evidence, *cas);
    if (!document)
        co_return Cli::fail(io, document.error().description);
    if (const auto written = writeExportFile(parser.value(kOut), JsonWriter::pretty(*document)); !written)
        co_return Cli::fail(io, u"The document was not written: "_s + written.error().description);
    io.out << Cli::inert(u"Exported the evidence of %1 (log key %2, %3) → %4\n"_s.arg(Text::lastPathComponent(path),
        checked->keyId, checked->anchored ? u"anchored"_s : u"not anchored yet"_s, parser.value(kOut)));
    co_return Cli::kExitOk;
}

QCoro::Task<int> accept(QStringList args, CliIo io)
{
    QCommandLineParser parser;
    const Cli::CommandLine line { u"key accept [options] URL"_s,
        u"Trust the log key the service at URL signs with now (or the one in PEM), replacing any pinned before."_s,
        { kKey } };
    if (const auto done = Cli::parseCommand(parser, line, args, io))
        co_return *done;
    if (parser.positionalArguments().size() != 1)
        co_return Cli::usageError(io, u"key: accept takes one URL"_s);
    const QString url = parser.positionalArguments().constFirst();
    if (!MCPClient::isUsableEndpoint(url))
        co_return Cli::fail(io, u"Invalid MCP URL: \"%1\" is not an http or https URL"_s.arg(url));
    MCPClient client(url, std::make_shared<TokenSource>());
    const QString service = client.url().toString();
    PinnedKey offered;
    if (parser.isSet(kKey)) {
        QFile file(parser.value(kKey));
        if (!file.open(QIODevice::ReadOnly))
            co_return Cli::fail(io, u"Cannot read %1: %2"_s.arg(file.fileName(), file.errorString()));
        const auto key = LogPublicKey::fromPem(file.readAll());
        if (!key)
            co_return Cli::fail(io, u"%1: %2"_s.arg(file.fileName(), key.error().description));
        offered = { key->keyId(), key->pem(), {} };
    } else {
        auto fetching = client.fetchLogKey();
        auto fetched = co_await fetching;
        if (!fetched)
            co_return Cli::fail(io, fetched.error().description);
        offered = *fetched;
    }
    const QString before = pinnedKeyLine(url);
    const auto pinned = LogKeyPins::accept(service, offered.keyId, offered.publicKey);
    if (!pinned)
        co_return Cli::fail(io, u"The key was not pinned: "_s + pinned.error().describe());
    io.out << Cli::inert(u"Was: %1\nNow: %2\n"_s.arg(before, pinnedKeyLine(url)));
    co_return Cli::kExitOk;
}

} // namespace

Expected<QList<QByteArray>> trustedCas(const QString &path)
{
    if (path.isEmpty())
        return OfflineVerifier::configuredCas();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Error { u"Cannot read %1: %2"_s.arg(path, file.errorString()) };
    const QByteArray pem = file.readAll();
    if (!pem.contains("-----BEGIN CERTIFICATE-----"))
        return Error { u"%1 holds no PEM certificate"_s.arg(path) };
    return QList { pem };
}

QString pinnedKeyLine(const QString &url)
{
    const QString service = MCPClient(url).url().toString();
    return u"Log key of %1: %2"_s.arg(service, LogKeyPins::summary(service));
}

QCoro::Task<int> evidence(QStringList args, CliIo io)
{
    const QString sub = args.isEmpty() ? QString() : args.takeFirst();
    if (sub == "update"_L1) {
        auto running = update(args, io);
        co_return co_await running;
    }
    if (sub == "export"_L1) {
        auto running = exportDocument(args, io);
        co_return co_await running;
    }
    co_return Cli::usageError(io, u"evidence: say update or export"_s);
}

QCoro::Task<int> key(QStringList args, CliIo io)
{
    const QString sub = args.isEmpty() ? QString() : args.takeFirst();
    if (sub == "accept"_L1) {
        auto running = accept(args, io);
        co_return co_await running;
    }
    co_return Cli::usageError(io, u"key: say accept"_s);
}

} // namespace EvidenceCommands
