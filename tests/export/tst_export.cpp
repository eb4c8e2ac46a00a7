#include "export/exportactions.h"
#include "export/exportpdf.h"
#include "export/exporttext.h"

#include "testenv.h"

#include <QDir>
#include <QPdfDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

Q_DECLARE_METATYPE(ExportFormat)
Q_DECLARE_METATYPE(ResultKind)

namespace {

class StandInDialog : public SaveDialog {
public:
    std::optional<QString> answer;
    int calls = 0;
    QStringList filters; // the last offered

    std::optional<QString> askSavePath(const QString &, const QString &, const QStringList &offered) override
    {
        ++calls;
        filters = offered;
        return answer;
    }
};

// Odd rows registered (pass), even rows rejected; row 0 has every field empty.
FileResult row(int i)
{
    const QString n = QString::number(i);
    if (i == 0)
        return { u"/srv/in/empty.pdf"_qs, {}, {}, {}, {}, u"Rejected"_qs, {}, ResultKind::invalid };
    return { u"/srv/in/doc-"_qs + n + u".pdf"_qs, QString(64, QLatin1Char('a' + i % 6)), u"r-"_qs + n,
        u"2026-12-06T09:15:02Z"_qs, u"global"_qs, i % 2 ? u"Registered"_qs : u"Receipt rejected"_qs, u"m-"_qs + n,
        i % 2 ? ResultKind::registered : ResultKind::invalid };
}

QList<FileResult> rows(int count)
{
    QList<FileResult> out;
    for (int i = 1; i <= count; ++i)
        out.append(row(i));
    return out;
}

// Rows that between them hit every escaping and substitution rule (quotation
// marks in quoted and unquoted fields, a comma in the scope, an empty Merkle
// value, solidi, backslashes, a tab, a line feed, non-ASCII) and every kind.
QList<FileResult> goldenRows()
{
    QList<FileResult> list {
        { u"/tmp/say \"hi\".txt"_qs, u"aa11"_qs, u"r-1"_qs, u"2026-01-02T03:04:05Z"_qs, u"team,a"_qs,
            u"Registered \"ok\""_qs, QString(), ResultKind::registered },
        { u"/tmp/x.txt"_qs, u"bb22"_qs, QString(), QString(), u"global"_qs, u"Not found — ü\tx"_qs, u"m/1"_qs,
            ResultKind::notFound },
        { u"C:\\dir\\f.bin"_qs, QString(), u"id\"7"_qs, QString(), QString(), u"Error: HTTP 500: "_qs,
            u"line1\nline2"_qs, ResultKind::error },
    };
    for (const ResultKind kind : { ResultKind::found, ResultKind::valid, ResultKind::invalid })
        list.append({ u"/f"_qs, u"ab"_qs, u"r"_qs, u"t"_qs, u"s"_qs, u"st"_qs, u"m"_qs, kind });
    return list;
}

const QDateTime kNow(QDate(2026, 12, 6), QTime(9, 15, 2));
const QLocale kLocale(QLocale::English, QLocale::UnitedStates);

} // namespace

/// The exports: the text renderings, the files and the PDF document.
class TestExport : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    int m_files = 0;

    QStringList filesIn(const QString &dir) const
    {
        return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }

    QString pdf(const QList<FileResult> &list, QPdfDocument &doc)
    {
        const QString path = m_dir.filePath(u"doc-%1.pdf"_qs.arg(++m_files));
        writeFile(path, ExportPDF::makeDocument(list, ExportPDF::registrationTitle(), kNow, kLocale));
        doc.load(path);
        return path;
    }

    static QStringList pageLines(QPdfDocument &doc, int page) { return doc.getAllText(page).text().split(u"\r\n"_qs); }

