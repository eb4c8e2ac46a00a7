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

NivetDefaults defaults(const char *url, const char *scope, const char *output)
{
    return { QString::fromUtf8(url), QString::fromUtf8(scope), QString::fromUtf8(output) };
}

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

QList<Receipt> receiptsFrom(const QByteArray &jsonArray)
{
    QList<Receipt> out;
    for (const QJsonValue &v : QJsonDocument::fromJson(jsonArray).array())
        out.append(Receipt::fromJson(v.toObject()).value());
    return out;
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
    Receipt r;
    if (id)
        r.receiptId = QString::fromUtf8(id);
    r.hash = kDigest;
    return r;
}

QByteArray recordBytes(const QByteArray &receipts, const QByteArray &paths)
{
    return "{\"sha256\":\"" + kDigest.toLatin1() + "\",\"receipts\":" + receipts + ",\"source_paths\":" + paths + "}";
}

std::unique_ptr<QProcess> startSaver(const QString &prefix, int count)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(QCoreApplication::applicationFilePath(), { u"--save"_qs, prefix, QString::number(count) });
    return process;
}

QSet<QString> storedIds()
{
    QSet<QString> ids;
    if (const auto record = ReceiptRecord::fromJson(readFile(ReceiptStore::receiptFileURL(kDigest)))) {
        for (const Receipt &r : record->receipts)
            ids.insert(r.receiptId.value_or(QString()));
    }
    return ids;
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
            << defaults(" u ", "", "PDF");
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

    // Compact, keeping what another writer (the command-line tool) added
    // after the store loaded the file; not a secret; a killed save's scratch swept.
    void savesCompactJsonKeepingOtherMembers()
    {
        IsolatedDataHome home;
        const QString json = home.nivet() + u"/client.json"_qs;
        ConfigStore store;
        QVERIFY(writeFile(json + u".tmp-killed"_qs, "{\"url\":"));
        QVERIFY(writeFile(json, R"({"url":"u","scope":"s","output":"o","proxy":{"h":"h/1"}})"));
        store.setDefaults(defaults("https://h.example/mcp?x=1", "caf\u00e9 \"q\"", "json"));
        QSignalSpy saved(&store, &ConfigStore::saved);
        QVERIFY(QCoro::waitFor(store.save()).ok());
        QCOMPARE(readFile(json),
            QByteArray("{\"output\":\"json\",\"proxy\":{\"h\":\"h\\/1\"},\"scope\":\"caf\u00e9 \\\"q\\\"\","
                       "\"url\":\"https:\\/\\/h.example\\/mcp?x=1\"}"));
        QCOMPARE(saved.size(), 1);
        QCOMPARE(fileMode(json), 0644);
        QCOMPARE(
            QDir(home.nivet()).entryList(QDir::Files | QDir::Hidden), (QStringList { u".lock"_qs, u"client.json"_qs }));
    }

    // Modes of its own, whatever the umask; the data folder keeps the umask's.
    void writesTheStoredLayout()
    {
        const ScopedUmask open(0);
        IsolatedDataHome home;
        Receipt first = receipt("r-1");
        first.scope = u"global"_qs;
        first.createdAt = u"2026-12-05T06:50:30Z"_qs;
        first.merkle = QString(); // empty is written, absent is not
        first.extra.insert(u"service_only"_qs, 1); // not ours to keep
        Receipt second = receipt(nullptr);
        second.scope = u"team"_qs;

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
    }

    void carriesOverWhatOtherWritersStored()
    {
        IsolatedDataHome home;
        const QString file = ReceiptStore::receiptFileURL(kDigest);
        QVERIFY(writeFile(file, golden("record-other-writer.json")));
        Receipt update = receipt("r-1");
        update.merkle = u"m-9"_qs;
        Receipt fresh = receipt("r-2");
        fresh.scope = u"global"_qs;
        fresh.createdAt = u"2026-12-05T06:50:30Z"_qs;
        ReceiptStore::save(
            u"sha256:"_qs + kDigest, { update, fresh }, u"/home/ann/report.pdf"_qs, at("2026-12-05T06:50:33Z"));
        QCOMPARE(readFile(file), golden("record-other-writer-saved.json"));
    }

    // Trimmed, prefix dropped, lower case; a slash cannot leave the folder.
    void normalisesTheDigest()
    {
        IsolatedDataHome home;
        const QString given = u"\u2003SHA256:"_qs + kDigest.toUpper() + u"\n\u00a0"_qs;
        QCOMPARE(ReceiptStore::save(given, { receipt("r") }, std::nullopt)->sha256, kDigest);
        QCOMPARE(ReceiptStore::read(given)->sha256, kDigest);
        ReceiptStore::save(u"../../escape"_qs, { receipt("r") }, std::nullopt);
        QCOMPARE(
            ReceiptStore::receiptFileURL(u"../../escape"_qs), home.nivet() + u"/receipts/..%2F..%2Fescape.json"_qs);
        QCOMPARE(
            receiptFiles(home, u"*.json"_qs), (QStringList { u"..%2F..%2Fescape.json"_qs, kDigest + u".json"_qs }));
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
        QVERIFY(writeFile(ReceiptStore::receiptFileURL(kDigest), recordBytes(parts[0].trimmed(), "[]")));
        const ReceiptRecord saved = *ReceiptStore::save(kDigest, receiptsFrom(parts[1].trimmed()), std::nullopt);
        QCOMPARE(compactReceipts(saved.receipts), parts[2].trimmed());
        QCOMPARE(compactReceipts(ReceiptStore::read(kDigest)->receipts), parts[2].trimmed());
    }

    // A path is noted once however its letters are composed; an empty one adds nothing.
    void notesSourcePaths()
    {
        IsolatedDataHome home;
        const QStringList noted { u"/docs/Caf\u00e9.pdf"_qs };
        QVERIFY(writeFile(ReceiptStore::receiptFileURL(kDigest), recordBytes("[]", "[\"/docs/Caf\xc3\xa9.pdf\"]")));
        for (const QString &given : { u"/docs/Cafe\u0301.pdf"_qs, QString() })
            QCOMPARE(ReceiptStore::save(kDigest, {}, given)->sourcePaths, noted);
        QCOMPARE(ReceiptStore::read(kDigest)->sourcePaths, noted);
        QVERIFY(ReceiptStore::read(kDigest)->updatedAt); // an empty save rewrites the file too
    }

    void decodesRecords_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("decodes");
        const auto with = [](const char *member) {
            return QByteArray(R"({"sha256":"x","receipts":[],"source_paths":[],)") + member + '}';
        };
        QTest::newRow("nulls are absent") << with(R"("retention_days":null,"updated_at":null)") << true;
        QTest::newRow("fractional retention") << with(R"("retention_days":3.5)") << false;
        QTest::newRow("receipt member not text") << recordBytes(R"([{"merkle":7}])", "[]") << false;
    }

    void decodesRecords()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, decodes);
        const auto record = ReceiptRecord::fromJson(bytes);
        QCOMPARE(record.ok(), decodes);
        // Whatever does not decode is no record to a reader.
        IsolatedDataHome home;
        const QString named = record ? record->sha256 : kDigest;
        QVERIFY(writeFile(ReceiptStore::receiptFileURL(named), bytes));
        QCOMPARE(ReceiptStore::read(named).has_value(), decodes);
    }

    void undecodableRecordIsKeptAside()
    {
        IsolatedDataHome home;
        const QString file = ReceiptStore::receiptFileURL(kDigest);
        const QByteArray broken = R"({"sha256":"x","receipts":[{"receipt_id":"old"}]})"; // no source_paths
        QVERIFY(writeFile(file, broken));
        const ReceiptRecord saved
            = *ReceiptStore::save(kDigest, { receipt("new") }, u"/p"_qs, at("2026-12-06T08:55:01Z"));
        QCOMPARE(compactReceipts(saved.receipts), compactReceipts({ receipt("new") })); // never merged
        QCOMPARE(readFile(file + u".corrupt-20261206T085501Z"_qs), broken);
        QCOMPARE(ReceiptStore::read(kDigest)->sourcePaths, QStringList { u"/p"_qs });
        // A second bad file in the same second gets a name of its own.
        QVERIFY(writeFile(file, "not json"));
        ReceiptStore::save(kDigest, {}, std::nullopt, at("2026-12-06T08:55:01Z"));
        QCOMPARE(readFile(file + u".corrupt-20261206T085501Z"_qs), broken);
        QCOMPARE(readFile(file + u".corrupt-20261206T085501Z-2"_qs), QByteArray("not json"));
        // Another digest's record under this name would vouch for the wrong file.
        const QByteArray other = R"({"sha256":"ab","receipts":[{"receipt_id":"theirs"}],"source_paths":[]})";
        QVERIFY(writeFile(file, other));
        QVERIFY(!ReceiptStore::read(kDigest));
        QVERIFY(ReceiptStore::save(kDigest, {}, std::nullopt, at("2026-12-06T08:55:01Z"))->receipts.isEmpty());
        QCOMPARE(readFile(file + u".corrupt-20261206T085501Z-3"_qs), other);
    }

    // Saves from two processes at once keep every receipt.
    void twoProcessesKeepEveryReceipt()
    {
        IsolatedDataHome home;
        constexpr int perProcess = 200;
        auto app = startSaver(u"app"_qs, perProcess);
        auto cli = startSaver(u"cli"_qs, perProcess);
        QSet<QString> expected;
        for (int i = 0; i < perProcess; ++i)
            expected << u"app-%1"_qs.arg(i) << u"cli-%1"_qs.arg(i);
        for (QProcess *p : { app.get(), cli.get() }) {
            QVERIFY(p->waitForFinished(120000));
            QCOMPARE(p->exitCode(), 0);
        }
        QCOMPARE(storedIds(), expected);
        const QStringList paths = ReceiptStore::read(kDigest)->sourcePaths;
        QCOMPARE(QSet<QString>(paths.begin(), paths.end()), (QSet<QString> { u"/from/app"_qs, u"/from/cli"_qs }));
        QCOMPARE(receiptFiles(home, u"*.tmp-*"_qs), QStringList());
    }
};

// With --save, the program is a saver of its own for the test of two
// processes: it saves one receipt per save, count times.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 4 && qstrcmp(argv[1], "--save") == 0) {
        const QString prefix = QString::fromLocal8Bit(argv[2]);
        const qint64 count = QByteArray(argv[3]).toLongLong();
        for (qint64 i = 0; i < count; ++i) {
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
