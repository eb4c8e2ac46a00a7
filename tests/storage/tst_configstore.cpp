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

    void savesCompactJson()
    {
        IsolatedDataHome home;
        QVERIFY(writeFile(clientJson(home) + u".tmp-killed"_qs, "{\"url\":")); // a killed save's
        ConfigStore store;
        store.setDefaults(defaults("https://h.example/mcp?x=1", "caf\u00e9 \"q\"", "json"));
        store.save();
        QCOMPARE(readFile(clientJson(home)),
            QByteArray("{\"output\":\"json\",\"scope\":\"caf\u00e9 \\\"q\\\"\","
                       "\"url\":\"https:\\/\\/h.example\\/mcp?x=1\"}"));
        QCOMPARE(fileMode(clientJson(home)), 0644); // not a secret
        QCOMPARE(
            QDir(home.nivet()).entryList(QDir::Files | QDir::Hidden), (QStringList { u".lock"_qs, u"client.json"_qs }));
    }

    void saveKeepsMembersOfOtherNames()
    {
        IsolatedDataHome home;
        ConfigStore store;
        // The command-line tool adds a member after the store loaded the file.
        QVERIFY(
            writeFile(clientJson(home), R"({"url":"u","scope":"s","output":"o","proxy":{"h":"h/1"},"z":[1,null]})"));
        store.setScope(u"team"_qs);
        store.save();
        QCOMPARE(readFile(clientJson(home)),
            QByteArray(R"({"output":"text","proxy":{"h":"h\/1"},"scope":"team",)"
                       R"("url":"https:\/\/mcp.nivet.example\/mcp","z":[1,null]})"));
    }

    void savedValuesReachOtherStores()
    {
        IsolatedDataHome home;
        ConfigStore mainWindow;
        auto settings = std::make_unique<ConfigStore>();
        QSignalSpy mainChanged(&mainWindow, &ConfigStore::defaultsChanged);
        settings->setScope(u"team"_qs);
        QCOMPARE(mainChanged.size(), 0); // editing alone reaches nobody, nor the file
        QVERIFY(!QFile::exists(clientJson(home)));
        settings->save();
        QCOMPARE(mainChanged.size(), 1);
        QCOMPARE(mainWindow.defaults().scope, u"team"_qs);
        settings->save(); // unchanged values tell nobody anything new
        QCOMPARE(mainChanged.size(), 1);

        settings.reset();
        mainWindow.save(); // a store that is gone is not told
    }
};

QTEST_GUILESS_MAIN(TestConfigStore)
#include "tst_configstore.moc"