private Q_SLOTS:
    void exportsEachFormat_data()
    {
        QTest::addColumn<ExportFormat>("format");
        QTest::addColumn<QString>("status"); // and the file types offered
        QTest::newRow("json") << ExportFormat::json << "Exported JSON → nivet-timestamps.json|JSON files (*.json)";
        QTest::newRow("csv") << ExportFormat::csv
                             << "Exported CSV → nivet-timestamps.csv|CSV files (*.csv);;Text files (*.txt)";
        QTest::newRow("text") << ExportFormat::text << "Exported TEXT → nivet-timestamps.txt|Text files (*.txt)";
        QTest::newRow("pdf") << ExportFormat::pdf << "Exported PDF → nivet-timestamps.pdf|PDF files (*.pdf)";
    }

    // Each text file byte for byte as tests/data/export/rows.* has it.
    void exportsEachFormat()
    {
        QFETCH(ExportFormat, format);
        QTemporaryDir dir;
        const QString name = ExportFormats::suggestedFileName(format);
        StandInDialog dialog;
        dialog.answer = dir.filePath(name);
        const QString status = exportResults(goldenRows(), format, dialog).value_or(QString());
        QTEST(status + u'|' + dialog.filters.join(u";;"_qs), "status");
        QCOMPARE(filesIn(dir.path()), QStringList { name }); // no scratch file left behind
        QPdfDocument doc;
        if (format == ExportFormat::pdf) {
            QCOMPARE(doc.load(dir.filePath(name)), QPdfDocument::Error::None);
            QCOMPARE(pageLines(doc, 0).first(), ExportPDF::registrationTitle());
        } else {
            QCOMPARE(readFile(dir.filePath(name)),
                readFile(QStringLiteral(NIVET_TEST_DATA "/export/rows.") + QFileInfo(name).suffix()));
            QVERIFY(!exportText({}, format));
        }
        // Nothing to export, or the dialog cancelled: no file, no status.
        QVERIFY(!exportResults({}, format, dialog));
        QCOMPARE(dialog.calls, 1); // the one above
        dialog.answer.reset();
        QVERIFY(!exportResults(goldenRows(), format, dialog));
        QCOMPARE(filesIn(dir.path()).size(), 1);
    }

    // A link is written through to its target; anything but a regular file is
    // left alone with a clear message.
    void destinations_data()
    {
        QTest::addColumn<bool>("written");
        QTest::newRow("link to a file") << true;
        QTest::newRow("link to a pipe") << false;
    }

    void destinations()
    {
        QFETCH(bool, written);
        QTemporaryDir dir;
        const QString chosen = dir.filePath(u"out.txt"_qs);
        const QString target = dir.filePath(u"real/target.txt"_qs);
        QVERIFY(QDir().mkpath(dir.filePath(u"real"_qs)));
        if (written)
            writeFile(target, "old contents that are longer than the new ones will be, by far, really");
        else
            QCOMPARE(::mkfifo(QFile::encodeName(target).constData(), 0600), 0);
        QVERIFY(QFile::link(u"real/target.txt"_qs, chosen)); // relative, as ln -s makes it
        const QString status = saveExport(rows(2), ExportFormat::text, chosen).value_or(QString());
        if (written) {
            QCOMPARE(status, u"Exported TEXT → out.txt"_qs);
            QVERIFY(QFileInfo(chosen).isSymLink());
            QCOMPARE(readFile(target), exportText(rows(2), ExportFormat::text)->toUtf8());
            QCOMPARE(filesIn(dir.filePath(u"real"_qs)), QStringList { u"target.txt"_qs });
        } else {
            QCOMPARE(status, u"Export failed: "_qs + chosen + u" is not a regular file"_qs);
            QVERIFY(!QFileInfo(chosen).isFile());
        }
    }

    // Four entries fit under the header, then five a page.
    void pdfDocument()
    {
        for (const auto &[entries, pages] : { std::pair(0, 1), std::pair(5, 2), std::pair(200, 41) }) {
            QPdfDocument doc;
            pdf(rows(entries), doc);
            QCOMPARE(doc.pageCount(), pages);
            QCOMPARE(pageLines(doc, 0).mid(1, 2),
                (QStringList { u"Generated: Sunday, December 6, 2026 9:15:02 AM"_qs, u"Entries: %1"_qs.arg(entries) }));
            if (entries > 4) // no header on later pages: the next entry heads the page
                QCOMPARE(pageLines(doc, 1).first(), u"Entry 5: doc-5.pdf"_qs);
        }
        // An entry's lines, a long path wrapped, and what an empty one shows.
        QList<FileResult> list { row(1), row(0) };
        list[0].path = u"/srv/a rather/long/folder"_qs.repeated(8) + u"/doc-1.pdf"_qs;
        list[1].path = u"/srv/office/workflow/report.final.pdf"_qs; // "ffi", "fl", "fi": letters, no ligatures
        QPdfDocument doc;
        const QString path = pdf(list, doc);
        const QStringList lines = pageLines(doc, 0);
        const QStringList second { u"Entry 2: report.final.pdf"_qs, u"Status: FAIL — Rejected"_qs,
            u"File: /srv/office/workflow/report.final.pdf"_qs, u"SHA-256: (unavailable)"_qs, u"Scope: —"_qs,
            u"Receipt ID: —"_qs, u"Timestamp: —"_qs };
        QCOMPARE(lines.mid(lines.size() - second.size()), second);
        QCOMPARE(lines.mid(3, 2), (QStringList { u"Entry 1: doc-1.pdf"_qs, u"Status: PASS — Registered"_qs }));
        const QString first = lines.mid(5).join(QString()); // the long path wraps over lines
        QVERIFY(first.startsWith(u"File: "_qs + list[0].path + u"SHA-256: bbbb"_qs));
        QVERIFY(first.contains(u"Scope: globalReceipt ID: r-1Timestamp: 2026-12-06T09:15:02ZMerkle: m-1"_qs));
        // Quoted literals of a locale's format stay; only the time-zone field goes.
        QCOMPARE(ExportPDF::stampText(kNow.addSecs(12 * 3600), QLocale(QLocale::French, QLocale::Canada)),
            u"dimanche 6 décembre 2026 21 h 15 min 02 s"_qs);
        // What another reader extracts, not only Qt's own.
        const QString pdftotext = QStandardPaths::findExecutable(u"pdftotext"_qs);
        if (pdftotext.isEmpty())
            QSKIP("pdftotext is not installed");
        QProcess extract;
        extract.start(pdftotext, { u"-enc"_qs, u"UTF-8"_qs, path, u"-"_qs });
        QVERIFY(extract.waitForFinished());
        const QString text = QString::fromUtf8(extract.readAllStandardOutput());
        QVERIFY2(text.contains(second[0]) && text.contains(second[2]), qPrintable(text));
    }
};

QTEST_MAIN(TestExport)
#include "tst_export.moc"
