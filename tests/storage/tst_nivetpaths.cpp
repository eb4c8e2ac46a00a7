#include "storage/nivetpaths.h"

#include "testenv.h"

#include <QDir>
#include <QtTest>

#include <sys/stat.h>

class TestNivetPaths : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void freshAccountGetsBothFolders_data()
    {
        QTest::addColumn<int>("mask");
        QTest::addColumn<int>("nivetMode");
        QTest::newRow("usual umask") << 022 << 0755;
        QTest::newRow("open umask") << 0 << 0777;
        QTest::newRow("umask without owner write") << 0277 << -1; // Nivet made beforehand
    }

    void freshAccountGetsBothFolders()
    {
        QFETCH(int, mask);
        QFETCH(int, nivetMode);
        IsolatedDataHome home;
        const QString nested = home.path() + QStringLiteral("/not/yet");
        qputenv("XDG_DATA_HOME", QFile::encodeName(nested)); // intermediate folders are made too
        if (nivetMode < 0) {
            // Only an existing Nivet folder can be entered under such a umask.
            QVERIFY(QDir().mkpath(nested + QStringLiteral("/Nivet")));
            nivetMode = fileMode(nested + QStringLiteral("/Nivet"));
        }
        const ScopedUmask umask(static_cast<mode_t>(mask));

        QCOMPARE(NivetPaths::applicationSupportNivet(), nested + QStringLiteral("/Nivet"));
        QCOMPARE(NivetPaths::receiptsDirectory(), nested + QStringLiteral("/Nivet/receipts"));
        QCOMPARE(fileMode(nested + QStringLiteral("/Nivet")), nivetMode); // no mode of its own
        QCOMPARE(fileMode(nested + QStringLiteral("/Nivet/receipts")), 0700); // exactly, whatever the umask
    }

    void existingReceiptsFolderKeepsItsMode()
    {
        IsolatedDataHome home;
        const QString receipts = home.nivet() + QStringLiteral("/receipts");
        QVERIFY(QDir().mkpath(receipts));
        ::chmod(QFile::encodeName(receipts).constData(), 0755);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(NivetPaths::receiptsDirectory(), receipts);
        QCOMPARE(fileMode(receipts), 0755);
        QCOMPARE(QDir(home.nivet()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList { u"receipts"_qs });
    }

    void plainFileInTheWayIsLeftAlone()
    {
        IsolatedDataHome home;
        QVERIFY(writeFile(home.nivet(), "not a folder"));
        QCOMPARE(NivetPaths::applicationSupportNivet(), home.nivet());
        QCOMPARE(NivetPaths::receiptsDirectory(), home.nivet() + QStringLiteral("/receipts"));
        QCOMPARE(readFile(home.nivet()), QByteArray("not a folder"));
    }
};

QTEST_GUILESS_MAIN(TestNivetPaths)
#include "tst_nivetpaths.moc"
