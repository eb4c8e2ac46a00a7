// The service's logic, in process: Merkle tree, session table, password
// hashes, and the MCP and Auth API requests as the HTTP layer hands them over.
#include "service/servicehandler.h"

#include "evidence/evidencecheck.h"
#include "evidence/logpublickey.h"
#include "evidence/merkleproof.h"
#include "service/accounts/passwordhash.h"
#include "service/accounts/userdirectory.h"
#include "service/log/receiptlog.h"
#include "service/mcp/sessiontable.h"
#include "servicetestkit.h"
#include "testenv.h"
#include "toolcalls.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMessageAuthenticationCode>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

using namespace McpRequests;
using namespace Qt::StringLiterals;

const QByteArray kPing = R"({"jsonrpc":"2.0","id":3,"method":"ping"})";

class TestServiceHandler : public QObject {
    Q_OBJECT

    static constexpr qint64 kStart = 1738324800123; // 2025-01-31T12:00:00.123Z
    QTemporaryDir m_dir;
    qint64 m_now = kStart;
    std::unique_ptr<ServiceHandler> m_service;
    QStringList m_badEvidence; // what failed, for cleanup() to report

    static QByteArray segment(const QByteArray &json)
    {
        return json.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    }

    QString dataDir() const { return m_dir.filePath(u"data"_s); }
    QString keyFile() const { return dataDir() + u'/' + ServiceHandler::signingKeyFileName(); }

    std::unique_ptr<ServiceHandler> open(ServiceOptions options = {})
    {
        if (options.dataDir.isEmpty())
            options.dataDir = dataDir();
        options.unknownUserIterations = 1000;
        auto service = ServiceHandler::open(options, [this] { return m_now; });
        if (!service)
            qFatal("%s", qPrintable(service.error().description));
        return std::move(service).value();
    }

    QByteArray session(const QByteArray &token = {})
    {
        return m_service->handle(post(initialize(), {}, token)).header("Mcp-Session-Id");
    }

    // The five members of a receipt whose evidence checks with the key the
    // service serves; a receipt a tool vouches for must carry it.
    QJsonValue checkedReceipt(const QJsonValue &value, bool vouched)
    {
        QJsonObject receipt = value.toObject();
        if (!receipt.contains(u"evidence"_s)) {
            if (vouched && value.isObject())
                m_badEvidence << u"no evidence on "_s + receipt[u"receipt_id"_s].toString();
            return value;
        }
        const QByteArray key = m_service->handle({ "GET", "/log/key", {}, {}, {} }).body;
        const auto evidence = Evidence::fromJson(receipt.take(u"evidence"_s));
        const auto checked = evidence ? checkEvidence(receipt[u"hash"_s].toString(), *evidence, key)
                                      : Expected<EvidenceCheck>(evidence.error());
        if (!checked || checked->scope != receipt[u"scope"_s].toString())
            m_badEvidence << (checked ? u"evidence of scope "_s + checked->scope : checked.error().description);
        return receipt;
    }

    // A tool's result, its receipts without their evidence once it checked.
    QJsonObject checked(QJsonObject result, const QString &name)
    {
        QJsonObject content = result.value(u"structuredContent"_s).toObject();
        if (content.contains(u"receipt"_s))
            content[u"receipt"_s]
                = checkedReceipt(content[u"receipt"_s], name != u"proof"_s && content[u"valid"_s] != QJsonValue(false));
        if (content.contains(u"receipts"_s)) {
            QJsonArray receipts;
            for (const QJsonValue &receipt : content[u"receipts"_s].toArray())
                receipts.append(checkedReceipt(receipt, true));
            content[u"receipts"_s] = receipts;
        }
        if (result.contains(u"structuredContent"_s))
            result[u"structuredContent"_s] = content;
        return result;
    }

    // The result of one call in a fresh session.
    QJsonObject tool(const QString &name, const QJsonObject &arguments, const QByteArray &token = {})
    {
        const ServiceResponse reply = m_service->handle(post(call(2, name, arguments), session(token), token));
        return checked(jsonBody(reply)[u"result"_s].toObject(), name);
    }

