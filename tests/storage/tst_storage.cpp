#include "storage/configstore.h"
#include "storage/receiptstore.h"

#include "core/jsonwriter.h"
#include "testenv.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSet>
#include <QSignalSpy>
#include <QtTest>

Q_DECLARE_METATYPE(NivetDefaults)

namespace {

const QString kDigest = u"3a7bd3e2360a3d29eea436fcfb7e44c735d117c42d1c1835420b6b9942dd4f1b"_qs;
constexpr int kPerSaver = 200;

QDateTime at(const char *iso)
{
    return QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODate);
}

QByteArray golden(const char *name)
{
    QByteArray bytes = readFile(QStringLiteral(NIVET_TEST_DATA "/storage/") + QLatin1String(name));
    if (bytes.endsWith('\n'))
        bytes.chop(1); // editors add one; the store writes none
    return bytes;
}

QByteArray compactReceipts(const QList<Receipt> &receipts)
{
    QJsonArray array;
    for (const Receipt &r : receipts)
        array.append(r.toJson());
    return JsonWriter::compact(array);
}

Receipt receipt(const char *id)
{
    return { QString::fromUtf8(id), kDigest, {}, {}, {}, {} };
}

QByteArray recordBytes(const QByteArray &receipts, const QByteArray &paths = "[]", const QByteArray &more = {})
{
    return "{\"sha256\":\"" + kDigest.toLatin1() + "\",\"receipts\":" + receipts + ",\"source_paths\":" + paths + more
        + "}";
}

QStringList receiptFiles(const IsolatedDataHome &home, const QString &pattern)
{
    return QDir(home.nivet() + u"/receipts"_qs).entryList({ pattern }, QDir::Files | QDir::Hidden);
}

} // namespace

