#include "storage/nivetpaths.h"
#include "storage/receiptstore.h"

#include "core/jsonwriter.h"
#include "testenv.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kDigest = QStringLiteral("3a7bd3e2360a3d29eea436fcfb7e44c735d117c42d1c1835420b6b9942dd4f1b");

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
    const QJsonArray array = QJsonDocument::fromJson("{\"r\":" + jsonArray + "}").object().value(u"r").toArray();
    for (const QJsonValue &v : array)
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

Receipt receipt(const char *id, const char *merkle = nullptr)
{
    Receipt r;
    if (id)
        r.receiptId = QString::fromUtf8(id);
    r.hash = kDigest;
    if (merkle)
        r.merkle = QString::fromUtf8(merkle);
    return r;
}

QByteArray recordBytes(const QByteArray &receipts, const QByteArray &paths)
{
    return "{\"sha256\":\"" + kDigest.toLatin1() + "\",\"receipts\":" + receipts + ",\"source_paths\":" + paths + "}";
}

} // namespace

class TestReceiptStore : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void writesTheStoredLayout()
    {
        IsolatedDataHome home;
        Receipt first = receipt("r-1");
        first.scope = QStringLiteral("global");
        first.createdAt = QStringLiteral("2026-12-05T06:50:30Z");
        first.merkle = QString(); // empty is written, absent is not
        first.extra.insert(QStringLiteral("service_only"), 1); // not ours to keep
        Receipt second = receipt(nullptr);
        second.scope = QStringLiteral("team");

        const ReceiptRecord saved = ReceiptStore::save(kDigest, { first, second },
            QStringLiteral("/home/ann/Quarterly \"final\" report.pdf"), at("2026-12-05T07:50:33.789+01:00"));
        const QString file = home.nivet() + QStringLiteral("/receipts/") + kDigest + QStringLiteral(".json");
        QCOMPARE(ReceiptStore::receiptFileURL(kDigest), file);
        QCOMPARE(readFile(file), golden("record-fresh.json"));
        QCOMPARE(saved.toJson(), golden("record-fresh.json"));
        QVERIFY(!saved.retentionDays);

        const auto back = ReceiptStore::read(kDigest);
        QVERIFY(back);
        QCOMPARE(back->receipts, saved.receipts);
        QCOMPARE(back->updatedAt, QStringLiteral("2026-12-05T06:50:33Z"));
        // Only the record and the lock file: no scratch file stays behind.
        QCOMPARE(QDir(home.nivet() + QStringLiteral("/receipts")).entryList(QDir::Files | QDir::Hidden),
            (QStringList { QStringLiteral(".lock"), kDigest + QStringLiteral(".json") }));
    }

    void carriesOverWhatOtherWritersStored()
    {
        IsolatedDataHome home;
        const QString file = ReceiptStore::receiptFileURL(kDigest);
        QVERIFY(writeFile(file, golden("record-other-writer.json")));

        Receipt update = receipt("r-1", "m-9");
        Receipt fresh = receipt("r-2");
        fresh.scope = QStringLiteral("global");
        fresh.createdAt = QStringLiteral("2026-12-05T06:50:30Z");
        ReceiptStore::save(QStringLiteral("sha256:") + kDigest, { update, fresh },
            QStringLiteral("/home/ann/report.pdf"), at("2026-12-05T06:50:33Z"));
        QCOMPARE(readFile(file), golden("record-other-writer-saved.json"));
    }

    void normalisesTheDigest_data()
    {
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("fileName");
        const QString upper = kDigest.toUpper();
        QTest::newRow("prefix, upper case, line break")
            << QStringLiteral("SHA256:") + upper + QStringLiteral("\n") << kDigest << kDigest + QStringLiteral(".json");
        QTest::newRow("unicode white space") << QStringLiteral("\u2003\t") + upper + QStringLiteral("\u2028\u00a0")
                                             << kDigest << kDigest + QStringLiteral(".json");
        QTest::newRow("prefix dropped once")
            << QStringLiteral(" sha256:SHA256:ab") << QStringLiteral("sha256:ab") << QStringLiteral("sha256:ab.json");
        QTest::newRow("prefix after trimming only")
            << QStringLiteral("x sha256:ab") << QStringLiteral("x sha256:ab") << QStringLiteral("x sha256:ab.json");
        QTest::newRow("slash stays in the folder") << QStringLiteral("../../escape") << QStringLiteral("../../escape")
                                                   << QStringLiteral("..%2F..%2Fescape.json");
    }

    void normalisesTheDigest()
    {
        QFETCH(QString, given);
        QFETCH(QString, stored);
        QFETCH(QString, fileName);
        IsolatedDataHome home;
        const ReceiptRecord saved = ReceiptStore::save(given, { receipt("r") }, std::nullopt);
        QCOMPARE(saved.sha256, stored);
        const QString file = home.nivet() + QStringLiteral("/receipts/") + fileName;
        QCOMPARE(ReceiptStore::receiptFileURL(given), file);
        const auto onDisk = ReceiptRecord::fromJson(readFile(file));
        QVERIFY2(onDisk.ok(), qPrintable(file));
        QCOMPARE(onDisk->sha256, stored);
        QCOMPARE(ReceiptStore::read(given)->sha256, stored);
        QCOMPARE(QDir(home.nivet()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList { u"receipts"_qs });
    }

    // Stored receipts are written to the file, then the service's receipts saved.
    void mergesReceipts_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QByteArray>("incoming");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("same id saved twice")
            << QByteArray(R"([{"receipt_id":"a","scope":"s"}])") << QByteArray(R"([{"receipt_id":"a","scope":"s"}])")
            << QByteArray(R"([{"receipt_id":"a","scope":"s"}])");
        QTest::newRow("later fills in merkle")
            << QByteArray(R"([{"receipt_id":"a"}])") << QByteArray(R"([{"receipt_id":"a","merkle":"m"}])")
            << QByteArray(R"([{"merkle":"m","receipt_id":"a"}])");
        QTest::newRow("empty merkle keeps stored")
            << QByteArray(R"([{"receipt_id":"a","merkle":"m"}])") << QByteArray(R"([{"receipt_id":"a","merkle":""}])")
            << QByteArray(R"([{"merkle":"m","receipt_id":"a"}])");
        QTest::newRow("later overwrites set fields")
            << QByteArray(R"([{"receipt_id":"a","hash":"h1","scope":"s1","created_at":"c1","merkle":"m1"}])")
            << QByteArray(R"([{"receipt_id":"a","hash":"h2","created_at":"c2"}])")
            << QByteArray(R"([{"created_at":"c2","hash":"h2","merkle":"m1","receipt_id":"a","scope":"s1"}])");
        QTest::newRow("identical without id collapse")
            << QByteArray(R"([{"hash":"h","scope":"s"}])") << QByteArray(R"([{"scope":"s","hash":"h"}])")
            << QByteArray(R"([{"hash":"h","scope":"s"}])");
        QTest::newRow("differing without id kept")
            << QByteArray(R"([{"hash":"h","scope":"s"}])") << QByteArray(R"([{"hash":"h","scope":"t"}])")
            << QByteArray(R"([{"hash":"h","scope":"s"},{"hash":"h","scope":"t"}])");
        QTest::newRow("absent and empty differ without id")
            << QByteArray(R"([{"hash":"h"}])") << QByteArray(R"([{"hash":"h","merkle":""}])")
            << QByteArray(R"([{"hash":"h"},{"hash":"h","merkle":""}])");
        QTest::newRow("empty id is no id")
            << QByteArray(R"([{"receipt_id":"","hash":"h"}])") << QByteArray(R"([{"receipt_id":"","hash":"h2"}])")
            << QByteArray(R"([{"hash":"h","receipt_id":""},{"hash":"h2","receipt_id":""}])");
        QTest::newRow("duplicates in one list merge")
            << QByteArray("[]")
            << QByteArray(R"([{"receipt_id":"b"},{"receipt_id":"a"},{"receipt_id":"b","scope":"s"}])")
            << QByteArray(R"([{"receipt_id":"b","scope":"s"},{"receipt_id":"a"}])");
        QTest::newRow("first-seen order")
            << QByteArray(R"([{"receipt_id":"z"},{"receipt_id":"m"}])")
            << QByteArray(R"([{"receipt_id":"a"},{"receipt_id":"m","scope":"s"}])")
            << QByteArray(R"([{"receipt_id":"z"},{"receipt_id":"m","scope":"s"},{"receipt_id":"a"}])");
        QTest::newRow("stored members of other names kept")
            << QByteArray(R"([{"receipt_id":"a","anchor":{"chain":"x"}},{"hash":"h","note":1}])")
            << QByteArray(R"([{"receipt_id":"a","anchor":"service","merkle":"m"},{"hash":"h","extra":2}])")
            << QByteArray(R"([{"anchor":{"chain":"x"},"merkle":"m","receipt_id":"a"},{"hash":"h","note":1}])");
        QTest::newRow("service members of other names dropped")
            << QByteArray("[]") << QByteArray(R"([{"receipt_id":"a","x":1}])") << QByteArray(R"([{"receipt_id":"a"}])");
    }

    void mergesReceipts()
    {
        QFETCH(QByteArray, stored);
        QFETCH(QByteArray, incoming);
        QFETCH(QByteArray, expected);
        IsolatedDataHome home;
        QVERIFY(writeFile(ReceiptStore::receiptFileURL(kDigest), recordBytes(stored, "[]")));
        const ReceiptRecord saved = ReceiptStore::save(kDigest, receiptsFrom(incoming), std::nullopt);
        QCOMPARE(compactReceipts(saved.receipts), expected);
        QCOMPARE(compactReceipts(ReceiptStore::read(kDigest)->receipts), expected);
    }

    void textWithoutUtf8FormNeverMerges()
    {
        Receipt odd;
        odd.hash = QString(QChar(0xD800));
        QCOMPARE(ReceiptStore::merge({ odd }, { odd }).size(), 2);
        Receipt plain;
        plain.hash = QStringLiteral("h");
        QCOMPARE(ReceiptStore::merge({ plain }, { plain }).size(), 1);
    }

    void notesSourcePaths_data()
    {
        QTest::addColumn<QStringList>("stored");
        QTest::addColumn<std::optional<QString>>("given");
        QTest::addColumn<QStringList>("expected");
        const QString nfc = QStringLiteral("/docs/Caf\u00e9.pdf");
        const QString nfd = QStringLiteral("/docs/Cafe\u0301.pdf");
        const QString a = QStringLiteral("/docs/a.txt");
        QTest::newRow("new path appended")
            << QStringList { a } << std::optional(QStringLiteral("/b")) << QStringList { a, u"/b"_qs };
        QTest::newRow("same path once") << QStringList { a } << std::optional(a) << QStringList { a };
        QTest::newRow("differing case kept") << QStringList { a } << std::optional(QStringLiteral("/docs/A.txt"))
                                             << QStringList { a, u"/docs/A.txt"_qs };
        QTest::newRow("decomposed equals composed") << QStringList { nfc } << std::optional(nfd) << QStringList { nfc };
        QTest::newRow("composed equals decomposed") << QStringList { nfd } << std::optional(nfc) << QStringList { nfd };
        QTest::newRow("empty path adds nothing") << QStringList { a } << std::optional(QString()) << QStringList { a };
        QTest::newRow("no path adds nothing") << QStringList { a } << std::optional<QString>() << QStringList { a };
        QTest::newRow("not trimmed") << QStringList { a } << std::optional(a + u' ') << QStringList { a, a + u' ' };
    }

    void notesSourcePaths()
    {
        QFETCH(QStringList, stored);
        QFETCH(std::optional<QString>, given);
        QFETCH(QStringList, expected);
        IsolatedDataHome home;
        const QByteArray paths = JsonWriter::compact(QJsonArray::fromStringList(stored));
        QVERIFY(writeFile(ReceiptStore::receiptFileURL(kDigest), recordBytes("[]", paths)));
        QCOMPARE(ReceiptStore::save(kDigest, {}, given).sourcePaths, expected);
        QCOMPARE(ReceiptStore::read(kDigest)->sourcePaths, expected);
        QVERIFY(ReceiptStore::read(kDigest)->updatedAt); // an empty save rewrites the file too
    }

    void decodesRecords_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("error"); // empty: decodes
        const QString bad = QStringLiteral("Invalid receipt record: ");
        QTest::newRow("minimal") << recordBytes("[]", "[]") << QString();
        QTest::newRow("nulls are absent")
            << QByteArray(R"({"sha256":"x","receipts":[],"source_paths":[],"retention_days":null,"updated_at":null})")
            << QString();
        QTest::newRow("whole-number retention")
            << QByteArray(R"({"sha256":"x","receipts":[],"source_paths":[],"retention_days":30})") << QString();
        QTest::newRow("fractional retention")
            << QByteArray(R"({"sha256":"x","receipts":[],"source_paths":[],"retention_days":3.5})")
            << bad + QStringLiteral("\"retention_days\" is not an integer");
        QTest::newRow("text retention") << QByteArray(
            R"({"sha256":"x","receipts":[],"source_paths":[],"retention_days":"30"})")
                                        << bad + QStringLiteral("\"retention_days\" is not an integer");
        QTest::newRow("huge retention") << QByteArray(
            R"({"sha256":"x","receipts":[],"source_paths":[],"retention_days":1e300})")
                                        << bad + QStringLiteral("\"retention_days\" is not an integer");
        QTest::newRow("source_paths missing")
            << QByteArray(R"({"sha256":"x","receipts":[]})") << bad + QStringLiteral("\"source_paths\" is missing");
        QTest::newRow("receipts null") << QByteArray(R"({"sha256":"x","receipts":null,"source_paths":[]})")
                                       << bad + QStringLiteral("\"receipts\" is missing");
        QTest::newRow("sha256 a number") << QByteArray(R"({"sha256":1,"receipts":[],"source_paths":[]})")
                                         << bad + QStringLiteral("\"sha256\" is not a string");
        QTest::newRow("updated_at a number")
            << QByteArray(R"({"sha256":"x","receipts":[],"source_paths":[],"updated_at":5})")
            << bad + QStringLiteral("\"updated_at\" is not a string");
        QTest::newRow("path not a string")
            << recordBytes("[]", "[\"a\",2]") << bad + QStringLiteral("a source path is not a string");
        QTest::newRow("receipt not an object")
            << recordBytes("[\"r\"]", "[]") << bad + QStringLiteral("a receipt is not an object");
        QTest::newRow("receipt member not text") << recordBytes(
            R"([{"merkle":7}])", "[]") << QStringLiteral("Invalid receipt: \"merkle\" is a number, expected a string");
        QTest::newRow("array at the top") << QByteArray("[]") << bad + QStringLiteral("not a JSON object");
        QTest::newRow("truncated") << QByteArray("{\"sha256\":\"x\",\"rec")
                                   << bad + QStringLiteral("unterminated string at offset 19");
    }

    void decodesRecords()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, error);
        const auto record = ReceiptRecord::fromJson(bytes);
        QCOMPARE(record ? QString() : record.error().description, error);

        // Whatever does not decode is no record to a reader.
        IsolatedDataHome home;
        const QString named = record ? record->sha256 : kDigest;
        QVERIFY(writeFile(ReceiptStore::receiptFileURL(named), bytes));
        QCOMPARE(ReceiptStore::read(named).has_value(), error.isEmpty());
    }

    void retentionIsCarriedOverNeverSet()
    {
        IsolatedDataHome home;
        ReceiptStore::save(kDigest, { receipt("a") }, std::nullopt);
        QVERIFY(!readFile(ReceiptStore::receiptFileURL(kDigest)).contains("retention_days"));

        QVERIFY(writeFile(ReceiptStore::receiptFileURL(kDigest), recordBytes("[]", "[],\"retention_days\":-7")));
        QCOMPARE(ReceiptStore::save(kDigest, {}, std::nullopt).retentionDays, qint64(-7));
        QVERIFY(readFile(ReceiptStore::receiptFileURL(kDigest)).contains("\"retention_days\" : -7,\n"));
    }

    void undecodableRecordIsKeptAside()
    {
        IsolatedDataHome home;
        const QString file = ReceiptStore::receiptFileURL(kDigest);
        const QByteArray broken = R"({"sha256":"x","receipts":[{"receipt_id":"old"}]})"; // no source_paths
        QVERIFY(writeFile(file, broken));

        const ReceiptRecord saved
            = ReceiptStore::save(kDigest, { receipt("new") }, QStringLiteral("/p"), at("2026-12-06T08:55:01Z"));
        QCOMPARE(compactReceipts(saved.receipts), compactReceipts({ receipt("new") })); // never merged
        QCOMPARE(readFile(file + QStringLiteral(".corrupt-20261206T085501Z")), broken);
        QCOMPARE(ReceiptStore::read(kDigest)->sourcePaths, QStringList { u"/p"_qs });

        // A second bad file in the same second gets a name of its own.
        QVERIFY(writeFile(file, "not json"));
        ReceiptStore::save(kDigest, {}, std::nullopt, at("2026-12-06T08:55:01Z"));
        QCOMPARE(readFile(file + QStringLiteral(".corrupt-20261206T085501Z")), broken);
        QCOMPARE(readFile(file + QStringLiteral(".corrupt-20261206T085501Z-2")), QByteArray("not json"));
        QVERIFY(ReceiptStore::read(kDigest));

        // Another digest's record under this name would vouch for the wrong file.
        const QByteArray other = R"({"sha256":"ab","receipts":[{"receipt_id":"theirs"}],"source_paths":[]})";
        QVERIFY(writeFile(file, other));
        QVERIFY(!ReceiptStore::read(kDigest));
        QVERIFY(ReceiptStore::save(kDigest, {}, std::nullopt, at("2026-12-06T08:55:01Z")).receipts.isEmpty());
        QCOMPARE(readFile(file + QStringLiteral(".corrupt-20261206T085501Z-3")), other);
    }

    // Records are replaced, never written over: a hard-linked copy (a
    // snapshot) and a reader that opened the file keep the bytes they had.
    void earlierCopiesKeepTheirOwnRecord()
    {
        IsolatedDataHome home;
        const QString file = ReceiptStore::receiptFileURL(kDigest);
        ReceiptStore::save(kDigest, { receipt("a") }, QStringLiteral("/a"));
        const QByteArray before = readFile(file);
        const QString snapshot = home.path() + QStringLiteral("/snapshot.json");
        QCOMPARE(::link(QFile::encodeName(file).constData(), QFile::encodeName(snapshot).constData()), 0);
        QFile reader(file);
        QVERIFY(reader.open(QIODevice::ReadOnly));
        for (const QString &digest : { kDigest, QString(64, u'b'), QString(64, u'b'), kDigest })
            ReceiptStore::save(digest, { receipt("later") }, QStringLiteral("/later"));
        QCOMPARE(readFile(snapshot), before);
        QCOMPARE(reader.readAll(), before);
        QCOMPARE(ReceiptStore::read(kDigest)->receipts.size(), 2);
    }

    void modesUnderOpenUmask()
    {
        const ScopedUmask open(0);
        IsolatedDataHome home;
        ReceiptStore::save(kDigest, { receipt("a") }, std::nullopt);
        QCOMPARE(fileMode(home.nivet() + QStringLiteral("/receipts")), 0700);
        QCOMPARE(fileMode(ReceiptStore::receiptFileURL(kDigest)), 0600);
        QCOMPARE(fileMode(home.nivet() + QStringLiteral("/receipts/.lock")), 0600);

        // A record another program left readable to all is tightened.
        ::chmod(QFile::encodeName(ReceiptStore::receiptFileURL(kDigest)).constData(), 0644);
        ReceiptStore::save(kDigest, {}, std::nullopt);
        QCOMPARE(fileMode(ReceiptStore::receiptFileURL(kDigest)), 0600);
    }

    void unwritableFolderStillReturnsTheRecord()
    {
        IsolatedDataHome home;
        QVERIFY(writeFile(home.nivet() + QStringLiteral("/receipts"), "a file, not a folder"));
        const ReceiptRecord saved = ReceiptStore::save(kDigest, { receipt("a") }, QStringLiteral("/p"));
        QCOMPARE(saved.receipts.size(), 1);
        QCOMPARE(saved.sourcePaths, QStringList { u"/p"_qs });
        QVERIFY(!ReceiptStore::read(kDigest));
        QCOMPARE(readFile(home.nivet() + QStringLiteral("/receipts")), QByteArray("a file, not a folder"));
    }
};

QTEST_GUILESS_MAIN(TestReceiptStore)
#include "tst_receiptstore.moc"
