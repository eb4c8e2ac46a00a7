#include "core/batchrun.h"
#include "core/jsonwriter.h"
#include "evidence/evidence.h"
#include "evidence/logkey.h"
#include "evidence/merkleproof.h"
#include "evidence/rfc3161.h"
#include "mcp/mcpclient.h"
#include "storage/evidencefiles.h"
#include "storage/receiptstore.h"

#include "../cli/clirun.h"
#include "scriptedhttpserver.h"
#include "testauthority.h"
#include "testenv.h"
#include "toolcalls.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

using namespace Qt::StringLiterals;

/// The client's side of the signed log: evidence checked as it arrives, the
/// pinned key, the witness, and the commands that work on kept evidence.
class TestEvidenceCli : public QObject {
    Q_OBJECT
    LogKey m_key = *LogKey::generate();
    LogKey m_other = *LogKey::generate();
    TestAuthority m_authority;
    QTemporaryDir m_dir;
    QStringList m_files; // contents "0" … "5"
    QList<QByteArray> m_digests; // their raw SHA-256: the log's leaves, in order
    QList<QByteArray> m_leaves; // their leaf hashes
    ScriptedHttpServer m_server;
    QList<QByteArray> m_served; // the leaf hashes of the tree the service answers from
    const LogKey *m_signer = &m_key; // what signs the heads it sends
    const LogKey *m_offered = &m_key; // what log_key answers
    QJsonObject m_evidence; // what stamp, verify and evidence send

    QString hex(int leaf) const { return QString::fromLatin1(m_digests[leaf].toHex()); }
    QString url() const { return m_server.url().toString(); }
    QString caFile() const { return m_dir.filePath(u"ca.pem"_s); }
    static QJsonObject fileJson(const QString &path) { return QJsonDocument::fromJson(readFile(path)).object(); }

    TreeHead head(qint64 size) const
    {
        const QDateTime time(QDate(2026, 12, 7), QTime(17, 0, 0, int(size)), Qt::UTC);
        return *m_signer->signHead(u"global"_s, size, MerkleProof::rootOf(m_served.first(size)), time);
    }

    QList<QByteArray> proof(bool consistency, qint64 a, qint64 b) const
    {
        const auto nodes = [leaves = m_served](int level, qint64 index) -> Expected<QByteArray> {
            return MerkleProof::rootOf(leaves.mid(index << level, qsizetype(1) << level));
        };
        return *(consistency ? MerkleProof::consistencyProof(nodes, a, b) : MerkleProof::auditPath(nodes, a, b));
    }

    // Leaf's evidence in the tree of size leaves, anchored at anchorSize unless 0.
    Evidence evidence(qint64 leaf, qint64 size, qint64 anchorSize = 0) const
    {
        Evidence e { leaf, proof(false, leaf, size), head(size), std::nullopt };
        if (anchorSize) {
            Anchor anchor { head(anchorSize), proof(false, leaf, anchorSize), {} };
            const auto request = Rfc3161::request(anchor.treeHead.message());
            anchor.timestamps.append({ u"http://127.0.0.1:1/tsa"_s,
                *Rfc3161::tokenFromResponse(m_authority.respond(request->der), *request) });
            e.anchor = anchor;
        }
        return e;
    }

    HttpResponse tool(const QString &name, const QJsonObject &arguments)
    {
        QJsonObject receipt { { u"receipt_id"_s, u"r-1"_s }, { u"hash"_s, arguments[u"sha256"_s] },
            { u"scope"_s, u"global"_s }, { u"created_at"_s, u"2026-12-07T17:00:00Z"_s }, { u"merkle"_s, u"m"_s } };
        if (!m_evidence.isEmpty())
            receipt[u"evidence"_s] = m_evidence;
        if (name == u"log_key"_s)
            return ScriptedHttpServer::toolResult({ { u"key_id"_s, m_offered->keyId() },
                { u"public_key"_s, QString::fromLatin1(m_offered->publicKey().pem()) } });
        if (name == u"consistency"_s) {
            QJsonArray hashes;
            for (const QByteArray &h :
                proof(true, arguments[u"first"_s].toInteger(), arguments[u"second"_s].toInteger()))
                hashes.append(QString::fromLatin1(h.toHex()));
            return ScriptedHttpServer::toolResult({ { u"proof"_s, hashes } });
        }
        if (name == u"stamp"_s)
            return ScriptedHttpServer::toolResult({ { u"receipts"_s, QJsonArray { receipt } } });
        return ScriptedHttpServer::toolResult({ { u"receipt"_s, receipt }, { u"valid"_s, true } });
    }

