#include "export/exportactions.h"
#include "export/exporttext.h"

#include "testenv.h"

#include <QDir>
#include <QPdfDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

Q_DECLARE_METATYPE(ExportFormat)

namespace {

// Answers with a fixed path (or a cancel) and records what it was asked.
class StandInDialog : public SaveDialog {
public:
    std::optional<QString> answer;
    int calls = 0;
    QString title;
    QString suggestedName;
    QStringList filters;

    std::optional<QString> askSavePath(const QString &t, const QString &name, const QStringList &f) override
    {
        ++calls;
        title = t;
        suggestedName = name;
        filters = f;
        return answer;
    }
};

class StandInClipboard : public ClipboardSink {
public:
    QStringList texts;
    void setText(const QString &text) override { texts.append(text); }
};

QList<FileResult> someRows()
{
    return {
        { QStringLiteral("/tmp/a \"1\".txt"), QString(64, QLatin1Char('a')), QStringLiteral("r-1"),
            QStringLiteral("2026-12-06T09:15:02Z"), QStringLiteral("global"), QStringLiteral("Registered"),
            QStringLiteral("m"), ResultKind::registered },
        { QStringLiteral("/tmp/b.txt"), QString(), QString(), QString(), QStringLiteral("global"),
            QStringLiteral("Not found"), QString(), ResultKind::notFound },
    };
}

} // namespace

class TestExportActions : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

    QStringList filesInDir() const { return QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden); }

