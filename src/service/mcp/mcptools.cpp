#include "service/mcp/mcptools.h"

#include "core/jsonwriter.h"
#include "service/common/textcheck.h"
#include "service/log/logwriter.h"
#include "service/log/receiptlog.h"

#include <optional>
#include <variant>

namespace {

constexpr int kMaxScopeLength = 200;

QString key(const char *name)
{
    return QString::fromLatin1(name);
}

QJsonObject toolResult(const QJsonObject &structured)
{
    return QJsonObject {
        { QStringLiteral("content"),
            QJsonArray { QJsonObject { { QStringLiteral("type"), QStringLiteral("text") },
                { QStringLiteral("text"), QString::fromUtf8(JsonWriter::compact(structured)) } } } },
        { QStringLiteral("structuredContent"), structured },
        { QStringLiteral("isError"), false },
    };
}

QJsonObject toolFailure(const QString &text)
{
    return QJsonObject {
        { QStringLiteral("content"),
            QJsonArray { QJsonObject {
                { QStringLiteral("type"), QStringLiteral("text") }, { QStringLiteral("text"), text } } } },
        { QStringLiteral("isError"), true },
    };
}

JsonRpc::Failure invalidParams(const QString &detail)
{
    return { JsonRpc::kInvalidParams, QStringLiteral("Invalid params: ") + detail };
}

// Reads string arguments; the first one of the wrong shape is remembered
// and answered as invalid params.
class Arguments {
public:
    explicit Arguments(const QJsonObject &arguments)
        : m_arguments(arguments)
    {
    }

    QString required(const char *name) { return read(name, true); }
    /// Empty when absent or null.
    QString optional(const char *name) { return read(name, false); }

    const std::optional<JsonRpc::Failure> &failure() const { return m_failure; }

private:
    QString read(const char *name, bool required)
    {
        const QJsonValue value = m_arguments.value(key(name));
        if (value.isString())
            return value.toString();
        if (!m_failure && (required || !(value.isUndefined() || value.isNull()))) {
            m_failure = invalidParams(value.isUndefined() && required
                    ? QStringLiteral("missing string argument %1").arg(key(name))
                    : QStringLiteral("argument %1 must be a string").arg(key(name)));
        }
        return {};
    }

