#include "core/atomicfile.h"

#include "testenv.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

class TestAtomicFile : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

private Q_SLOTS:
    void replacesWhole()
    {
        const QString path = m_dir.filePath(QStringLiteral("a.json"));
        QVERIFY(AtomicFile::write(path, "one").ok());
        QVERIFY(AtomicFile::write(path, "two!").ok());
        QCOMPARE(readFile(path), QByteArray("two!"));
        // No scratch file stays behind.
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files), QStringList { QStringLiteral("a.json") });
    }

    void secretModeUnderOpenUmask()
    {
        const mode_t old = ::umask(0);
        const QString path = m_dir.filePath(QStringLiteral("secret"));
        QVERIFY(AtomicFile::write(path, "s", 0600).ok());
        QCOMPARE(fileMode(path), 0600);
        const QString plain = m_dir.filePath(QStringLiteral("plain"));
        QVERIFY(AtomicFile::write(plain, "p").ok());
        QCOMPARE(fileMode(plain), 0666);
        ::umask(old);
    }

    void keepsExistingMode()
    {
        const QString path = m_dir.filePath(QStringLiteral("kept"));
        writeFile(path, "x");
        ::chmod(QFile::encodeName(path).constData(), 0640);
        QVERIFY(AtomicFile::write(path, "y").ok());
        QCOMPARE(fileMode(path), 0640);
    }

    void failureLeavesOldFile()
    {
        const QString path = m_dir.filePath(QStringLiteral("missing-dir/x"));
        auto result = AtomicFile::write(path, "y");
        QVERIFY(!result.ok());
        QVERIFY(result.error().description.contains(path));

        // The target is a directory: rename fails, nothing is lost.
        const QString dirTarget = m_dir.filePath(QStringLiteral("isdir"));
        QDir().mkpath(dirTarget + QStringLiteral("/inner"));
        QVERIFY(!AtomicFile::write(dirTarget, "y").ok());
        QVERIFY(QFileInfo(dirTarget + QStringLiteral("/inner")).isDir());
    }

    // What killed writes left beside files of the pattern goes, once per
    // process and folder; names our writes never use stay.
    void sweepsScratchOfKilledWrites()
    {
        const QString dir = m_dir.filePath(QStringLiteral("sweep"));
        QVERIFY(QDir().mkpath(dir));
        for (const char *name : { "a.json.tmp-x1", "a.json.tmp", "b.txt.tmp-y", "a.json" })
            QVERIFY(writeFile(dir + QLatin1Char('/') + QLatin1String(name), "x"));
        AtomicFile::sweepScratch(dir, QStringLiteral("*.json"));
        const QStringList left { u"a.json"_qs, u"a.json.tmp"_qs, u"b.txt.tmp-y"_qs };
        QCOMPARE(QDir(dir).entryList(QDir::Files), left);
        QVERIFY(writeFile(dir + QStringLiteral("/a.json.tmp-x2"), "x"));
        AtomicFile::sweepScratch(dir, QStringLiteral("*.json"));
        QCOMPARE(QDir(dir).entryList(QDir::Files).size(), left.size() + 1);
    }
};

QTEST_GUILESS_MAIN(TestAtomicFile)
#include "tst_atomicfile.moc"
