#include "service/mcp/mcptools.h"

#include "core/jsonwriter.h"
#include "service/common/textcheck.h"
#include "service/log/receiptlog.h"

#include <optional>

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
    };
}

RpcOutcome McpTools::call(const QString &name, const QJsonObject &arguments, const QString &user, qint64 nowMs)
{
    if (name == QLatin1String("stamp"))
        return stamp(arguments, user, nowMs);
    if (name == QLatin1String("verify"))
        return verify(arguments);
    if (name == QLatin1String("hash_report"))
        return hashReport(arguments);
    if (name == QLatin1String("proof"))
        return proof(arguments);
    return JsonRpc::Failure { JsonRpc::kMethodNotFound, QStringLiteral("Unknown tool: %1").arg(name.left(100)) };
}

RpcOutcome McpTools::stamp(const QJsonObject &arguments, const QString &user, qint64 nowMs)
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

    auto outcome = m_log.stamp(*digest, scope, user, nowMs);
    if (!outcome)
        return toolFailure(QStringLiteral("Stamping failed: ") + outcome.error().description);
    return toolResult(QJsonObject { { QStringLiteral("receipts"), QJsonArray { outcome->receipt.toJson() } } });
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
    return toolResult(
        QJsonObject { { QStringLiteral("valid"), true }, { QStringLiteral("receipt"), receipt.toJson() } });
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
    QJsonArray list;
    for (const StoredReceipt &receipt : receipts->mid(0, m_maxReportReceipts))
        list.append(receipt.toJson());
    QJsonObject report { { QStringLiteral("receipts"), list } };
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
    const QJsonValue sizeValue = arguments.value(QStringLiteral("tree_size"));
    const bool sizeGiven = !sizeValue.isUndefined() && !sizeValue.isNull();
    if (sizeGiven && (!sizeValue.isDouble() || sizeValue.toDouble() != static_cast<double>(sizeValue.toInteger())))
        return invalidParams(QStringLiteral("argument tree_size must be an integer"));

    auto found = m_log.receipt(receiptId);
    if (!found)
        return toolFailure(QStringLiteral("Proof failed: ") + found.error().description);
    if (!found->has_value())
        return toolFailure(QStringLiteral("Unknown receipt"));
    const StoredReceipt &receipt = **found;
    auto currentSize = m_log.treeSize(receipt.scope);
    if (!currentSize)
        return toolFailure(QStringLiteral("Proof failed: ") + currentSize.error().description);
    const qint64 treeSize = sizeGiven ? sizeValue.toInteger() : receipt.leafIndex + 1;
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
