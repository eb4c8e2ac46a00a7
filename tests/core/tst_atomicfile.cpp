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
};

QTEST_GUILESS_MAIN(TestAtomicFile)
#include "tst_atomicfile.moc"