private Q_SLOTS:
    void cleanup()
    {
        for (const QString &name : filesInDir())
            QFile::remove(m_dir.filePath(name));
    }

    void exportsEachFormat_data()
    {
        QTest::addColumn<ExportFormat>("format");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QStringList>("filters");
        QTest::newRow("json") << ExportFormat::json << "Exported JSON → nivet-timestamps.json"
                              << "Export JSON" << QStringList { QStringLiteral("JSON files (*.json)") };
        QTest::newRow("csv") << ExportFormat::csv << "Exported CSV → nivet-timestamps.csv"
                             << "Export CSV"
                             << QStringList { QStringLiteral("CSV files (*.csv)"),
                                    QStringLiteral("Text files (*.txt)") };
        QTest::newRow("text") << ExportFormat::text << "Exported TEXT → nivet-timestamps.txt"
                              << "Export Text" << QStringList { QStringLiteral("Text files (*.txt)") };
        QTest::newRow("pdf") << ExportFormat::pdf << "Exported PDF → nivet-timestamps.pdf"
                             << "Export PDF" << QStringList { QStringLiteral("PDF files (*.pdf)") };
    }

    void exportsEachFormat()
    {
        QFETCH(ExportFormat, format);
        const QString name = ExportFormats::suggestedFileName(format);
        StandInDialog dialog;
        dialog.answer = m_dir.filePath(name);

        QTEST(exportResults(someRows(), format, dialog).value_or(QString()), "status");
        QCOMPARE(dialog.calls, 1);
        QTEST(dialog.title, "title");
        QCOMPARE(dialog.suggestedName, name);
        QTEST(dialog.filters, "filters");
        QCOMPARE(filesInDir(), QStringList { name }); // no scratch file left behind

        const QByteArray written = readFile(m_dir.filePath(name));
        if (format == ExportFormat::pdf) {
            QPdfDocument doc;
            QCOMPARE(doc.load(m_dir.filePath(name)), QPdfDocument::Error::None);
            QCOMPARE(doc.pageCount(), 1);
            QVERIFY(doc.getAllText(0).text().startsWith(QStringLiteral("Nivet Timestamp Registration Document\r\n")));
        } else {
            QCOMPARE(written, exportText(someRows(), format)->toUtf8());
        }
    }

    void statusNamesTheChosenFile()
    {
        const QString path = m_dir.filePath(QStringLiteral("notes.txt"));
        writeFile(path, "old contents that are longer than the new ones will be, by far, really");
        StandInDialog dialog;
        dialog.answer = path;
        QCOMPARE(exportResults(someRows(), ExportFormat::text, dialog), QStringLiteral("Exported TEXT → notes.txt"));
        QCOMPARE(readFile(path), exportText(someRows(), ExportFormat::text)->toUtf8());
    }

    void silentEndings_data()
    {
        QTest::addColumn<int>("rowCount");
        QTest::addColumn<std::optional<QString>>("answer");
        QTest::addColumn<int>("dialogCalls");
        QTest::newRow("cancelled") << 2 << std::optional<QString>() << 1;
        QTest::newRow("empty destination") << 2 << std::optional<QString>(QString()) << 1;
        QTest::newRow("no rows: no dialog") << 0 << std::optional<QString>(QStringLiteral("x.json")) << 0;
    }

    void silentEndings()
    {
        QFETCH(int, rowCount);
        QFETCH(std::optional<QString>, answer);
        for (const ExportFormat format : ExportFormats::all()) {
            StandInDialog dialog;
            if (answer && !answer->isEmpty())
                dialog.answer = m_dir.filePath(*answer);
            else
                dialog.answer = answer;
            QVERIFY(!exportResults(someRows().mid(0, rowCount), format, dialog).has_value());
            QTEST(dialog.calls, "dialogCalls");
        }
        QVERIFY(filesInDir().isEmpty());
    }

    void unwritableDestination_data()
    {
        QTest::addColumn<ExportFormat>("format");
        for (const ExportFormat format : ExportFormats::all())
            QTest::newRow(ExportFormats::rawValue(format).toLatin1().constData()) << format;
    }

    void unwritableDestination()
    {
        QFETCH(ExportFormat, format);
        // The folder does not exist; running as root rules out a permission test.
        const QString path = m_dir.filePath(QStringLiteral("missing/out.bin"));
        StandInDialog dialog;
        dialog.answer = path;
        const QString status = exportResults(someRows(), format, dialog).value_or(QString());
        QCOMPARE(status,
            QStringLiteral("Export failed: Cannot create a file beside ") + path + QStringLiteral(": ")
                + QString::fromLocal8Bit(std::strerror(ENOENT)));
    }

    // A link is written through to its target; anything but a regular file is
    // left alone with a clear message.
    void destinations_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("written");
        QTest::newRow("link to a file") << "link" << true;
        QTest::newRow("link to a link to a new file") << "dangling" << true;
        QTest::newRow("folder") << "folder" << false;
        QTest::newRow("pipe") << "fifo" << false;
        QTest::newRow("link to a pipe") << "link to fifo" << false;
    }

    void destinations()
    {
        QFETCH(QString, kind);
        QFETCH(bool, written);
        QTemporaryDir dir;
        const QString chosen = dir.filePath(QStringLiteral("out.txt"));
        const QString target = dir.filePath(QStringLiteral("real/target.txt"));
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("real"))));
        if (kind == QLatin1String("link")) {
            writeFile(target, "old");
            QVERIFY(QFile::link(QStringLiteral("real/target.txt"), chosen)); // relative, as ln -s makes it
        } else if (kind == QLatin1String("dangling")) {
            QVERIFY(QFile::link(dir.filePath(QStringLiteral("step")), chosen));
            QVERIFY(QFile::link(target, dir.filePath(QStringLiteral("step"))));
        } else if (kind == QLatin1String("folder")) {
            QVERIFY(QDir().mkpath(chosen + QStringLiteral("/inside")));
        } else {
            const QString fifo = kind == QLatin1String("fifo") ? chosen : target;
            QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
            if (fifo != chosen)
                QVERIFY(QFile::link(target, chosen));
        }
        const QString status = saveExport(someRows(), ExportFormat::text, chosen).value_or(QString());
        if (written) {
            QCOMPARE(status, QStringLiteral("Exported TEXT → out.txt"));
            QVERIFY(QFileInfo(chosen).isSymLink());
            QCOMPARE(readFile(target), exportText(someRows(), ExportFormat::text)->toUtf8());
        } else {
            QCOMPARE(status, QStringLiteral("Export failed: ") + chosen + QStringLiteral(" is not a regular file"));
            QVERIFY(!QFileInfo(chosen).isFile());
        }
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).size(),
            kind == QLatin1String("dangling")     ? 2
                : kind == QLatin1String("folder") ? 0
                                                  : 1);
    }

    void saveExportForOtherCallers()
    {
        const QString path = m_dir.filePath(QStringLiteral("out.csv"));
        QCOMPARE(saveExport(someRows(), ExportFormat::csv, path), QStringLiteral("Exported CSV → out.csv"));
        QCOMPARE(readFile(path), exportText(someRows(), ExportFormat::csv)->toUtf8());
        QVERIFY(!saveExport({}, ExportFormat::pdf, path).has_value());
        QVERIFY(!exportFileBytes({}, ExportFormat::json).has_value());
        QVERIFY(exportFileBytes(someRows(), ExportFormat::pdf)->startsWith("%PDF-"));
    }

    void copy_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<ExportFormat>("rendering");
        QTest::addColumn<QString>("status");
        QTest::newRow("csv") << "csv" << ExportFormat::csv << "Copied csv to clipboard.";
        QTest::newRow("json") << "json" << ExportFormat::json << "Copied json to clipboard.";
        QTest::newRow("text") << "text" << ExportFormat::text << "Copied text to clipboard.";
        // Unknown values copy text; the status names the value as read.
        QTest::newRow("xml") << "xml" << ExportFormat::text << "Copied xml to clipboard.";
        QTest::newRow("upper case") << "CSV" << ExportFormat::text << "Copied CSV to clipboard.";
    }

    void copy()
    {
        QFETCH(QString, output);
        QFETCH(ExportFormat, rendering);
        StandInClipboard clipboard;
        QTEST(copyResults(someRows(), output, clipboard).value_or(QString()), "status");
        QCOMPARE(clipboard.texts, QStringList { *exportText(someRows(), rendering) });
    }

    void copyNothing_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<int>("rowCount");
        QTest::newRow("pdf with rows") << "pdf" << 2;
        QTest::newRow("text without rows") << "text" << 0;
        QTest::newRow("csv without rows") << "csv" << 0;
        QTest::newRow("unknown without rows") << "xml" << 0;
    }

    void copyNothing()
    {
        QFETCH(QString, output);
        QFETCH(int, rowCount);
        StandInClipboard clipboard;
        QVERIFY(!copyResults(someRows().mid(0, rowCount), output, clipboard).has_value());
        QVERIFY(clipboard.texts.isEmpty());
    }
};

QTEST_MAIN(TestExportActions)
#include "tst_exportactions.moc"