    QJsonObject structured(const QString &name, const QJsonObject &arguments)
    {
        return tool(name, arguments)[u"structuredContent"_s].toObject();
    }

    QJsonObject stamp(const QString &digest, const QString &scope, const QByteArray &token = {})
    {
        const QJsonObject arguments { { u"sha256"_s, digest }, { u"scope"_s, scope } };
        return tool(u"stamp"_s, arguments, token)[u"structuredContent"_s][u"receipts"_s][0].toObject();
    }

    QJsonObject login(const QString &name, const QString &password)
    {
        const QJsonObject credentials { { u"username"_s, name }, { u"password"_s, password } };
        return jsonBody(m_service->handle({ "POST", "/auth/login", { { "Content-Type", "application/json" } },
            QJsonDocument(credentials).toJson(QJsonDocument::Compact), {} }));
    }
    QByteArray loginToken(const QString &user, const QString &pw)
    {
        return login(user, pw)[u"token"_s].toString().toLatin1();
    }

    static ServiceRequest validate(const QByteArray &token)
    {
        return ServiceRequest { "GET", "/auth/validate", { { "Authorization", "Bearer " + token } }, {}, {} };
    }

private Q_SLOTS:
    void init()
    {
        QDir(dataDir()).removeRecursively();
        m_now = kStart;
        m_service = open();
    }

    void cleanup()
    {
        m_service.reset();
        const QStringList bad = std::exchange(m_badEvidence, {});
        QVERIFY2(bad.isEmpty(), qPrintable(bad.join(u"; "_s)));
    }

    // Letters open a session for that owner, a digit makes a request in step
    // N's session; per step: k kept, x dropped, r refused, - a request.
    void sessionCaps_data()
    {
        QTest::addColumn<int>("capacity");
        QTest::addColumn<int>("perOwner");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("owner's share") << 10 << 2 << u"aaab"_s << u"xkkk"_s;
        QTest::newRow("least recently used") << 10 << 2 << u"aa01a"_s << u"xk--k"_s;
        QTest::newRow("never used go first") << 10 << 3 << u"a0aaaa"_s << u"k-xxkk"_s;
        QTest::newRow("full table, own to give") << 3 << 5 << u"abab"_s << u"kxkk"_s;
    }

