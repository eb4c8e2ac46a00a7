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

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

Q_DECLARE_METATYPE(ExportFormat)

namespace {

class StandInDialog : public SaveDialog {
public:
    std::optional<QString> answer;
    int calls = 0;
    QString title;
    QStringList filters;

    std::optional<QString> askSavePath(const QString &t, const QString &, const QStringList &f) override
    {
        ++calls;
        title = t;
        filters = f;
        return answer;
    }
};

class StandInClipboard : public ClipboardSink {
public:
    QStringList texts;
    void setText(const QString &text) override { texts.append(text); }
};

// Odd rows registered (pass), even rows rejected; row 0 has every field empty.
FileResult row(int i)
{
    const QString n = QString::number(i);
    if (i == 0)
        return { u"/srv/in/empty.pdf"_qs, {}, {}, {}, {}, u"Rejected"_qs, {}, ResultKind::invalid };
    return { QStringLiteral("/srv/in/doc-") + n + QStringLiteral(".pdf"), QString(64, QLatin1Char('a' + i % 6)),
        QStringLiteral("r-") + n, QStringLiteral("2026-12-06T09:15:02Z"), QStringLiteral("global"),
        i % 2 ? QStringLiteral("Registered") : QStringLiteral("Receipt rejected"), QStringLiteral("m-") + n,
        i % 2 ? ResultKind::registered : ResultKind::invalid };
}

QList<FileResult> rows(int count)
{
    QList<FileResult> out;
    for (int i = 1; i <= count; ++i)
        out.append(row(i));
    return out;
}

const QDateTime kNow(QDate(2026, 12, 6), QTime(9, 15, 2));
const QLocale kLocale(QLocale::English, QLocale::UnitedStates);

} // namespace

class TestExportActions : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    int m_files = 0;

    QStringList filesIn(const QString &dir) const
    {
        return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }

    QString pdf(const QList<FileResult> &list, QPdfDocument &doc)
    {
        const QString path = m_dir.filePath(QStringLiteral("doc-%1.pdf").arg(++m_files));
        writeFile(path, ExportPDF::makeDocument(list, ExportPDF::registrationTitle(), kNow, kLocale));
        doc.load(path);
        return path;
    }

    static QStringList pageLines(QPdfDocument &doc, int page) { return doc.getAllText(page).text().split(u"\r\n"_qs); }