    FileResult registerFile(int leaf)
    {
        MCPClient client(url());
        return QCoro::waitFor(client.registerFile(m_files[leaf], hex(leaf), u"global"_s));
    }

private Q_SLOTS:
    void initTestCase()
    {
        for (int i = 0; i < 6; ++i) {
            m_files.append(m_dir.filePath(QString::number(i)));
            QVERIFY(writeFile(m_files.last(), QByteArray::number(i)));
            m_digests.append(QCryptographicHash::hash(QByteArray::number(i), QCryptographicHash::Sha256));
            m_leaves.append(MerkleProof::leafHash(m_digests.last()));
        }
        QVERIFY(writeFile(caFile(), m_authority.caPem()));
        m_server.setHandler(ScriptedHttpServer::mcp([this](const QString &name, const QJsonObject &arguments,
                                                        const HttpRequest &) { return tool(name, arguments); }));
    }

    void init()
    {
        m_served = m_leaves;
        m_signer = m_offered = &m_key;
        m_server.clearRequests();
    }

    // Without evidence, or with evidence that fails, the receipt is kept as
    // ever and nothing of the evidence is.
    void registerChecksEvidence_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QStringList>("tools");
        const QStringList pinning { u"stamp"_s, u"log_key"_s };
        QTest::newRow("none") << u"none"_s << u"Registered"_s << QStringList { u"stamp"_s };
        QTest::newRow("path") << u"path"_s
                              << u"Evidence does not match: the audit path does not lead to the signed root"_s
                              << pinning;
        QTest::newRow("changed")
            << u"changed"_s
            << u"Error: The log key of %1 changed: %2 is pinned, the service now offers %3. Accept "
               "the new key only if its operator confirms it: nivet-timestamp key accept %1, or "
               "Accept New Key in Settings"_s.arg(url(), m_key.keyId(), m_other.keyId())
            << pinning;
    }

    void registerChecksEvidence()
    {
        QFETCH(QString, fault);
        const IsolatedDataHome home;
        Evidence e = evidence(2, 3);
        if (fault == u"path")
            e.auditPath[0][0] = char(e.auditPath[0][0] ^ 1);
        if (fault == u"changed") {
            m_signer = &m_other;
            e = evidence(2, 3);
            QVERIFY(LogKeyPins::accept(url(), m_key.keyId(), m_key.publicKey().pem()));
            m_offered = &m_other;
        }
        m_evidence = fault == u"none" ? QJsonObject() : e.toJson();

        QTEST(registerFile(2).status, "status");
        QStringList called;
        for (const ToolCall &call : toolCalls(m_server.requests()))
            called.append(call.name);
        QTEST(called, "tools");
        // The receipt is kept as ever, without a member of evidence.
        QCOMPARE(fileJson(ReceiptStore::receiptFileURL(hex(2)))[u"receipts"_s][0].toObject().keys(),
            (QStringList { u"created_at"_s, u"hash"_s, u"merkle"_s, u"receipt_id"_s, u"scope"_s }));
        QVERIFY(!QFile::exists(home.nivet() + u"/evidence/"_s + hex(2) + u".json"_s));
    }

    // A reply's evidence is checked, its key pinned on first use, and kept
    // apart from the receipt record. A larger head must extend the largest
    // one seen; one that does not stops the run, naming both, and is neither
    // witnessed nor kept.
    void witness()
    {
        const IsolatedDataHome home;
        m_evidence = evidence(2, 3).toJson();
        QCOMPARE(registerFile(2).status, u"Registered"_s);
        const QString kept = home.nivet() + u"/evidence/"_s + hex(2) + u".json"_s;
        const QJsonObject item { { u"receipt_id"_s, u"r-1"_s }, { u"service"_s, url() },
            { u"public_key"_s, QString::fromLatin1(m_key.publicKey().pem()) }, { u"evidence"_s, m_evidence } };
        QCOMPARE(readFile(kept),
            JsonWriter::pretty(QJsonObject { { u"sha256"_s, hex(2) }, { u"items"_s, QJsonArray { item } } }));
        QCOMPARE(fileMode(kept), 0600);
        QCOMPARE(fileJson(home.nivet() + u"/log-keys.json"_s)[url()][u"key_id"_s].toString(), m_key.keyId());
        const TreeHead seen = head(3);
        for (const bool forked : { true, false }) {
            m_served = m_leaves;
            if (forked)
                m_served[1] = m_leaves[5];
            m_evidence = evidence(4, 5).toJson();
            m_server.clearRequests();
            BatchRun run([](const QString &u) { return std::make_unique<MCPClient>(u); });
            QCoro::waitFor(run.run(
                BatchRun::Action::registerFiles, { m_files[4], m_files[3] }, url(), [] { return u"global"_s; }));
            const QList<ToolCall> calls = toolCalls(m_server.requests());
            QCOMPARE(calls.at(1).name, u"consistency"_s);
            QCOMPARE(calls.at(1).arguments, jsonObject(R"({"scope":"global","first":3,"second":5})"));
            QCOMPARE(fileJson(home.nivet() + u"/witness.json"_s)[m_key.keyId()][u"global"_s].toObject(),
                (forked ? seen : head(5)).toJson());
            QCOMPARE(run.results().size(), forked ? 1 : 2);
            if (!forked)
                break;
            const QString fork
                = u"The log was forked or rewritten: its tree heads of scope global with 3 leaves (root "
                  "%1, 2026-12-07T17:00:00.003Z) and with 5 leaves (root %2, 2026-12-07T17:00:00.005Z), "
                  "both signed by %3, do not extend each other"_s.arg(
                      QString::fromLatin1(seen.root.toHex()), QString::fromLatin1(head(5).root.toHex()), m_key.keyId());
            QCOMPARE(run.results()[0].status, u"Error: "_s + fork);
            QCOMPARE(run.status(), u"Stopped — 0 registered/ok, 1 failed (1 total). "_s + fork);
            QVERIFY(!QFile::exists(home.nivet() + u"/evidence/"_s + hex(4) + u".json"_s));
        }
    }

    // verify --offline: from the kept evidence alone, per file what it
    // proves (by the authority's time, its milliseconds always 123, or by the
    // log's) or what failed. A head shared in one run is checked once, and
    // only for the same bytes.
    void verifyOffline()
    {
        const IsolatedDataHome home;
        const Evidence anchored = evidence(2, 3, 5);
        Evidence forged = evidence(3, 4, 5);
        forged.anchor->treeHead = anchored.anchor->treeHead;
        forged.anchor->treeHead.signature[63] = char(forged.anchor->treeHead.signature[63] ^ 1);
        for (const auto &[leaf, e] : { std::pair(2, anchored), std::pair(1, evidence(1, 3)), std::pair(3, forged) })
            QVERIFY(EvidenceStore::save(hex(leaf), { u"r-1"_s, url(), m_key.publicKey().pem(), e.toJson() }));
        const QStringList verify { u"verify"_s, u"--offline"_s, u"--format"_s, u"json"_s };
        const auto rows = [](const CliRun &run) {
            return QJsonDocument::fromJson(run.out.section(u"\nDone"_s, 0, 0).toUtf8()).array();
        };
        const CliRun run = runCli(verify + QStringList { u"--tsa-ca"_s, caFile(), m_files[2], m_files[1], m_files[3] });
        QCOMPARE(run.status, 1);
        const QString time = rows(run)[0][u"created_at"_s].toString();
        QVERIFY(time.endsWith(u".123Z"_s));
        const QStringList expected { u"Existed by %1: log key %2, tree size 5, timestamp by %3 at %1"_s.arg(
                                         time, m_key.keyId(), m_authority.tsaName()),
            u"Existed by 2026-12-07T17:00:00.003Z by the log's clock alone: log key %1, tree size 3; no authority has "
            "dated it yet (nivet-timestamp evidence update)"_s.arg(m_key.keyId()),
            u"Evidence does not match: the anchored tree head is not signed by the pinned key "_s + m_key.keyId() };
        for (int i = 0; i < 3; ++i)
            QCOMPARE(rows(run)[i][u"status"_s].toString(), expected[i]);
        const CliRun untrusted = runCli(verify + QStringList { m_files[2] });
        QCOMPARE(untrusted.status, 1);
        QCOMPARE(rows(untrusted)[0][u"status"_s].toString(),
            u"Evidence does not match: the timestamp authority %1 is not trusted"_s.arg(m_authority.tsaName()));
        QVERIFY(m_server.requests().isEmpty());
    }

    // evidence update asks for what is missing; export writes the document;
    // key accept and check.
    void updateExportAccept()
    {
        const IsolatedDataHome home;
        QVERIFY(ReceiptStore::save(hex(2), { Receipt { u"r-1"_s, hex(2), u"global"_s, u"t"_s, u"m"_s, {} } }, {}));
        QVERIFY(EvidenceStore::save(hex(2), { u"r-1"_s, url(), m_key.publicKey().pem(), evidence(2, 3).toJson() }));
        QVERIFY(runCli({ u"set-defaults"_s, u"--url"_s, url() }).status == 0);
        QVERIFY(runCli({ u"key"_s, u"accept"_s, u"--key"_s, m_dir.filePath(u"none"_s), url() }).status == 1);
        m_evidence = evidence(2, 3, 5).toJson();
        const CliRun update = runCli({ u"evidence"_s, u"update"_s, m_files[2], m_files[3] });
        QCOMPARE(update.out,
            u"%1  r-1  Anchored\n%2  -  Not found: no receipt is kept for this file\n"_s.arg(m_files[2], m_files[3]));
        QCOMPARE(update.status, 1);
        // The anchored head is witnessed too: it extends the head of 3 leaves.
        const QList<ToolCall> calls = toolCalls(m_server.requests());
        QCOMPARE(calls.size(), 3); // evidence, log_key (first use), consistency
        QCOMPARE(calls.at(0).arguments, jsonObject(R"({"receipt_id":"r-1"})"));
        QCOMPARE(calls.at(2).arguments, jsonObject(R"({"scope":"global","first":3,"second":5})"));

        // The exported document carries everything a check by hand needs: first
        // the certificate the token carries (the authority's own), then the trusted.
        const QString out = m_dir.filePath(u"2.evidence.json"_s);
        QCOMPARE(
            runCli({ u"evidence"_s, u"export"_s, m_files[2], u"--tsa-ca"_s, caFile(), u"--out"_s, out }).status, 0);
        const QJsonValue carried = fileJson(out)[u"authority_certificates"_s][0];
        QVERIFY(carried.toString().startsWith(u"-----BEGIN CERTIFICATE-----\n"_s));
        QCOMPARE(readFile(out),
            JsonWriter::pretty(QJsonObject { { u"format"_s, u"nivet-evidence-1"_s }, { u"file"_s, u"2"_s },
                { u"sha256"_s, hex(2) },
                { u"leaf_hash"_s, QString::fromLatin1(MerkleProof::leafHash(m_digests[2]).toHex()) },
                { u"receipt"_s,
                    QJsonObject { { u"receipt_id"_s, u"r-1"_s }, { u"hash"_s, hex(2) }, { u"scope"_s, u"global"_s },
                        { u"created_at"_s, u"t"_s }, { u"merkle"_s, u"m"_s } } },
                { u"public_key"_s, QString::fromLatin1(m_key.publicKey().pem()) }, { u"key_id"_s, m_key.keyId() },
                { u"evidence"_s, m_evidence },
                { u"authority_certificates"_s, QJsonArray { carried, QString::fromLatin1(m_authority.caPem()) } } }));

        // Another receipt's evidence goes beside it; an unanchored one never replaces it.
        for (const QString &id : { u"r-2"_s, u"r-1"_s })
            QVERIFY(EvidenceStore::save(hex(2), { id, url(), m_key.publicKey().pem(), evidence(2, 3).toJson() }));
        const auto kept = EvidenceStore::read(hex(2));
        QVERIFY(kept->size() == 2 && kept->at(0).anchored() && kept->at(1).receiptId == u"r-2"_s);

        m_offered = &m_other;
        const CliRun accepted = runCli({ u"key"_s, u"accept"_s, url() });
        QVERIFY(accepted.out.startsWith(u"Was: Log key of %1: %2 (pinned "_s.arg(url(), m_key.keyId())));
        QVERIFY(accepted.out.contains(u"\nNow: Log key of %1: %2 (pinned "_s.arg(url(), m_other.keyId())));
        QVERIFY(runCli({ u"check"_s }).out.contains(u"Log key of %1: %2 (pinned "_s.arg(url(), m_other.keyId())));
    }
};

QTEST_GUILESS_MAIN(TestEvidenceCli)
#include "tst_evidencecli.moc"
