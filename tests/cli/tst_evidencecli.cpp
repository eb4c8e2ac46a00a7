#include "core/batchrun.h"
#include "core/jsonwriter.h"
#include "evidence/evidence.h"
#include "evidence/logkey.h"
#include "evidence/merkleproof.h"
#include "evidence/rfc3161.h"
#include "mcp/mcpclient.h"
#include "mcp/offlineverifier.h"
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

namespace {

QJsonObject fileJson(const QString &path)
{
    return QJsonDocument::fromJson(readFile(path)).object();
}

} // namespace

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
    ScriptedHttpServer m_server;
    QList<QByteArray> m_served; // the leaves of the tree the service answers from
    const LogKey *m_signer = &m_key; // what signs the heads it sends
    const LogKey *m_offered = &m_key; // what log_key answers
    QJsonObject m_evidence; // what stamp, verify and evidence send

    QString hex(int leaf) const { return QString::fromLatin1(m_digests[leaf].toHex()); }
    QString url() const { return m_server.url().toString(); }

    TreeHead head(qint64 size) const
    {
        QList<QByteArray> leaves;
        for (qint64 i = 0; i < size; ++i)
            leaves.append(MerkleProof::leafHash(m_served[i]));
        const QDateTime time(QDate(2026, 12, 7), QTime(17, 0, 0, int(size)), Qt::UTC);
        return *m_signer->signHead(u"global"_s, size, MerkleProof::rootOf(leaves), time);
    }

    QList<QByteArray> proof(bool consistency, qint64 a, qint64 b) const
    {
        const auto nodes = [leaves = m_served](int level, qint64 index) -> Expected<QByteArray> {
            QList<QByteArray> hashes;
            for (const QByteArray &leaf : leaves.mid(index << level, qsizetype(1) << level))
                hashes.append(MerkleProof::leafHash(leaf));
            return MerkleProof::rootOf(hashes);
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
        auto task = client.registerFile(m_files[leaf], hex(leaf), u"global"_s);
        return QCoro::waitFor(task);
    }

private Q_SLOTS:
    void initTestCase()
    {
        for (int i = 0; i < 6; ++i) {
            m_files.append(m_dir.filePath(QString::number(i)));
            QVERIFY(writeFile(m_files.last(), QByteArray::number(i)));
            m_digests.append(QCryptographicHash::hash(QByteArray::number(i), QCryptographicHash::Sha256));
        }
        m_server.setHandler(ScriptedHttpServer::mcp([this](const QString &name, const QJsonObject &arguments,
                                                        const HttpRequest &) { return tool(name, arguments); }));
    }

    void init()
    {
        m_served = m_digests;
        m_signer = m_offered = &m_key;
        m_server.clearRequests();
    }

    // A reply's evidence: checked, pinned on first use, kept apart from the
    // receipt record, or the row fails and nothing of it is kept.
    void registerChecksEvidence_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QStringList>("tools");
        const QStringList pinning { u"stamp"_s, u"log_key"_s };
        QTest::newRow("sound") << QString() << u"Registered"_s << pinning;
        QTest::newRow("none") << u"none"_s << u"Registered"_s << QStringList { u"stamp"_s };
        QTest::newRow("path") << u"path"_s
                              << u"Evidence does not match: the audit path does not lead to the signed root"_s
                              << pinning;
        QTest::newRow("changed key") << u"changed"_s
                                     << u"Error: The log key of %1 changed: %2 is pinned, the service now offers %3. "
                                        "Accept the new key only if its operator confirms it: nivet-timestamp key "
                                        "accept %1, or Accept New Key in Settings"_s.arg(
                                            m_server.url().toString(), m_key.keyId(), m_other.keyId())
                                     << pinning;
    }

    void registerChecksEvidence()
    {
        QFETCH(QString, fault);
        QFETCH(QString, status);
        QFETCH(QStringList, tools);
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

        const FileResult row = registerFile(2);
        QCOMPARE(row.status, status);
        QStringList called;
        for (const ToolCall &call : toolCalls(m_server.requests()))
            called.append(call.name);
        QCOMPARE(called, tools);
        // The receipt is kept as ever, without a member of evidence.
        QCOMPARE(fileJson(ReceiptStore::receiptFileURL(hex(2)))[u"receipts"_s][0].toObject().keys(),
            (QStringList { u"created_at"_s, u"hash"_s, u"merkle"_s, u"receipt_id"_s, u"scope"_s }));
        const QString kept = home.nivet() + u"/evidence/"_s + hex(2) + u".json"_s;
        if (!fault.isEmpty()) {
            QVERIFY(!QFile::exists(kept));
            return;
        }
        const QJsonObject item { { u"receipt_id"_s, u"r-1"_s }, { u"service"_s, url() },
            { u"public_key"_s, QString::fromLatin1(m_key.publicKey().pem()) }, { u"evidence"_s, m_evidence } };
        QCOMPARE(readFile(kept),
            JsonWriter::pretty(QJsonObject { { u"sha256"_s, hex(2) }, { u"items"_s, QJsonArray { item } } }));
        QCOMPARE(fileMode(kept), 0600);
        QCOMPARE(fileJson(home.nivet() + u"/log-keys.json"_s)[url()][u"key_id"_s].toString(), m_key.keyId());
        QCOMPARE(
            fileJson(home.nivet() + u"/witness.json"_s)[m_key.keyId()][u"global"_s].toObject(), e.treeHead.toJson());
    }

    // A larger head must extend the largest one seen; one that does not
    // stops the run, naming both.
    void witness_data()
    {
        QTest::addColumn<bool>("forked");
        QTest::newRow("extends") << false;
        QTest::newRow("forked") << true;
    }

    void witness()
    {
        QFETCH(bool, forked);
        const IsolatedDataHome home;
        m_evidence = evidence(2, 3).toJson();
        QCOMPARE(registerFile(2).status, u"Registered"_s);
        const TreeHead seen = head(3);
        if (forked)
            m_served[1] = m_digests[5];
        m_evidence = evidence(4, 5).toJson();
        m_server.clearRequests();

        BatchRun run([](const QString &u) { return std::make_unique<MCPClient>(u); });
        auto task
            = run.run(BatchRun::Action::registerFiles, { m_files[4], m_files[3] }, url(), [] { return u"global"_s; });
        QCoro::waitFor(task);
        const QList<ToolCall> calls = toolCalls(m_server.requests());
        QCOMPARE(calls.at(1).name, u"consistency"_s);
        QCOMPARE(calls.at(1).arguments, jsonObject(R"({"scope":"global","first":3,"second":5})"));
        const QJsonObject witnessed
            = fileJson(home.nivet() + u"/witness.json"_s)[m_key.keyId()][u"global"_s].toObject();
        if (!forked) {
            QCOMPARE(run.results().size(), 2);
            QCOMPARE(witnessed, head(5).toJson());
            return;
        }
        const QString fork = u"The log was forked or rewritten: its tree heads of scope global with 3 leaves (root %1, "
                             "2026-12-07T17:00:00.003Z) and with 5 leaves (root %2, 2026-12-07T17:00:00.005Z), both "
                             "signed by %3, do not extend each other"_s.arg(QString::fromLatin1(seen.root.toHex()),
                                 QString::fromLatin1(head(5).root.toHex()), m_key.keyId());
        QCOMPARE(run.results().size(), 1);
        QCOMPARE(run.results()[0].status, u"Error: "_s + fork);
        QCOMPARE(run.status(), u"Stopped — 0 registered/ok, 1 failed (1 total). "_s + fork);
        QCOMPARE(witnessed, seen.toJson());
        QVERIFY(!QFile::exists(home.nivet() + u"/evidence/"_s + hex(4) + u".json"_s));
    }

    // verify --offline: from the kept evidence alone, per file what it proves or what failed.
    void verifyOffline_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("exit");
        const QString existed = u"Existed by %2: log key %1, tree size 5, timestamp by %3 at %2"_s.arg(m_key.keyId());
        QTest::newRow("anchored") << QString() << existed << 0;
        QTest::newRow("log's clock")
            << u"unanchored"_s
            << u"Existed by 2026-12-07T17:00:00.003Z by the log's clock alone: log key %1, tree size 3; no authority "
               "has dated it yet (nivet-timestamp evidence update)"_s.arg(m_key.keyId())
            << 0;
        QTest::newRow("untrusted authority")
            << u"untrusted"_s
            << u"Evidence does not match: the timestamp authority %1 is not trusted"_s.arg(m_authority.tsaName()) << 1;
        QTest::newRow("changed file")
            << u"changed"_s
            << u"Not found: no evidence is kept for this file (register it, or nivet-timestamp evidence update)"_s << 1;
    }

    void verifyOffline()
    {
        QFETCH(QString, fault);
        QFETCH(QString, status);
        QFETCH(int, exit);
        const IsolatedDataHome home;
        Evidence e = evidence(2, 3, fault == u"unanchored" ? 0 : 5);
        QVERIFY(EvidenceStore::save(hex(2), { u"r-1"_s, url(), m_key.publicKey().pem(), e.toJson() }));
        const QString ca = m_dir.filePath(u"ca.pem"_s);
        QVERIFY(writeFile(ca, m_authority.caPem()));
        const QString file = m_dir.filePath(u"copy"_s);
        QVERIFY(writeFile(file, fault == u"changed" ? "2 " : "2"));
        QStringList args { u"verify"_s, u"--offline"_s, u"--format"_s, u"json"_s, file };
        if (fault != u"untrusted")
            args.insert(2, u"--tsa-ca"_s), args.insert(3, ca);
        const CliRun run = runCli(args);
        QCOMPARE(run.status, exit);
        const QJsonObject row
            = QJsonDocument::fromJson(run.out.section(u"\nDone"_s, 0, 0).toUtf8()).array().at(0).toObject();
        // The authority's time (its milliseconds are always 123), not the log's.
        const QString time = row[u"created_at"_s].toString();
        if (status.contains(u"%2"_s)) {
            status = status.arg(time, m_authority.tsaName());
            QVERIFY(time.endsWith(u".123Z"_s));
        }
        QCOMPARE(row[u"status"_s].toString(), status);
        QVERIFY(m_server.requests().isEmpty());
    }

    // One run checks a shared anchored head once, and only for the same bytes.
    void offlineRunSharesOnlySameHead()
    {
        OfflineVerifier verifier({ m_authority.caPem() });
        Evidence e = evidence(2, 3, 5);
        const auto status = [&] {
            return verifier
                .check(m_files[2], hex(2), QList<EvidenceItem> { { {}, {}, m_key.publicKey().pem(), e.toJson() } })
                .status;
        };
        QVERIFY(status().startsWith(u"Existed by "_s));
        e.anchor->treeHead.signature[63] = char(e.anchor->treeHead.signature[63] ^ 1);
        QCOMPARE(status(),
            u"Evidence does not match: the anchored tree head is not signed by the pinned key "_s + m_key.keyId());
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

        const QString out = m_dir.filePath(u"2.evidence.json"_s);
        QCOMPARE(runCli({ u"evidence"_s, u"export"_s, m_files[2], u"--out"_s, out }).status, 0);
        const QJsonObject document = fileJson(out);
        QCOMPARE(document[u"evidence"_s].toObject(), m_evidence);
        QCOMPARE(document[u"receipt"_s].toObject(),
            (QJsonObject { { u"receipt_id"_s, u"r-1"_s }, { u"hash"_s, hex(2) }, { u"scope"_s, u"global"_s },
                { u"created_at"_s, u"t"_s }, { u"merkle"_s, u"m"_s } }));

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