/// The stored files: client.json and the receipt records.
class TestStorage : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void loads_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<NivetDefaults>("expected");
        const NivetDefaults builtIn = NivetDefaults::builtIn();
        QTest::newRow("no file") << QByteArray() << builtIn;
        QTest::newRow("pretty, other members, nothing trimmed")
            << QByteArray("{\n  \"output\" : \"PDF\",\n  \"proxy\" : 1,\n  \"scope\" : \"\",\n  \"url\" : \" u \"\n}\n")
            << NivetDefaults { u" u "_qs, u""_qs, u"PDF"_qs };
        QTest::newRow("null member") << QByteArray(R"({"url":"u","scope":null,"output":"o"})") << builtIn;
        QTest::newRow("not JSON") << QByteArray("url=u") << builtIn;
    }

    void loads()
    {
        QFETCH(QByteArray, file);
        IsolatedDataHome home;
        const QString json = home.nivet() + u"/client.json"_qs;
        if (!file.isEmpty())
            QVERIFY(writeFile(json, file));
        ConfigStore store;
        QTEST(store.defaults(), "expected");
        QCOMPARE(store.fileURL(), json);
        QCOMPARE(readFile(json), file); // loading never writes
    }

    // Receipt records with modes of their own, whatever the umask; the data
    // folder keeps the umask's. What other writers stored is carried over:
    // in a record, and in client.json what another writer (the command-line
    // tool) added after the store loaded it. client.json is compact and not a
    // secret; a killed save's scratch is swept.
    void writesTheStoredLayout()
    {
        const ScopedUmask open(0);
        IsolatedDataHome home;
        // An empty merkle is written, an absent one is not; service_only is not ours to keep.
        const Receipt first { u"r-1"_qs, kDigest, u"global"_qs, u"2026-12-05T06:50:30Z"_qs, QString(),
            { { u"service_only"_qs, 1 } } };
        const Receipt second { {}, kDigest, u"team"_qs, {}, {}, {} };
        ReceiptStore::save(kDigest, { first, second }, u"/home/ann/Quarterly \"final\" report.pdf"_qs,
            at("2026-12-05T07:50:33.789+01:00"));
        const QString file = home.nivet() + u"/receipts/"_qs + kDigest + u".json"_qs;
        QCOMPARE(ReceiptStore::receiptFileURL(kDigest), file);
        QCOMPARE(readFile(file), golden("record-fresh.json"));
        QCOMPARE(receiptFiles(home, u"*"_qs), (QStringList { u".lock"_qs, kDigest + u".json"_qs }));
        QCOMPARE(fileMode(home.nivet()), 0777);
        QCOMPARE(fileMode(home.nivet() + u"/receipts"_qs), 0700);
        QCOMPARE(fileMode(file), 0600);
        QCOMPARE(fileMode(home.nivet() + u"/receipts/.lock"_qs), 0600);

        // What another writer stored is carried over.
        QVERIFY(writeFile(file, golden("record-other-writer.json")));
        const Receipt update { u"r-1"_qs, kDigest, {}, {}, u"m-9"_qs, {} };
        const Receipt fresh { u"r-2"_qs, kDigest, u"global"_qs, u"2026-12-05T06:50:30Z"_qs, {}, {} };
        ReceiptStore::save(
            u"sha256:"_qs + kDigest, { update, fresh }, u"/home/ann/report.pdf"_qs, at("2026-12-05T06:50:33Z"));
        QCOMPARE(readFile(file), golden("record-other-writer-saved.json"));

        const QString json = home.nivet() + u"/client.json"_qs;
        ConfigStore store;
        QVERIFY(writeFile(json + u".tmp-killed"_qs, "{\"url\":"));
        QVERIFY(writeFile(json, R"({"url":"u","scope":"s","output":"o","proxy":{"h":"h/1"}})"));
        store.setDefaults({ u"https://h.example/mcp?x=1"_qs, u"caf\u00e9 \"q\""_qs, u"json"_qs });
        QSignalSpy saved(&store, &ConfigStore::saved);
        QVERIFY(QCoro::waitFor(store.save()).ok());
        QCOMPARE(readFile(json),
            QByteArray("{\"output\":\"json\",\"proxy\":{\"h\":\"h\\/1\"},\"scope\":\"caf\u00e9 \\\"q\\\"\","
                       "\"url\":\"https:\\/\\/h.example\\/mcp?x=1\"}"));
        QCOMPARE(saved.size(), 1);
        QCOMPARE(fileMode(json), 0666); // not a secret: the mode it had
        QCOMPARE(
            QDir(home.nivet()).entryList(QDir::Files | QDir::Hidden), (QStringList { u".lock"_qs, u"client.json"_qs }));
    }

    // A digest is trimmed, its prefix dropped, in lower case; a slash
    // cannot leave the folder. A path is noted once however its letters are
    // composed; an empty one adds nothing, but the file is rewritten.
    void namesFilesAndNotesPaths()
    {
        IsolatedDataHome home;
        const QStringList noted { u"/docs/Caf\u00e9.pdf"_qs };
        QVERIFY(writeFile(ReceiptStore::receiptFileURL(kDigest), recordBytes("[]", "[\"/docs/Caf\xc3\xa9.pdf\"]")));
        const QString given = u"\u2003SHA256:"_qs + kDigest.toUpper() + u"\n\u00a0"_qs;
        const auto saved = ReceiptStore::save(given, {}, u"/docs/Cafe\u0301.pdf"_qs);
        QVERIFY(saved && saved->sha256 == kDigest && saved->sourcePaths == noted);
        QCOMPARE(ReceiptStore::save(kDigest, {}, QString())->sourcePaths, noted);
        QCOMPARE(ReceiptStore::read(given)->sourcePaths, noted);
        QVERIFY(ReceiptStore::read(kDigest)->updatedAt);
        ReceiptStore::save(u"../../escape"_qs, { receipt("r") }, std::nullopt);
        const QString escaped = u"..%2F..%2Fescape.json"_qs;
        QCOMPARE(ReceiptStore::receiptFileURL(u"../../escape"_qs), home.nivet() + u"/receipts/"_qs + escaped);
        QCOMPARE(receiptFiles(home, u"*.json"_qs), (QStringList { escaped, kDigest + u".json"_qs }));
        QCOMPARE(QDir(home.nivet()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList { u"receipts"_qs });
    }

    // Stored receipts first, then the service's, merged by receipt_id. Each
    // row: stored | incoming | expected.
    void mergesReceipts_data()
    {
        QTest::addColumn<QByteArray>("row");
        QTest::newRow("later overwrites set fields")
            << QByteArray(R"([{"receipt_id":"a","hash":"h1","scope":"s1","created_at":"c1","merkle":"m1"}] | )"
                          R"([{"receipt_id":"a","hash":"h2","created_at":"c2"}] | )"
                          R"([{"created_at":"c2","hash":"h2","merkle":"m1","receipt_id":"a","scope":"s1"}])");
        QTest::newRow("empty merkle keeps stored") << QByteArray(
            R"([{"receipt_id":"a","merkle":"m"}] | [{"receipt_id":"a","merkle":""}] | [{"merkle":"m","receipt_id":"a"}])");
        QTest::newRow("absent and empty differ without id")
            << QByteArray(R"([{"hash":"h"}] | [{"hash":"h","merkle":""}] | [{"hash":"h"},{"hash":"h","merkle":""}])");
        QTest::newRow("first-seen order, duplicates in one list")
            << QByteArray(R"([{"receipt_id":"z"},{"receipt_id":"m"}] | )"
                          R"([{"receipt_id":"a"},{"receipt_id":"m","scope":"s"},{"receipt_id":"a","scope":"t"}] | )"
                          R"([{"receipt_id":"z"},{"receipt_id":"m","scope":"s"},{"receipt_id":"a","scope":"t"}])");
    }

    void mergesReceipts()
    {
        QFETCH(QByteArray, row);
        const QList<QByteArray> parts = row.split('|');
        IsolatedDataHome home;
        QVERIFY(writeFile(ReceiptStore::receiptFileURL(kDigest), recordBytes(parts[0].trimmed())));
        QList<Receipt> incoming;
        for (const QJsonValue &v : QJsonDocument::fromJson(parts[1]).array())
            incoming.append(*Receipt::fromJson(v.toObject()));
        const ReceiptRecord saved = *ReceiptStore::save(kDigest, incoming, std::nullopt);
        QCOMPARE(compactReceipts(saved.receipts), parts[2].trimmed());
        QCOMPARE(compactReceipts(ReceiptStore::read(kDigest)->receipts), parts[2].trimmed());
    }

    // Whatever does not decode, or is another digest's record (it would
    // vouch for the wrong file), is no record to a reader; a save keeps it
    // aside under a name of its own and never merges it.
    void undecodableRecordIsKeptAside()
    {
        IsolatedDataHome home;
        const QString file = ReceiptStore::receiptFileURL(kDigest);
        QVERIFY(writeFile(file, recordBytes("[]", "[]", R"(,"retention_days":null,"updated_at":null)")));
        QVERIFY(ReceiptStore::read(kDigest)); // nulls are absent members
        const QByteArray bad[] = { R"({"sha256":"x","receipts":[{"receipt_id":"old"}]})", "not json",
            R"({"sha256":"ab","receipts":[{"receipt_id":"theirs"}],"source_paths":[]})",
            recordBytes("[]", "[]", R"(,"retention_days":3.5)"), recordBytes(R"([{"merkle":7}])") };
        for (int i = 0; i < 5; ++i) {
            QVERIFY(writeFile(file, bad[i]));
            QVERIFY(!ReceiptStore::read(kDigest));
            const auto saved = ReceiptStore::save(kDigest, { receipt("new") }, u"/p"_qs, at("2026-12-06T08:55:01Z"));
            QCOMPARE(compactReceipts(saved->receipts), compactReceipts({ receipt("new") }));
        }
        for (int i = 0; i < 5; ++i) // the same second: each gets a name of its own
            QCOMPARE(readFile(file + u".corrupt-20261206T085501Z"_qs + (i ? u"-%1"_qs.arg(i + 1) : QString())), bad[i]);
        QCOMPARE(ReceiptStore::read(kDigest)->sourcePaths, QStringList { u"/p"_qs });
    }

    // Saves from two processes at once keep every receipt.
    void twoProcessesKeepEveryReceipt()
    {
        IsolatedDataHome home;
        QProcess savers[2];
        QSet<QString> expected;
        for (int p = 0; p < 2; ++p) {
            const QString prefix = p ? u"cli"_qs : u"app"_qs;
            savers[p].setProcessChannelMode(QProcess::ForwardedErrorChannel);
            savers[p].start(QCoreApplication::applicationFilePath(), { u"--save"_qs, prefix });
            for (int i = 0; i < kPerSaver; ++i)
                expected << prefix + u'-' + QString::number(i);
        }
        for (QProcess &saver : savers) {
            QVERIFY(saver.waitForFinished(120000));
            QCOMPARE(saver.exitCode(), 0);
        }
        const auto record = ReceiptStore::read(kDigest);
        QVERIFY(record);
        QSet<QString> ids;
        for (const Receipt &r : record->receipts)
            ids.insert(r.receiptId.value_or(QString()));
        QCOMPARE(ids, expected);
        QCOMPARE(QSet<QString>(record->sourcePaths.begin(), record->sourcePaths.end()),
            (QSet<QString> { u"/from/app"_qs, u"/from/cli"_qs }));
        QCOMPARE(receiptFiles(home, u"*.tmp-*"_qs), QStringList());
    }
};

// With --save, the program is a saver of its own for the test of two
// processes: it saves one receipt per save, kPerSaver times.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--save") == 0) {
        const QString prefix = QString::fromLocal8Bit(argv[2]);
        for (int i = 0; i < kPerSaver; ++i) {
            if (!ReceiptStore::save(
                    kDigest, { receipt(qPrintable(prefix + u'-' + QString::number(i))) }, u"/from/"_qs + prefix))
                return 1;
        }
        return 0;
    }
    TestStorage test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_storage.moc"