private Q_SLOTS:
    void exportsEachFormat_data()
    {
        QTest::addColumn<ExportFormat>("format");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QStringList>("filters");
        QTest::newRow("json") << ExportFormat::json << "Exported JSON → nivet-timestamps.json"
                              << "Export JSON" << QStringList { u"JSON files (*.json)"_qs };
        QTest::newRow("csv") << ExportFormat::csv << "Exported CSV → nivet-timestamps.csv"
                             << "Export CSV" << QStringList { u"CSV files (*.csv)"_qs, u"Text files (*.txt)"_qs };
        QTest::newRow("text") << ExportFormat::text << "Exported TEXT → nivet-timestamps.txt"
                              << "Export Text" << QStringList { u"Text files (*.txt)"_qs };
        QTest::newRow("pdf") << ExportFormat::pdf << "Exported PDF → nivet-timestamps.pdf"
                             << "Export PDF" << QStringList { u"PDF files (*.pdf)"_qs };
    }

    void exportsEachFormat()
    {
        QFETCH(ExportFormat, format);
        QTemporaryDir dir;
        const QString name = ExportFormats::suggestedFileName(format);
        StandInDialog dialog;
        dialog.answer = dir.filePath(name);
        QTEST(exportResults(rows(2), format, dialog).value_or(QString()), "status");
        QTEST(dialog.title, "title");
        QTEST(dialog.filters, "filters");
        QCOMPARE(filesIn(dir.path()), QStringList { name }); // no scratch file left behind
        if (format == ExportFormat::pdf) {
            QPdfDocument doc;
            QCOMPARE(doc.load(dir.filePath(name)), QPdfDocument::Error::None);
            QCOMPARE(pageLines(doc, 0).first(), ExportPDF::registrationTitle());
        } else {
            QCOMPARE(readFile(dir.filePath(name)), exportText(rows(2), format)->toUtf8());
        }
        // Nothing to export, or the dialog cancelled: no file, no status.
        dialog.calls = 0;
        QVERIFY(!exportResults({}, format, dialog));
        QCOMPARE(dialog.calls, 0);
        for (const std::optional<QString> &cancel : { std::optional<QString>(), std::optional(QString()) }) {
            dialog.answer = cancel;
            QVERIFY(!exportResults(rows(2), format, dialog));
        }
        QCOMPARE(filesIn(dir.path()).size(), 1);
    }

    void unwritableDestination()
    {
        const QString path = m_dir.filePath(QStringLiteral("missing/out.txt"));
        QCOMPARE(saveExport(rows(1), ExportFormat::text, path).value_or(QString()),
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
            writeFile(target, "old contents that are longer than the new ones will be, by far, really");
            QVERIFY(QFile::link(QStringLiteral("real/target.txt"), chosen)); // relative, as ln -s makes it
        } else if (kind == QLatin1String("dangling")) {
            QVERIFY(QFile::link(dir.filePath(QStringLiteral("step")), chosen));
            QVERIFY(QFile::link(target, dir.filePath(QStringLiteral("step"))));
        } else if (kind == QLatin1String("folder")) {
            QVERIFY(QDir().mkpath(chosen + QStringLiteral("/inside")));
        } else {
            QCOMPARE(::mkfifo(QFile::encodeName(target).constData(), 0600), 0);
            QVERIFY(QFile::link(target, chosen));
        }
        const QString status = saveExport(rows(2), ExportFormat::text, chosen).value_or(QString());
        if (written) {
            QCOMPARE(status, QStringLiteral("Exported TEXT → out.txt"));
            QVERIFY(QFileInfo(chosen).isSymLink());
            QCOMPARE(readFile(target), exportText(rows(2), ExportFormat::text)->toUtf8());
            QCOMPARE(filesIn(dir.filePath(QStringLiteral("real"))), QStringList { u"target.txt"_qs });
        } else {
            QCOMPARE(status, QStringLiteral("Export failed: ") + chosen + QStringLiteral(" is not a regular file"));
            QVERIFY(!QFileInfo(chosen).isFile());
        }
    }

    void copy_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<ExportFormat>("rendering");
        QTest::addColumn<QString>("status");
        QTest::newRow("csv") << "csv" << ExportFormat::csv << "Copied csv to clipboard.";
        QTest::newRow("json") << "json" << ExportFormat::json << "Copied json to clipboard.";
        // Unknown values copy text; the status names the value as read.
        QTest::newRow("upper case") << "CSV" << ExportFormat::text << "Copied CSV to clipboard.";
    }

    void copy()
    {
        QFETCH(QString, output);
        QFETCH(ExportFormat, rendering);
        StandInClipboard clipboard;
        QTEST(copyResults(rows(2), output, clipboard).value_or(QString()), "status");
        QVERIFY(!copyResults({}, output, clipboard));
        QVERIFY(!copyResults(rows(2), u"pdf"_qs, clipboard));
        QCOMPARE(clipboard.texts, QStringList { *exportText(rows(2), rendering) });
    }

    void pdfPages_data()
    {
        QTest::addColumn<int>("entries");
        QTest::addColumn<int>("pages");
        QTest::newRow("none") << 0 << 1;
        QTest::newRow("five") << 5 << 2; // four fit under the header
        QTest::newRow("200") << 200 << 41; // then five a page
    }

    void pdfPages()
    {
        QFETCH(int, entries);
        QPdfDocument doc;
        pdf(rows(entries), doc);
        QTEST(doc.pageCount(), "pages");
        QCOMPARE(doc.pagePointSize(doc.pageCount() - 1), QSizeF(612, 792));
        QCOMPARE(doc.metaData(QPdfDocument::MetaDataField::Title).toString(), ExportPDF::registrationTitle());
        QCOMPARE(pageLines(doc, 0).mid(1, 2),
            (QStringList { u"Generated: Sunday, December 6, 2026 9:15:02 AM"_qs, u"Entries: %1"_qs.arg(entries) }));
        if (entries > 4) // no header on later pages: the next entry heads the page
            QCOMPARE(pageLines(doc, 1).first(), QStringLiteral("Entry 5: doc-5.pdf"));
    }

    void pdfText()
    {
        QList<FileResult> list { row(1), row(0) };
        list[0].path = QStringLiteral("/srv/a rather/long/folder").repeated(8) + QStringLiteral("/doc-1.pdf");
        QPdfDocument doc;
        pdf(list, doc);
        const QStringList lines = pageLines(doc, 0);
        const QStringList second { u"Entry 2: empty.pdf"_qs, u"Status: FAIL — Rejected"_qs,
            u"File: /srv/in/empty.pdf"_qs, u"SHA-256: (unavailable)"_qs, u"Scope: —"_qs, u"Receipt ID: —"_qs,
            u"Timestamp: —"_qs };
        QCOMPARE(lines.mid(lines.size() - second.size()), second);
        QCOMPARE(lines.at(3), QStringLiteral("Entry 1: doc-1.pdf"));
        QCOMPARE(lines.at(4), QStringLiteral("Status: PASS — Registered"));
        const QString first = lines.mid(5).join(QString()); // the long path wraps over lines
        QVERIFY(first.startsWith(QStringLiteral("File: ") + list[0].path + QStringLiteral("SHA-256: bbbb")));
        QVERIFY(
            first.contains(QStringLiteral("Scope: globalReceipt ID: r-1Timestamp: 2026-12-06T09:15:02ZMerkle: m-1")));
        // Quoted literals of a locale's format stay; only the time-zone field goes.
        QCOMPARE(ExportPDF::stampText(kNow.addSecs(12 * 3600), QLocale(QLocale::French, QLocale::Canada)),
            QStringLiteral("dimanche 6 décembre 2026 21 h 15 min 02 s"));
    }

    // "ffi", "fl" and "fi" each as their letters, never as one ligature glyph.
    void pdfTextExtractsAsWritten()
    {
        const QString pdftotext = QStandardPaths::findExecutable(QStringLiteral("pdftotext"));
        if (pdftotext.isEmpty())
            QSKIP("pdftotext is not installed");
        QList<FileResult> list = rows(1);
        list[0].path = QStringLiteral("/srv/office/workflow/report.final.pdf");
        QPdfDocument doc;
        QProcess extract;
        extract.start(pdftotext, { u"-enc"_qs, u"UTF-8"_qs, pdf(list, doc), u"-"_qs });
        QVERIFY(extract.waitForFinished());
        const QString text = QString::fromUtf8(extract.readAllStandardOutput());
        QVERIFY2(text.contains(QStringLiteral("Entry 1: report.final.pdf")), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("File: /srv/office/workflow/report.final.pdf")), qPrintable(text));
    }

    // A passing status line is drawn green, a failing one red, the rest not.
    void pdfStatusColours()
    {
        QPdfDocument doc;
        pdf(rows(2), doc);
        const QImage page = doc.render(0, QSize(612 * 2, 792 * 2)).convertToFormat(QImage::Format_ARGB32);
        const auto inkOf = [&](const QString &text) {
            const int at = static_cast<int>(doc.getAllText(0).text().indexOf(text));
            const QRect area = doc.getSelectionAtIndex(0, at, int(text.size())).boundingRectangle().toAlignedRect();
            int green = 0, red = 0, dark = 0;
            for (int y = area.top() * 2; y <= area.bottom() * 2; ++y) {
                for (int x = area.left() * 2; x <= area.right() * 2; ++x) {
                    const QColor c = page.pixelColor(x, y);
                    if (c.alpha() < 128 || c.lightness() > 200)
                        continue;
                    green += c.green() > c.red() + 60;
                    red += c.red() > c.green() + 60;
                    dark += qAbs(c.red() - c.green()) < 16 && qAbs(c.green() - c.blue()) < 16;
                }
            }
            return QList<int> { green > 10, red > 10, dark > 10 };
        };
        QCOMPARE(inkOf(u"Status: PASS — Registered"_qs), (QList<int> { 1, 0, 0 }));
        QCOMPARE(inkOf(u"Status: FAIL — Receipt rejected"_qs), (QList<int> { 0, 1, 0 }));
        QCOMPARE(inkOf(u"File: /srv/in/doc-1.pdf"_qs), (QList<int> { 0, 0, 1 }));
    }
};

QTEST_MAIN(TestExportActions)
#include "tst_exportactions.moc"