    void sessionCaps()
    {
        QFETCH(int, capacity);
        QFETCH(int, perOwner);
        QFETCH(QString, steps);
        QFETCH(QString, outcome);
        SessionTable table(60'000, capacity, perOwner);
        QStringList ids;
        for (qsizetype i = 0; i < steps.size(); ++i) {
            const QString used = steps[i].isDigit() ? ids[steps[i].digitValue()] : QString();
            if (!used.isEmpty() && table.use(used, i).value())
                table.mark(used, { false, true });
            const auto opened = steps[i].isDigit() ? std::nullopt : table.open(i, {}, QString(steps[i])).value();
            ids.append(opened ? opened->id : QString());
        }
        QString actual;
        for (qsizetype i = 0; i < steps.size(); ++i)
            actual += steps[i].isDigit()         ? u'-'
                : ids[i].isEmpty()               ? u'r'
                : table.use(ids[i], 100).value() ? u'k'
                                                 : u'x';
        QCOMPARE(actual, outcome);
    }

    // Sessions open, expire after their idle time and end; protocol refusals
    // of a session are JSON-RPC errors.
    void sessions()
    {
        const auto expectRefusal = [&](const ServiceResponse &reply, int status, int code, const char *message) {
            QCOMPARE(reply.status, status);
            QCOMPARE(jsonBody(reply)[u"error"_s].toObject(),
                (QJsonObject { { u"code"_s, code }, { u"message"_s, QString::fromUtf8(message) } }));
        };
        const ServiceResponse reply = m_service->handle(post(initialize()));
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.header("Content-Type"), QByteArray("application/json"));
        QVERIFY(QRegularExpression(u"^[A-Za-z0-9_-]{43}$"_s)
                    .match(QString::fromLatin1(reply.header("Mcp-Session-Id")))
                    .hasMatch());
        QCOMPARE(jsonBody(reply)[u"result"_s][u"protocolVersion"_s].toString(), u"2025-03-26"_s);
        QVERIFY(session() != session());

        // Notifications and client responses get an empty 202; in a batch each request is answered.
        const ServiceResponse ack = m_service->handle(
            post(R"([{"jsonrpc":"2.0","method":"a"},{"jsonrpc":"2.0","id":9,"result":{}}])", session()));
        QVERIFY(ack.status == 202 && ack.body.isEmpty() && ack.headers.isEmpty());
        const QByteArray items = R"({"jsonrpc":"2.0","id":7,"method":"ping"},{"jsonrpc":"2.0","method":"a"},)";
        const ServiceResponse batch = m_service->handle(post('[' + items + initialize() + ']', session()));
        QCOMPARE(QJsonDocument::fromJson(batch.body).array(),
            QJsonDocument::fromJson(
                R"([{"jsonrpc":"2.0","id":7,"result":{}},{"jsonrpc":"2.0","id":1,"error":)"
                R"({"code":-32600,"message":"Invalid Request: initialize must be sent on its own"}}])")
                .array());

        expectRefusal(m_service->handle(post(kPing)), 400, -32000, "Bad Request: Mcp-Session-Id header is required");
        expectRefusal(m_service->handle(post(kPing, "made-up")), 404, -32001, "Session not found");
        const QByteArray id = session();
        m_now += 14 * 60 * 1000; // the default time to live is 15 minutes of idleness
        QCOMPARE(m_service->handle(post(kPing, id)).status, 200);
        m_now += 15 * 60 * 1000;
        expectRefusal(m_service->handle(post(kPing, id)), 404, -32001, "Session not found");
        const QByteArray other = session();
        ServiceRequest end { "DELETE", "/mcp", { { "Mcp-Session-Id", other } }, {}, {} };
        QCOMPARE(m_service->handle(end).status, 200);
        expectRefusal(m_service->handle(end), 404, -32001, "Session not found");
        expectRefusal(m_service->handle(post(kPing, other)), 404, -32001, "Session not found");
    }