    const QJsonObject &m_arguments;
    std::optional<JsonRpc::Failure> m_failure;
};

// 64 hexadecimal characters in either case, as lower case.
Expected<QString> normalisedDigest(const QString &text)
{
    if (text.size() != 64)
        return Error { QStringLiteral("Invalid sha256: expected 64 hexadecimal characters, got %1").arg(text.size()) };
    for (const QChar c : text) {
        const bool hex = (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            || (c >= QLatin1Char('a') && c <= QLatin1Char('f')) || (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
        if (!hex)
            return Error { QStringLiteral("Invalid sha256: only the hexadecimal characters 0-9 and a-f are allowed") };
    }
    return text.toLower();
}

// Scopes end up in exports and file names on the client side: no control
// characters, and a sane length.
std::optional<QString> scopeProblem(const QString &scope)
{
    if (scope.size() > kMaxScopeLength)
        return QStringLiteral("Invalid scope: at most %1 characters").arg(kMaxScopeLength);
    if (hasUnsafeCharacters(scope))
        return QStringLiteral("Invalid scope: control characters, format characters and line breaks are not allowed");
    return std::nullopt;
}

QJsonObject schema(const QJsonObject &properties, const QStringList &required)
{
    return QJsonObject {
        { QStringLiteral("type"), QStringLiteral("object") },
        { QStringLiteral("properties"), properties },
        { QStringLiteral("required"), QJsonArray::fromStringList(required) },
    };
}

QJsonObject property(const char *type, const QString &description)
{
    return QJsonObject { { QStringLiteral("type"), key(type) }, { QStringLiteral("description"), description } };
}

QJsonObject tool(const char *name, const QString &description, const QJsonObject &inputSchema, bool readOnly)
{
    return QJsonObject {
        { QStringLiteral("name"), key(name) },
        { QStringLiteral("description"), description },
        { QStringLiteral("inputSchema"), inputSchema },
        { QStringLiteral("annotations"),
            QJsonObject { { QStringLiteral("readOnlyHint"), readOnly }, { QStringLiteral("destructiveHint"), false },
                { QStringLiteral("idempotentHint"), true }, { QStringLiteral("openWorldHint"), false } } },
    };
}

QJsonArray hexList(const QList<QByteArray> &hashes)
{
    QJsonArray list;
    for (const QByteArray &hash : hashes)
        list.append(QString::fromLatin1(hash.toHex()));
    return list;
}

// An integer argument: nothing when absent or null, else its value or what
// is wrong with it.
std::variant<std::optional<qint64>, JsonRpc::Failure> integerArgument(const QJsonObject &arguments, const char *name)
{
    const QJsonValue value = arguments.value(key(name));
    if (value.isUndefined() || value.isNull())
        return std::optional<qint64>();
    if (!value.isDouble() || value.toDouble() != static_cast<double>(value.toInteger()))
        return invalidParams(QStringLiteral("argument %1 must be an integer").arg(key(name)));
    return std::optional<qint64>(value.toInteger());
}

QJsonObject receiptWith(const StoredReceipt &receipt, const Evidence &evidence)
{
    QJsonObject json = receipt.toJson();
    json.insert(QStringLiteral("evidence"), evidence.toJson());
    return json;
}

} // namespace

QString McpTools::defaultScope()
{
    return QStringLiteral("global");
}

QJsonArray McpTools::definitions()
{
    const QString digest = QStringLiteral("SHA-256 digest of the data, 64 hexadecimal characters (either case)");
    const QString wantScope = QStringLiteral("Only accept receipts of this scope; empty accepts any scope");
    const QString receiptId = QStringLiteral("Receipt identifier as returned by stamp");
    return QJsonArray {
        tool("stamp",
            QStringLiteral("Timestamp a SHA-256 digest in a scope. The digest becomes a leaf of the scope's "
                           "append-only Merkle tree; the receipt carries the creation time and the tree's root "
                           "after the append. A digest already stamped in the scope returns its existing receipt."),
            schema(QJsonObject { { QStringLiteral("sha256"), property("string", digest) },
                       { QStringLiteral("scope"),
                           property("string", QStringLiteral("Scope to stamp in; empty means \"global\"")) } },
                { QStringLiteral("sha256") }),
            false),
        tool("verify",
            QStringLiteral(
                "Check a receipt: valid is true when the service issued it, it is in the wanted scope "
                "and the Merkle tree still backs it. An unknown receipt gives valid false and receipt null."),
            schema(QJsonObject { { QStringLiteral("receipt_id"), property("string", receiptId) },
                       { QStringLiteral("want_scope"), property("string", wantScope) } },
                { QStringLiteral("receipt_id") }),
            true),
        tool("hash_report",
            QStringLiteral("List the receipts of a SHA-256 digest, newest first; past the service's limit "
                           "only the newest, with truncated true."),
            schema(QJsonObject { { QStringLiteral("sha256"), property("string", digest) },
                       { QStringLiteral("want_scope"), property("string", wantScope) } },
                { QStringLiteral("sha256") }),
            true),
        tool("proof",
            QStringLiteral("Inclusion proof of a receipt for checking it offline: the audit path from the leaf "
                           "SHA-256(0x00 || digest bytes) to the root, combining nodes as SHA-256(0x01 || left || "
                           "right), in the tree of tree_size leaves (default: the tree right after the receipt's "
                           "leaf, whose root is the receipt's merkle value)."),
            schema(QJsonObject { { QStringLiteral("receipt_id"), property("string", receiptId) },
                       { QStringLiteral("tree_size"),
                           property("integer",
                               QStringLiteral("Size of the tree to prove against, from the "
                                              "receipt's leaf index + 1 to the current size")) } },
                { QStringLiteral("receipt_id") }),
            true),
        tool("log_key",
            QStringLiteral("The log's Ed25519 public key (PEM) and its key id, the SHA-256 of its DER "
                           "SubjectPublicKeyInfo: what checks the signed tree heads in evidence."),
            schema(QJsonObject {}, {}), true),
        tool("tree_head", QStringLiteral("The latest signed tree head of a scope."),
            schema(QJsonObject { { QStringLiteral("scope"), property("string", QStringLiteral("The scope")) } },
                { QStringLiteral("scope") }),
            true),
        tool("consistency",
            QStringLiteral("Consistency proof (RFC 6962) that a scope's tree of second leaves extends its tree of "
                           "first leaves, 0 < first <= second <= the current size."),
            schema(QJsonObject { { QStringLiteral("scope"), property("string", QStringLiteral("The scope")) },
                       { QStringLiteral("first"), property("integer", QStringLiteral("The older tree size")) },
                       { QStringLiteral("second"), property("integer", QStringLiteral("The newer tree size")) } },
                { QStringLiteral("scope"), QStringLiteral("first"), QStringLiteral("second") }),
            true),
        tool("evidence",
            QStringLiteral("A receipt with the best evidence known now: its audit path to a signed tree head "
                           "and, once one exists, to the first head an authority timestamped."),
            schema(QJsonObject { { QStringLiteral("receipt_id"), property("string", receiptId) } },
                { QStringLiteral("receipt_id") }),
            true),
    };
}

RpcReply McpTools::call(const QString &name, const QJsonObject &arguments, const QString &user, qint64 nowMs)
{
    const auto now = [](RpcOutcome outcome) {
        if (auto *failure = std::get_if<JsonRpc::Failure>(&outcome))
            return RpcReply(std::move(*failure));
        return RpcReply(std::get<QJsonObject>(std::move(outcome)));
    };
    if (name == QLatin1String("stamp"))
        return stamp(arguments, user, nowMs);
    if (name == QLatin1String("verify"))
        return now(verify(arguments));
    if (name == QLatin1String("hash_report"))
        return now(hashReport(arguments));
    if (name == QLatin1String("proof"))
        return now(proof(arguments));
    if (name == QLatin1String("log_key"))
        return now(logKey());
    if (name == QLatin1String("tree_head"))
        return now(treeHead(arguments));
    if (name == QLatin1String("consistency"))
        return now(consistency(arguments));
    if (name == QLatin1String("evidence"))
        return now(evidence(arguments));
    return JsonRpc::Failure { JsonRpc::kMethodNotFound, QStringLiteral("Unknown tool: %1").arg(name.left(100)) };
}

RpcReply McpTools::stamp(const QJsonObject &arguments, const QString &user, qint64 nowMs)
{
    Arguments in(arguments);
    const QString sha256 = in.required("sha256");
    QString scope = in.optional("scope");
    if (in.failure())
        return *in.failure();

    const auto digest = normalisedDigest(sha256);
    if (!digest)
        return toolFailure(digest.error().description);
    if (scope.isEmpty())
        scope = defaultScope();
    if (const auto problem = scopeProblem(scope))
        return toolFailure(*problem);

    const PendingStamp pending { *digest, scope, user, nowMs };
    LogWriter *writer = &m_writer;
    return RpcReply::later([writer, pending](RpcReply::Deliver deliver) {
        writer->stamp(pending, [deliver](const Expected<StampOutcome> &outcome, const Expected<Evidence> &evidence) {
            if (!outcome)
                return deliver(toolFailure(QStringLiteral("Stamping failed: ") + outcome.error().description));
            // Kept, but without its evidence the answer would pass for an
            // old service's: say so; stamping again answers in full.
            if (!evidence) {
                return deliver(toolFailure(
                    QStringLiteral("Stamping failed: the receipt %1 was kept, but its evidence could not be read: %2")
                        .arg(outcome->receipt.receiptId, evidence.error().description)));
            }
            deliver(toolResult(QJsonObject {
                { QStringLiteral("receipts"), QJsonArray { receiptWith(outcome->receipt, *evidence) } } }));
        });
    });
}

Expected<QJsonArray> McpTools::withEvidence(const QList<StoredReceipt> &receipts)
{
    auto evidence = m_log.evidence(receipts);
    if (!evidence)
        return evidence.error();
    QJsonArray list;
    for (qsizetype i = 0; i < receipts.size(); ++i)
        list.append(receiptWith(receipts[i], evidence->at(i)));
    return list;
}

RpcOutcome McpTools::verify(const QJsonObject &arguments)
{
    Arguments in(arguments);
    const QString receiptId = in.required("receipt_id");
    const QString want = in.optional("want_scope");
    if (in.failure())
        return *in.failure();

    auto found = m_log.receipt(receiptId);
    if (!found)
        return toolFailure(QStringLiteral("Verification failed: ") + found.error().description);
    if (!found->has_value()) {
        return toolResult(QJsonObject { { QStringLiteral("valid"), false },
            { QStringLiteral("error"), QStringLiteral("Unknown receipt") },
            { QStringLiteral("receipt"), QJsonValue::Null } });
    }
    const StoredReceipt &receipt = **found;
    if (!want.isEmpty() && want != receipt.scope) {
        return toolResult(QJsonObject {
            { QStringLiteral("valid"), false },
            { QStringLiteral("error"),
                QStringLiteral("Scope mismatch: the receipt is in scope \"%1\", not \"%2\"").arg(receipt.scope, want) },
            { QStringLiteral("receipt"), receipt.toJson() },
        });
    }
    auto backed = m_log.matchesTree(receipt);
    if (!backed)
        return toolFailure(QStringLiteral("Verification failed: ") + backed.error().description);
    if (!*backed) {
        return toolResult(QJsonObject {
            { QStringLiteral("valid"), false },
            { QStringLiteral("error"), QStringLiteral("The receipt does not match the service's Merkle tree") },
            { QStringLiteral("receipt"), receipt.toJson() },
        });
    }
    const auto list = withEvidence({ receipt });
    if (!list)
        return toolFailure(QStringLiteral("Verification failed: ") + list.error().description);
    return toolResult(QJsonObject { { QStringLiteral("valid"), true }, { QStringLiteral("receipt"), list->first() } });
}

RpcOutcome McpTools::hashReport(const QJsonObject &arguments)
{
    Arguments in(arguments);
    const QString sha256 = in.required("sha256");
    const QString want = in.optional("want_scope");
    if (in.failure())
        return *in.failure();
    const auto digest = normalisedDigest(sha256);
    if (!digest)
        return toolFailure(digest.error().description);

    // One more than is answered tells whether there are more.
    auto receipts = m_log.receiptsForHash(*digest, want, m_maxReportReceipts + 1);
    if (!receipts)
        return toolFailure(QStringLiteral("Hash report failed: ") + receipts.error().description);
    const auto list = withEvidence(receipts->mid(0, m_maxReportReceipts));
    if (!list)
        return toolFailure(QStringLiteral("Hash report failed: ") + list.error().description);
    QJsonObject report { { QStringLiteral("receipts"), *list } };
    if (receipts->size() > m_maxReportReceipts)
        report.insert(QStringLiteral("truncated"), true);
    return toolResult(report);
}

RpcOutcome McpTools::proof(const QJsonObject &arguments)
{
    Arguments in(arguments);
    const QString receiptId = in.required("receipt_id");
    if (in.failure())
        return *in.failure();
    const auto size = integerArgument(arguments, "tree_size");
    if (const auto *failure = std::get_if<JsonRpc::Failure>(&size))
        return *failure;
    const std::optional<qint64> sizeGiven = std::get<std::optional<qint64>>(size);

    auto found = m_log.receipt(receiptId);
    if (!found)
        return toolFailure(QStringLiteral("Proof failed: ") + found.error().description);
    if (!found->has_value())
        return toolFailure(QStringLiteral("Unknown receipt"));
    const StoredReceipt &receipt = **found;
    auto currentSize = m_log.treeSize(receipt.scope);
    if (!currentSize)
        return toolFailure(QStringLiteral("Proof failed: ") + currentSize.error().description);
    const qint64 treeSize = sizeGiven.value_or(receipt.leafIndex + 1);
    if (treeSize <= receipt.leafIndex || treeSize > *currentSize) {
        return toolFailure(QStringLiteral("Invalid tree_size: this receipt can be proven in trees of %1 to %2 leaves")
                               .arg(receipt.leafIndex + 1)
                               .arg(*currentSize));
    }
    auto proof = m_log.proof(receipt, treeSize);
    if (!proof)
        return toolFailure(QStringLiteral("Proof failed: ") + proof.error().description);
    return toolResult(QJsonObject {
        { QStringLiteral("receipt"), receipt.toJson() },
        { QStringLiteral("leaf_index"), receipt.leafIndex },
        { QStringLiteral("tree_size"), treeSize },
        { QStringLiteral("leaf_hash"), QString::fromLatin1(proof->leafHash.toHex()) },
        { QStringLiteral("audit_path"), hexList(proof->path) },
        { QStringLiteral("root"), QString::fromLatin1(proof->root.toHex()) },
    });
}

RpcOutcome McpTools::logKey() const
{
    return toolResult(QJsonObject {
        { QStringLiteral("key_id"), m_key.keyId() },
        { QStringLiteral("public_key"), QString::fromLatin1(m_key.pem()) },
        { QStringLiteral("algorithm"), QStringLiteral("Ed25519") },
    });
}

RpcOutcome McpTools::treeHead(const QJsonObject &arguments)
{
    Arguments in(arguments);
    const QString scope = in.required("scope");
    if (in.failure())
        return *in.failure();
    const auto head = m_log.latestHead(scope);
    if (!head)
        return toolFailure(QStringLiteral("Reading the tree head failed: ") + head.error().description);
    if (!head->has_value())
        return toolFailure(QStringLiteral("No signed tree head: the scope holds no stamps"));
    return toolResult((*head)->toJson());
}

RpcOutcome McpTools::consistency(const QJsonObject &arguments)
{
    Arguments in(arguments);
    const QString scope = in.required("scope");
    if (in.failure())
        return *in.failure();
    qint64 sizes[2] = {};
    const char *names[2] = { "first", "second" };
    for (int i = 0; i < 2; ++i) {
        const auto value = integerArgument(arguments, names[i]);
        if (const auto *failure = std::get_if<JsonRpc::Failure>(&value))
            return *failure;
        const auto given = std::get<std::optional<qint64>>(value);
        if (!given)
            return invalidParams(QStringLiteral("missing integer argument %1").arg(key(names[i])));
        sizes[i] = *given;
    }
    const auto current = m_log.treeSize(scope);
    if (!current)
        return toolFailure(QStringLiteral("Consistency proof failed: ") + current.error().description);
    if (sizes[0] < 1 || sizes[0] > sizes[1] || sizes[1] > *current) {
        return toolFailure(
            QStringLiteral("Invalid tree sizes: need 0 < first <= second <= %1, the size of the tree").arg(*current));
    }
    const auto proof = m_log.consistency(scope, sizes[0], sizes[1]);
    if (!proof)
        return toolFailure(QStringLiteral("Consistency proof failed: ") + proof.error().description);
    return toolResult(QJsonObject {
        { QStringLiteral("scope"), scope },
        { QStringLiteral("first"), sizes[0] },
        { QStringLiteral("second"), sizes[1] },
        { QStringLiteral("proof"), hexList(*proof) },
    });
}

RpcOutcome McpTools::evidence(const QJsonObject &arguments)
{
    Arguments in(arguments);
    const QString receiptId = in.required("receipt_id");
    if (in.failure())
        return *in.failure();
    const auto found = m_log.receipt(receiptId);
    if (!found)
        return toolFailure(QStringLiteral("Reading the evidence failed: ") + found.error().description);
    if (!found->has_value())
        return toolFailure(QStringLiteral("Unknown receipt"));
    const auto list = withEvidence({ **found });
    if (!list)
        return toolFailure(QStringLiteral("Reading the evidence failed: ") + list.error().description);
    return toolResult(QJsonObject { { QStringLiteral("receipt"), list->first() } });
}
