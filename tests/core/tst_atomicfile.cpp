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
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("a.json")});
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

    void tradingReusesOneScratchFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("r.json"));

        // Nothing to trade with yet: a plain replace, no spare.
        auto first = AtomicFile::writeTrading(path, "first, and long", 0600, QString());
        QVERIFY(first.ok());
        QCOMPARE(first.value(), QString());
        QCOMPARE(readFile(path), QByteArray("first, and long"));

        // The old contents go to the scratch file, which comes back as the spare.
        QFile reader(path);
        QVERIFY(reader.open(QIODevice::ReadOnly));
        auto second = AtomicFile::writeTrading(path, "second", 0600, QString());
        QVERIFY(second.ok());
        QVERIFY(!second.value().isEmpty());
        QCOMPARE(readFile(path), QByteArray("second"));
        QCOMPARE(readFile(second.value()), QByteArray("first, and long"));
        // A reader of the old file can tell it is no longer the one at path.
        QVERIFY(!AtomicFile::isStillAt(reader.handle(), path));

        // The spare is written over (shorter contents cut to size) and traded again.
        auto third = AtomicFile::writeTrading(path, "3rd", 0600, second.value());
        QVERIFY(third.ok());
        QCOMPARE(third.value(), second.value());
        QCOMPARE(readFile(path), QByteArray("3rd"));
        QCOMPARE(readFile(third.value()), QByteArray("second"));
        QCOMPARE(fileMode(path), 0600);

        QFile current(path);
        QVERIFY(current.open(QIODevice::ReadOnly));
        QVERIFY(AtomicFile::isStillAt(current.handle(), path));

        // A spare that vanished is made anew.
        QVERIFY(QFile::remove(third.value()));
        auto fourth = AtomicFile::writeTrading(path, "4", 0600, third.value());
        QVERIFY(fourth.ok());
        QCOMPARE(readFile(path), QByteArray("4"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestAtomicFile)
#include "tst_atomicfile.moc"