    // Refusals of the protocol are errors; refusals of a tool are tool
    // results with isError (code 0 here), so the client shows their words.
    void mcpRefusals_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        const auto row = [](const char *name, const QByteArray &body, int status, int code, const QString &message) {
            QTest::newRow(name) << body << status << code << message;
        };
        const auto stamp = [](const QString &digest, const QString &scope) {
            return call(5, u"stamp"_s, { { u"sha256"_s, digest }, { u"scope"_s, scope } });
        };
        row("bad JSON", R"({"jsonrpc":)", 400, -32700, u"Parse error: unterminated object at offset 11"_s);
        row("no method", R"({"jsonrpc":"2.0","id":5})", 400, -32600, u"Invalid Request: missing method"_s);
        row("batch of 101", '[' + QByteArrayList(101, R"({"jsonrpc":"2.0","method":"a"})").join(',') + ']', 400, -32600,
            u"Invalid Request: a batch holds at most 100 messages"_s);
        row("unknown method", R"({"jsonrpc":"2.0","id":5,"method":"resources/list"})", 200, -32601,
            u"Method not found: resources/list"_s);
        row("no sha256", call(5, u"stamp"_s, { { u"scope"_s, u"s"_s } }), 200, -32602,
            u"Invalid params: missing string argument sha256"_s);
        row("short digest", stamp(u"abc"_s, u"s"_s), 200, 0,
            u"Invalid sha256: expected 64 hexadecimal characters, got 3"_s);
        const QString badScope
            = u"Invalid scope: control characters, format characters and line breaks are not allowed"_s;
        row("scope line break", stamp(digestOf("x"), u"a\nb"_s), 200, 0, badScope);
        row("scope right-to-left override", stamp(digestOf("x"), u"fdp.\u202Eexe"_s), 200, 0, badScope);
    }

    void mcpRefusals()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(int, code);
        QFETCH(QString, message);
        const ServiceResponse reply = m_service->handle(post(body, session()));
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.header("Content-Type"), QByteArray("application/json"));
        const QJsonObject answer = jsonBody(reply);
        QCOMPARE(answer.value(u"id"_s), body.contains("\"id\":5") ? QJsonValue(5) : QJsonValue(QJsonValue::Null));
        if (code == 0) {
            QCOMPARE(answer[u"result"_s][u"isError"_s], QJsonValue(true));
            QCOMPARE(answer[u"result"_s][u"content"_s][0][u"text"_s].toString(), message);
        } else {
            QCOMPARE(answer[u"error"_s][u"code"_s].toInt(), code);
            QCOMPARE(answer[u"error"_s][u"message"_s].toString(), message);
        }
        QCOMPARE(m_service->sessionCount(), 1);
        QCOMPARE(m_service->log().treeSize(u"s"_s).value(), qint64(0));
    }

    // A flood of anonymous sessions, from the same address or another,
    // leaves a client's session in use working.
    void anonymousFloodKeepsOthersSessions()
    {
        for (const QString &flooder : { u"127.0.0.1"_s, u"127.0.0.2"_s }) {
            init();
            const QByteArray mine = session();
            QCOMPARE(m_service->handle(post(kPing, mine)).status, 200);
            ServiceRequest open = post(initialize());
            open.clientAddress = flooder;
            for (int i = 0; i < 1000; ++i)
                QCOMPARE(m_service->handle(open).status, 200);
            QCOMPARE(m_service->handle(post(kPing, mine)).status, 200);
            QCOMPARE(m_service->sessionCount(), flooder == u"127.0.0.1"_s ? 1000 : 1001);
        }
    }

    // A hash_report answers with the newest receipts only, and the replies to
    // one request stay within what a client reads.
    void repliesAreBounded()
    {
        ServiceOptions options;
        options.maxReplyBytes = 5000; // room for one report of two receipts
        options.maxReportReceipts = 2;
        m_service = open(options);
        QJsonArray newest;
        for (const QString &scope : { u"a"_s, u"b"_s, u"c"_s })
            newest.prepend(stamp(digestOf("d"), scope));
        const QJsonObject report { { u"sha256"_s, digestOf("d") } };
        const QByteArray batch
            = '[' + call(1, u"hash_report"_s, report) + ',' + call(2, u"hash_report"_s, report) + ']';
        const QJsonArray replies = QJsonDocument::fromJson(m_service->handle(post(batch, session())).body).array();
        QCOMPARE(checked(replies[0][u"result"_s].toObject(), u"hash_report"_s)[u"structuredContent"_s].toObject(),
            (QJsonObject { { u"receipts"_s, QJsonArray { newest[0], newest[1] } }, { u"truncated"_s, true } }));
        QCOMPARE(replies[1][u"error"_s].toObject(),
            jsonObject(R"({"code":-32003,"message":"Reply too large: the replies to this request would pass 5000 )"
                       R"(bytes; send fewer calls"})"));
    }

    void stampReportVerify()
    {
        const QString digest = digestOf("report.pdf");
        const QJsonObject receipt = stamp(digest.toUpper(), u"legal"_s);
        QCOMPARE(receipt,
            (QJsonObject { { u"created_at"_s, u"2025-01-31T12:00:00.123Z"_s }, { u"hash"_s, digest },
                { u"merkle"_s, rootOfDigests({ digest }) }, { u"receipt_id"_s, receipt[u"receipt_id"_s] },
                { u"scope"_s, u"legal"_s } }));
        QVERIFY(!QUuid::fromString(receipt[u"receipt_id"_s].toString()).isNull());

        // Stamped again later: the same receipt, the tree unchanged.
        m_now += 60'000;
        QCOMPARE(stamp(digest, u"legal"_s), receipt);
        QCOMPARE(m_service->log().treeSize(u"legal"_s).value(), qint64(1));

        const QJsonObject second = stamp(digestOf("other"), u"legal"_s);
        QCOMPARE(second[u"merkle"_s].toString(), rootOfDigests({ digest, digestOf("other") }));
        QCOMPARE(second[u"created_at"_s].toString(), u"2025-01-31T12:01:00.123Z"_s);
        // An empty scope is the default one, with a tree of its own.
        m_now = kStart - 5000; // a clock stepping back does not reorder the report
        const QJsonObject later = stamp(digest, QString());
        QCOMPARE(later[u"scope"_s].toString(), u"global"_s);
        QCOMPARE(later[u"merkle"_s].toString(), rootOfDigests({ digest }));

        const QString id = receipt[u"receipt_id"_s].toString();
        const auto report = [&](const QString &sha, const QString &scope) {
            return structured(u"hash_report"_s, { { u"sha256"_s, sha }, { u"want_scope"_s, scope } })
                .value(u"receipts"_s);
        };
        QCOMPARE(report(digest, QString()), QJsonValue(QJsonArray { later, receipt }));
        QCOMPARE(report(digest.toUpper(), u"legal"_s), QJsonValue(QJsonArray { receipt }));
        QCOMPARE(report(digestOf("never"), QString()), QJsonValue(QJsonArray {}));
        const auto verify = [&](const QString &receiptId, const QString &scope) {
            return structured(u"verify"_s, { { u"receipt_id"_s, receiptId }, { u"want_scope"_s, scope } });
        };
        const QJsonObject valid { { u"valid"_s, true }, { u"receipt"_s, receipt } };
        QCOMPARE(verify(id, u"legal"_s), valid);
        QCOMPARE(verify(id, QString()), valid);
        QCOMPARE(verify(id, u"global"_s),
            (QJsonObject { { u"valid"_s, false },
                { u"error"_s, u"Scope mismatch: the receipt is in scope \"legal\", not \"global\""_s },
                { u"receipt"_s, receipt } }));
        // Ids go to the database as values, never as SQL.
        QCOMPARE(verify(id + u"' OR '1'='1"_s, QString()),
            jsonObject(R"({"valid":false,"error":"Unknown receipt","receipt":null})"));

        // A receipt whose stored root no longer matches the tree is not valid.
        QVERIFY(OutsideConnection(dataDir()).exec(
            u"UPDATE receipts SET merkle = '%1' WHERE receipt_id = '%2'"_s.arg(QString(64, u'0'), id)));
        QCOMPARE(
            verify(id, QString())[u"error"_s].toString(), u"The receipt does not match the service's Merkle tree"_s);
    }

    // Each commit signs its tree's head with the served key; every leaf's
    // proof, in its own tree (by default) and in the latest, leads to those
    // heads, and proofs between any two sizes tie them together.
    void proofsAgainstSignedHeads()
    {
        const auto key = LogPublicKey::fromPem(m_service->handle({ "GET", "/log/key", {}, {}, {} }).body);
        QVERIFY(key);
        QCOMPARE(structured(u"log_key"_s, {}),
            (QJsonObject { { u"algorithm"_s, u"Ed25519"_s }, { u"key_id"_s, key->keyId() },
                { u"public_key"_s, QString::fromLatin1(key->pem()) } }));
        QStringList digests;
        QList<QJsonObject> receipts;
        QList<QByteArray> roots;
        for (int i = 0; i < 5; ++i) {
            digests << digestOf(QByteArray::number(i));
            receipts << stamp(digests.last(), u"c"_s);
            const auto head = TreeHead::fromJson(structured(u"tree_head"_s, { { u"scope"_s, u"c"_s } }));
            QVERIFY(head && head->treeSize == i + 1 && key->checkHead(*head));
            QCOMPARE(QString::fromLatin1(head->root.toHex()), rootOfDigests(digests));
            roots << head->root;
        }
        for (int index = 0; index < 5; ++index) {
            for (const int size : { index + 1, 5 }) {
                QJsonObject arguments { { u"receipt_id"_s, receipts[index][u"receipt_id"_s] } };
                if (size != index + 1)
                    arguments[u"tree_size"_s] = size;
                const QJsonObject proof = structured(u"proof"_s, arguments);
                const QByteArray leaf = MerkleProof::leafHash(QByteArray::fromHex(digests[index].toLatin1()));
                QCOMPARE(proof[u"root"_s].toString(), QString::fromLatin1(roots[size - 1].toHex()));
                QVERIFY(
                    MerkleProof::inclusionHolds(index, size, leaf, hexList(proof[u"audit_path"_s]), roots[size - 1]));
                QCOMPARE(proof[u"leaf_hash"_s].toString(), QString::fromLatin1(leaf.toHex()));
                QCOMPARE(proof[u"leaf_index"_s].toInt() * 10 + proof[u"tree_size"_s].toInt(), index * 10 + size);
                QCOMPARE(proof[u"receipt"_s].toObject(), receipts[index]);
            }
        }
        for (int first = 1; first <= 5; ++first) {
            for (int second = first; second <= 5; ++second) {
                const QJsonObject reply = structured(
                    u"consistency"_s, { { u"scope"_s, u"c"_s }, { u"first"_s, first }, { u"second"_s, second } });
                QVERIFY(MerkleProof::consistencyHolds(
                    first, second, roots[first - 1], roots[second - 1], hexList(reply[u"proof"_s])));
                QCOMPARE(reply[u"second"_s].toInt() * 10 + reply[u"first"_s].toInt(), second * 10 + first);
            }
        }
        QCOMPARE(tool(u"consistency"_s, { { u"scope"_s, u"c"_s }, { u"first"_s, 2 }, { u"second"_s, 6 } }),
            jsonObject(R"({"content":[{"type":"text","text":"Invalid tree sizes: need 0 < first <= second <= 5, )"
                       R"(the size of the tree"}],"isError":true})"));
    }

    // Also from a database of the first version, whose users had no token
    // generation and whose trees had no signed heads.
    void receiptsSurviveReopening()
    {
        const QJsonObject receipt = stamp(digestOf("kept"), u"s"_s);
        QVERIFY(addTestUser(m_service->users(), u"old"_s, u"user"_s, u"pw"_s));
        m_service.reset();
        OutsideConnection outsider(dataDir());
        for (const QString &sql : { u"ALTER TABLE users DROP COLUMN generation"_s, u"DROP TABLE tree_heads"_s,
                 u"DROP TABLE anchors"_s, u"UPDATE meta SET value = '1' WHERE key = 'schema_version'"_s })
            QVERIFY(outsider.exec(sql));
        m_service = open();
        const QByteArray token = loginToken(u"old"_s, u"pw"_s);
        QCOMPARE(m_service->handle(validate(token)).status, 200);
        m_service.reset();
        m_service = open(); // now of the current version
        QCOMPARE(
            structured(u"verify"_s, { { u"receipt_id"_s, receipt[u"receipt_id"_s] } })[u"valid"_s], QJsonValue(true));
        // The tree goes on where it stopped.
        QCOMPARE(stamp(digestOf("next"), u"s"_s)[u"merkle"_s].toString(),
            rootOfDigests({ digestOf("kept"), digestOf("next") }));
    }

    void passwordsAndLogins()
    {
        const QString a = PasswordHash::create(u"pw"_s, 1000);
        QVERIFY(a != PasswordHash::create(u"pw"_s, 1000) && PasswordHash::verify(u"pw"_s, a)); // salted
        // A known derivation, so a change of algorithm cannot slip through; no other scheme is taken.
        QVERIFY(PasswordHash::verify(
            u"password"_s, u"pbkdf2-sha256$1$c2FsdA==$Eg+2z/z4syxD5yJSVsT4N6hlSMkszDVICAWYfLcL4Xs="_s));
        for (const QString &broken : { u"pw "_s, u"pbkdf2-sha256$0$AA==$AA=="_s, u"md5$1$AA==$AA=="_s })
            QVERIFY(!PasswordHash::verify(u"pw"_s, broken) && !PasswordHash::verify(broken, a));

        QVERIFY(addTestUser(m_service->users(), u"alice"_s, u"auditor"_s, u" pass word "_s));
        // A login's body is read only as far as a password can reach.
        QCOMPARE(m_service->bodyLimit(ServiceRequest { "POST", "/auth/login", {}, {}, {} }), 16 * 1024);
        QCOMPARE(m_service->bodyLimit(post(initialize())), 1024 * 1024);
        QJsonObject reply = login(u"alice"_s, u" pass word "_s);
        const QByteArray token = reply.take(u"token"_s).toString().toLatin1();
        QCOMPARE(reply,
            jsonObject(R"({"tokenType":"Bearer","expiresAt":"2025-01-31T13:00:00.000Z","expiresIn":3599,)"
                       R"("user":{"username":"alice","role":"auditor"}})"));
        QCOMPARE(jsonBody(m_service->handle(validate(token))),
            jsonObject(R"({"valid":true,"expiresAt":"2025-01-31T13:00:00.000Z",)"
                       R"("user":{"username":"alice","role":"auditor"}})"));

        // A token of ours that predates generations may predate a password change too.
        const QByteArray legacy = segment(R"({"alg":"HS256","typ":"JWT"})") + '.'
            + segment(R"({"exp":1738328400,"iss":"nivet-stampd","role":"auditor","sub":"alice"})");
        const QByteArray mac
            = QMessageAuthenticationCode::hash(legacy, readFile(keyFile()), QCryptographicHash::Sha256);
        QCOMPARE(m_service->handle(validate(legacy + '.' + segment(mac))).status, 401);

        // A new password ends the tokens issued before it; tokens expire.
        QVERIFY(addTestUser(m_service->users(), u"alice"_s, u"admin"_s, u"new"_s));
        QCOMPARE(m_service->handle(validate(token)).body, QByteArray("Invalid or expired token"));
        const QByteArray renewed = loginToken(u"alice"_s, u"new"_s);
        QCOMPARE(m_service->handle(validate(renewed)).status, 200);
        m_now += 60 * 60 * 1000;
        QCOMPARE(m_service->handle(validate(renewed)).body, QByteArray("Invalid or expired token"));
    }

    void httpRefusals_data()
    {
        QTest::addColumn<QByteArray>("head"); // method, path and one header
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("text");
        const auto row = [](const char *name, const QByteArray &head, const QByteArray &body, int status,
                             const QByteArray &text) { QTest::newRow(name) << head << body << status << text; };
        const QByteArray login = "POST /auth/login Content-Type: application/json";
        const QByteArray refused = "Invalid user name or password";
        row("wrong password", login, R"({"username":"bob","password":"nope"})", 401, refused);
        row("unknown user", login, R"({"username":"eve","password":"pw"})", 401, refused);
        row("password number", login, R"({"username":"bob","password":1})", 400,
            "Send a JSON object with the strings username and password");
        row("password over 1 KiB", login, "{\"username\":\"bob\",\"password\":\"" + QByteArray(1025, 'p') + "\"}", 400,
            "The password is longer than 1024 bytes");
        // Claims of anyone's choosing, "signed" with no algorithm at all.
        row("alg none",
            "GET /auth/validate Authorization: Bearer " + segment(R"({"alg":"none"})") + '.'
                + segment(R"({"iss":"nivet-stampd","sub":"bob","exp":9999999999})") + '.',
            {}, 401, "Invalid or expired token");
        row("foreign origin", "POST /mcp Origin: https://evil.example", initialize(), 403,
            "Requests from web pages of other sites are not allowed");
        row("text body", "POST /mcp Content-Type: text/plain", initialize(), 415,
            "Content-Type must be application/json");
        row("json charset", "POST /mcp Content-Type: application/json; charset=utf-8", initialize(), 200, {});
    }

    void httpRefusals()
    {
        QFETCH(QByteArray, head);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QByteArray, text);
        QVERIFY(addTestUser(m_service->users(), u"bob"_s, u"user"_s, u"pw"_s));
        const QList<QByteArray> parts = head.split(' ');
        ServiceRequest request = parts[1] == "/mcp" ? post(body) : ServiceRequest { parts[0], parts[1], {}, body, {} };
        request.headers.removeIf([&](const auto &h) { return h.first == parts[2].chopped(1); });
        request.headers.append({ parts[2].chopped(1), head.mid(head.indexOf(": ") + 2) });
        // Only a password check is slow work; every refusal comes before it.
        if (parts[1] != "/mcp")
            QCOMPARE(bool(m_service->reply(request).work), status == 401 && parts[1] == "/auth/login");
        const ServiceResponse reply = m_service->handle(request);
        QCOMPARE(reply.status, status);
        QCOMPARE(m_service->sessionCount(), status == 200 ? 1 : 0);
        if (status != 200)
            QCOMPARE(reply.header("Content-Type") + '\n' + reply.body, "text/plain; charset=utf-8\n" + text);
        if (status == 401 && parts[1] == "/auth/validate")
            QVERIFY(reply.header("WWW-Authenticate").startsWith("Bearer realm=\"nivet-stampd\""));
    }

    void requireAuth()
    {
        // Without --require-auth a bad token is no token: the stamp is anonymous.
        const QString anonymous = stamp(digestOf("3"), u"s"_s, "x.y.z")[u"receipt_id"_s].toString();
        QCOMPARE(m_service->log().receipt(anonymous).value()->stampedBy, QString());

        ServiceOptions options;
        options.requireAuth = true;
        options.dataDir = m_dir.filePath(u"locked"_s);
        m_service = open(options);
        QVERIFY(addTestUser(m_service->users(), u"carol"_s, u"user"_s, u"pw"_s));
        QVERIFY(addTestUser(m_service->users(), u"dave"_s, u"user"_s, u"pw"_s));
        QCOMPARE(m_service->handle(post(initialize())).body, QByteArray("Missing bearer token"));
        QCOMPARE(m_service->handle(post(initialize(), {}, "abc.def.ghi")).status, 401);
        const QByteArray carol = loginToken(u"carol"_s, u"pw"_s);
        ServiceRequest basic = post(initialize()); // a valid token, but not as a bearer
        basic.headers.append({ "Authorization", "Basic " + carol });
        QCOMPARE(m_service->handle(basic).body, QByteArray("Missing bearer token"));
        QCOMPARE(m_service->sessionCount(), 0);
        const QByteArray id = session(carol);
        QCOMPARE(m_service->handle(post(kPing, id, carol)).status, 200);
        QCOMPARE(m_service->handle(post(kPing, id)).status, 401);
        // Another user holding the id cannot use the session.
        QCOMPARE(m_service->handle(post(kPing, id, loginToken(u"dave"_s, u"pw"_s))).status, 404);
        const QString receiptId = stamp(digestOf("d"), u"s"_s, carol)[u"receipt_id"_s].toString();
        QCOMPARE(m_service->log().receipt(receiptId).value()->stampedBy, u"carol"_s);
    }

    // The data folder is private; health says not ready while the database
    // takes no writes (another program holds its lock past the 5 s the
    // service waits).
    void dataFolder()
    {
        QCOMPARE(fileMode(keyFile()), 0600);
        QCOMPARE(fileMode(dataDir()), 0700);
        QCOMPARE(fileMode(dataDir() + u"/nivet-stampd.sqlite"_s), 0600);
        {
            OutsideConnection other(dataDir());
            QVERIFY(other.exec(u"BEGIN IMMEDIATE"_s));
            const ServiceResponse locked = m_service->handle({ "GET", "/healthz", {}, {}, {} });
            QCOMPARE(locked.status, 503);
            QCOMPARE(locked.body,
                QByteArray("Database error while starting a transaction: database is locked Unable to fetch row"));
            QVERIFY(other.exec(u"ROLLBACK"_s));
        }

        // A damaged key is refused, not silently replaced.
        m_service.reset();
        QVERIFY(writeFile(keyFile(), "short"));
        ServiceOptions options;
        options.dataDir = dataDir();
        const auto refused = ServiceHandler::open(options);
        QVERIFY(refused.error().description.contains(u"is not 32 bytes long"_s));
        QCOMPARE(readFile(keyFile()), QByteArray("short"));
        QFile::remove(keyFile());
    }
};

QTEST_GUILESS_MAIN(TestServiceHandler)
#include "tst_servicehandler.moc"
