#include "storage/configstore.h"

#include "testenv.h"

#include <QDir>
#include <QSignalSpy>
#include <QtTest>

#include <memory>
#include <sys/stat.h>

Q_DECLARE_METATYPE(NivetDefaults)

namespace {

QString clientJson(const IsolatedDataHome &home)
{
    return home.nivet() + QStringLiteral("/client.json");
}

NivetDefaults defaults(const char *url, const char *scope, const char *output)
{
    return { QString::fromUtf8(url), QString::fromUtf8(scope), QString::fromUtf8(output) };
}

} // namespace

class TestConfigStore : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void noFileGivesBuiltInAndWritesNothing()
    {
        IsolatedDataHome home;
        {
            ConfigStore store;
            QCOMPARE(store.defaults(), NivetDefaults::builtIn());
            QCOMPARE(store.fileURL(), clientJson(home));
        }
        QVERIFY(!QFileInfo::exists(clientJson(home)));
    }

    void loads_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<NivetDefaults>("expected");
        const NivetDefaults builtIn = NivetDefaults::builtIn();
        QTest::newRow("all three") << QByteArray(
            "{\"url\":\"https://h.example/mcp\",\"scope\":\"team\",\"output\":\"csv\"}")
                                   << defaults("https://h.example/mcp", "team", "csv");
        QTest::newRow("pretty and reordered")
            << QByteArray("{\n  \"output\" : \"json\",\n  \"scope\" : \"s\",\n  \"url\" : \"http:\\/\\/h\"\n}\n")
            << defaults("http://h", "s", "json");
        QTest::newRow("url and scope only")
            << QByteArray("{\"url\":\"https://h.example/mcp\",\"scope\":\"team\"}") << builtIn;
        QTest::newRow("member of another name")
            << QByteArray(R"({"url":"u","scope":"s","output":"o","proxy":1})") << defaults("u", "s", "o");
        QTest::newRow("url that is no URL kept")
            << QByteArray(R"({"url":"not a url","scope":"s","output":"o"})") << defaults("not a url", "s", "o");
        QTest::newRow("nothing trimmed") << QByteArray(R"({"url":" u ","scope":"","output":"PDF"})")
                                         << defaults(" u ", "", "PDF");
        QTest::newRow("null member") << QByteArray(R"({"url":"u","scope":null,"output":"o"})") << builtIn;
        QTest::newRow("number member") << QByteArray(R"({"url":"u","scope":"s","output":3})") << builtIn;
        QTest::newRow("not JSON") << QByteArray("url=u") << builtIn;
        QTest::newRow("array") << QByteArray(R"([{"url":"u","scope":"s","output":"o"}])") << builtIn;
        QTest::newRow("empty file") << QByteArray() << builtIn;
    }

    void loads()
    {
        QFETCH(QByteArray, file);
        QFETCH(NivetDefaults, expected);
        IsolatedDataHome home;
        QVERIFY(writeFile(clientJson(home), file));
        ConfigStore store;
        QCOMPARE(store.defaults(), expected);
        QCOMPARE(readFile(clientJson(home)), file); // loading never rewrites
    }

    void decodingErrorsSayWhat()
    {
        QCOMPARE(NivetDefaults::fromJson(R"({"url":"u","scope":"s"})").error().description,
            QStringLiteral("Invalid client defaults: \"output\" is missing"));
        QCOMPARE(NivetDefaults::fromJson(R"({"url":true,"scope":"s","output":"o"})").error().description,
            QStringLiteral("Invalid client defaults: \"url\" is not a string"));
        QCOMPARE(NivetDefaults::fromJson("[]").error().description,
            QStringLiteral("Invalid client defaults: not a JSON object"));
    }

    void settingChangesMemoryOnly()
    {
        IsolatedDataHome home;
        const QByteArray file = R"({"url":"u","scope":"s","output":"o"})";
        QVERIFY(writeFile(clientJson(home), file));
        ConfigStore store;
        QSignalSpy changed(&store, &ConfigStore::defaultsChanged);
        store.setScope(QStringLiteral("team"));
        store.setScope(QStringLiteral("team")); // no change, no signal
        store.setUrl(QStringLiteral("u"));
        store.setOutput(QStringLiteral("pdf"));
        QCOMPARE(changed.size(), 2);
        QCOMPARE(changed.at(0).at(0).value<NivetDefaults>(), defaults("u", "team", "o"));
        QCOMPARE(store.defaults(), defaults("u", "team", "pdf"));
        QCOMPARE(readFile(clientJson(home)), file);
    }

    void savesCompactJson()
    {
        IsolatedDataHome home;
        QVERIFY(writeFile(clientJson(home) + QStringLiteral(".tmp-killed"), "{\"url\":")); // a killed save's
        ConfigStore store;
        store.setDefaults(defaults("https://h.example/mcp?x=1", "caf\u00e9 \"q\"", "json"));
        store.save();
        QCOMPARE(readFile(clientJson(home)),
            QByteArray("{\"output\":\"json\",\"scope\":\"caf\u00e9 \\\"q\\\"\","
                       "\"url\":\"https:\\/\\/h.example\\/mcp?x=1\"}"));
        QCOMPARE(fileMode(clientJson(home)), 0666 & ~0022);
        QCOMPARE(
            QDir(home.nivet()).entryList(QDir::Files | QDir::Hidden), (QStringList { u".lock"_qs, u"client.json"_qs }));

        // The file's own mode is kept on rewrite.
        ::chmod(QFile::encodeName(clientJson(home)).constData(), 0640);
        store.setScope(QStringLiteral("other"));
        store.save();
        QCOMPARE(fileMode(clientJson(home)), 0640);
        QCOMPARE(ConfigStore().defaults().scope, QStringLiteral("other"));
    }

    void saveKeepsMembersOfOtherNames()
    {
        IsolatedDataHome home;
        QVERIFY(writeFile(clientJson(home), R"({"url":"u","scope":"s","output":"o","proxy":{"host":"h/1"}})"));
        ConfigStore store;
        // The command-line tool adds a member after the store loaded the file.
        QVERIFY(writeFile(
            clientJson(home), R"({"url":"u","scope":"s","output":"o","proxy":{"host":"h/1"},"zeta":[1,null]})"));
        store.setScope(QStringLiteral("team"));
        store.save();
        QCOMPARE(readFile(clientJson(home)),
            QByteArray("{\"output\":\"o\",\"proxy\":{\"host\":\"h\\/"
                       "1\"},\"scope\":\"team\",\"url\":\"u\",\"zeta\":[1,null]}"));
    }

    void saveReplacesAnUndecodableFile()
    {
        IsolatedDataHome home;
        QVERIFY(writeFile(clientJson(home), "{\"url\":"));
        ConfigStore store;
        store.save();
        QCOMPARE(readFile(clientJson(home)),
            QByteArray("{\"output\":\"text\",\"scope\":\"global\",\"url\":\"https:\\/\\/mcp.nivet.example\\/mcp\"}"));
    }

    void savedValuesReachOtherStores()
    {
        IsolatedDataHome home;
        ConfigStore mainWindow;
        auto settings = std::make_unique<ConfigStore>();
        auto closed = std::make_unique<ConfigStore>();
        closed.reset(); // a store that is gone is not told
        QSignalSpy mainChanged(&mainWindow, &ConfigStore::defaultsChanged);
        QSignalSpy settingsChanged(settings.get(), &ConfigStore::defaultsChanged);

        settings->setScope(QStringLiteral("team"));
        QCOMPARE(mainChanged.size(), 0); // editing alone reaches nobody
        settings->save();
        QCOMPARE(mainChanged.size(), 1);
        QCOMPARE(
            mainChanged.at(0).at(0).value<NivetDefaults>(), defaults("https://mcp.nivet.example/mcp", "team", "text"));
        QCOMPARE(mainWindow.defaults().scope, QStringLiteral("team"));
        QCOMPARE(settingsChanged.size(), 1); // only its own edit

        // Saving unchanged values tells nobody anything new.
        settings->save();
        QCOMPARE(mainChanged.size(), 1);

        // The other way round, while the settings store holds an unsaved edit.
        settings->setOutput(QStringLiteral("csv"));
        mainWindow.setUrl(QStringLiteral("http://127.0.0.1:1/mcp"));
        mainWindow.save();
        QCOMPARE(settings->defaults(), defaults("http://127.0.0.1:1/mcp", "team", "text"));
    }

    void failedSaveReachesNobody()
    {
        IsolatedDataHome home;
        QVERIFY(QDir().mkpath(clientJson(home) + QStringLiteral("/occupied"))); // a folder where the file goes
        ConfigStore a;
        ConfigStore b;
        QSignalSpy bChanged(&b, &ConfigStore::defaultsChanged);
        a.setScope(QStringLiteral("team"));
        a.save();
        QCOMPARE(bChanged.size(), 0);
        QCOMPARE(b.defaults(), NivetDefaults::builtIn());
        QCOMPARE(a.defaults().scope, QStringLiteral("team"));
        QVERIFY(QFileInfo(clientJson(home) + QStringLiteral("/occupied")).isDir());
    }
};

QTEST_GUILESS_MAIN(TestConfigStore)
#include "tst_configstore.moc"
