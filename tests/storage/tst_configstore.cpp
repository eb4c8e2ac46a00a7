#include "storage/configstore.h"

#include "testenv.h"

#include <QDir>
#include <QSignalSpy>
#include <QtTest>

Q_DECLARE_METATYPE(NivetDefaults)

namespace {

QString clientJson(const IsolatedDataHome &home)
{
    return home.nivet() + u"/client.json"_qs;
}

NivetDefaults defaults(const char *url, const char *scope, const char *output)
{
    return { QString::fromUtf8(url), QString::fromUtf8(scope), QString::fromUtf8(output) };
}

} // namespace

class TestConfigStore : public QObject {
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
        QFETCH(NivetDefaults, expected);
        IsolatedDataHome home;
        if (!file.isEmpty())
            QVERIFY(writeFile(clientJson(home), file));
        ConfigStore store;
        QCOMPARE(store.defaults(), expected);
        QCOMPARE(store.fileURL(), clientJson(home));
        QCOMPARE(readFile(clientJson(home)), file); // loading never writes
    }

    // Compact, keeping what another writer (the command-line tool) added
    // after the store loaded the file; not a secret; a killed save's scratch swept.
    void savesCompactJsonKeepingOtherMembers()
    {
        IsolatedDataHome home;
        ConfigStore store;
        QVERIFY(writeFile(clientJson(home) + u".tmp-killed"_qs, "{\"url\":"));
        QVERIFY(writeFile(clientJson(home), R"({"url":"u","scope":"s","output":"o","proxy":{"h":"h/1"}})"));
        store.setDefaults(defaults("https://h.example/mcp?x=1", "caf\u00e9 \"q\"", "json"));
        QSignalSpy saved(&store, &ConfigStore::saved);
        QVERIFY(QCoro::waitFor(store.save()).ok());
        QCOMPARE(readFile(clientJson(home)),
            QByteArray("{\"output\":\"json\",\"proxy\":{\"h\":\"h\\/1\"},\"scope\":\"caf\u00e9 \\\"q\\\"\","
                       "\"url\":\"https:\\/\\/h.example\\/mcp?x=1\"}"));
        QCOMPARE(saved.size(), 1);
        QCOMPARE(fileMode(clientJson(home)), 0644);
        QCOMPARE(
            QDir(home.nivet()).entryList(QDir::Files | QDir::Hidden), (QStringList { u".lock"_qs, u"client.json"_qs }));
    }
};

QTEST_GUILESS_MAIN(TestConfigStore)
#include "tst_configstore.moc"
