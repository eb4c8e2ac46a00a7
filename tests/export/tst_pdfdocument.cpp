#include "export/exportpdf.h"

#include <QPdfDocument>
#include <QPdfSelection>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "testenv.h"

using namespace ExportPDF;

namespace {

const QDateTime kNow(QDate(2026, 12, 6), QTime(9, 15, 2));
const QLocale kLocale(QLocale::English, QLocale::UnitedStates);

FileResult row(int i)
{
    const QString n = QString::number(i);
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

} // namespace

/// Reads generated documents back with a PDF reader.
class TestPdfDocument : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

    // Loads bytes through a file: the reader's device loading is asynchronous.
    bool load(QPdfDocument &doc, const QByteArray &bytes)
    {
        const QString path = m_dir.filePath(QStringLiteral("doc-%1.pdf").arg(++m_files));
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            return false;
        f.close();
        return doc.load(path) == QPdfDocument::Error::None;
    }
    int m_files = 0;

    static QStringList pageLines(QPdfDocument &doc, int page)
    {
        return doc.getAllText(page).text().split(QStringLiteral("\r\n"));
    }

private Q_SLOTS:
    void pages_data()
    {
        QTest::addColumn<int>("entries");
        QTest::addColumn<int>("pages");
        QTest::newRow("none") << 0 << 1;
        QTest::newRow("one") << 1 << 1;
        QTest::newRow("five") << 5 << 2; // four fit under the header
        QTest::newRow("200") << 200 << 41; // then five a page
    }

    void pages()
    {
        QFETCH(int, entries);
        QFETCH(int, pages);
        const QByteArray bytes = makeDocument(rows(entries), registrationTitle(), kNow, kLocale);
        QVERIFY(bytes.startsWith("%PDF-"));
        QPdfDocument doc;
        QVERIFY(load(doc, bytes));
        QCOMPARE(doc.pageCount(), pages);
        for (int p = 0; p < doc.pageCount(); ++p)
            QCOMPARE(doc.pagePointSize(p), QSizeF(612, 792));
        QCOMPARE(doc.metaData(QPdfDocument::MetaDataField::Title).toString(), registrationTitle());
    }

    void firstPageText()
    {
        QPdfDocument doc;
        QVERIFY(load(doc, makeDocument(rows(5), registrationTitle(), kNow, kLocale)));
        const QStringList lines = pageLines(doc, 0);
        const QStringList start {
            QStringLiteral("Nivet Timestamp Registration Document"),
            QStringLiteral("Generated: Sunday, December 6, 2026 9:15:02 AM"),
            QStringLiteral("Entries: 5"),
            QStringLiteral("Entry 1: doc-1.pdf"),
            QStringLiteral("Status: PASS — Registered"),
            QStringLiteral("File: /srv/in/doc-1.pdf"),
            QStringLiteral("SHA-256: bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb"),
            QStringLiteral("Scope: global"),
            QStringLiteral("Receipt ID: r-1"),
            QStringLiteral("Timestamp: 2026-12-06T09:15:02Z"),
            QStringLiteral("Merkle: m-1"),
            QStringLiteral("Entry 2: doc-2.pdf"),
            QStringLiteral("Status: FAIL — Receipt rejected"),
            QStringLiteral("File: /srv/in/doc-2.pdf"),
            QStringLiteral("SHA-256: cccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccc"),
            QStringLiteral("Scope: global"),
            QStringLiteral("Receipt ID: r-2"),
            QStringLiteral("Timestamp: 2026-12-06T09:15:02Z"),
            QStringLiteral("Merkle: m-2"),
            QStringLiteral("Entry 3: doc-3.pdf"),
        };
        QCOMPARE(lines.mid(0, start.size()), start);
        QCOMPARE(lines.size(), 3 + 4 * 8); // entries 1 to 4, nothing else
        QCOMPARE(lines.last(), QStringLiteral("Merkle: m-4"));
        // No header on later pages: the next entry heads the page.
        QCOMPARE(pageLines(doc, 1).first(), QStringLiteral("Entry 5: doc-5.pdf"));
    }

    void textExtractsAsWritten()
    {
        const QString pdftotext = QStandardPaths::findExecutable(QStringLiteral("pdftotext"));
        if (pdftotext.isEmpty())
            QSKIP("pdftotext is not installed");
        QList<FileResult> list = rows(1);
        list[0].path = QStringLiteral("/srv/office/workflow/report.final.pdf");
        const QString path = m_dir.filePath(QStringLiteral("words.pdf"));
        QVERIFY(writeFile(path, makeDocument(list, registrationTitle(), kNow, kLocale)));
        QProcess extract;
        extract.start(pdftotext, { QStringLiteral("-enc"), QStringLiteral("UTF-8"), path, QStringLiteral("-") });
        QVERIFY(extract.waitForFinished());
        const QString text = QString::fromUtf8(extract.readAllStandardOutput());
        // "ffi", "fl" and "fi" each as their letters, never as one ligature glyph.
        QVERIFY2(text.contains(QStringLiteral("Entry 1: report.final.pdf")), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("File: /srv/office/workflow/report.final.pdf")), qPrintable(text));
    }

    void emptyListGivesHeaderOnly()
    {
        QPdfDocument doc;
        QVERIFY(load(doc, makeDocument({}, QStringLiteral("Empty"), kNow, kLocale)));
        QCOMPARE(pageLines(doc, 0),
            (QStringList { QStringLiteral("Empty"), QStringLiteral("Generated: Sunday, December 6, 2026 9:15:02 AM"),
                QStringLiteral("Entries: 0") }));
    }

    void textSitsInItsBlocks()
    {
        // Each laid-out block's text is drawn inside that block's rectangle
        // (reader coordinates: origin top-left), on the block's page.
        QList<FileResult> list = rows(7);
        list[1].path = QStringLiteral("/srv/a rather/long/folder").repeated(8) + QStringLiteral("/doc-2.pdf");
        const Layout layout = layOut(list, registrationTitle(), stampText(kNow, kLocale), FontMeasurer());
        QPdfDocument doc;
        QVERIFY(load(doc, render(layout, registrationTitle())));
        QCOMPARE(doc.pageCount(), layout.pageCount);
        QList<int> searchFrom(layout.pageCount, 0);
        for (const Block &b : layout.blocks) {
            const QString text = doc.getAllText(b.page).text();
            // The reader reports wrapped lines with line breaks between them.
            const QString first = b.text.left(20);
            const int at = static_cast<int>(text.indexOf(first, searchFrom[b.page]));
            QVERIFY2(at >= 0, qPrintable(b.text));
            searchFrom[b.page] = at + 1;
            const QRectF drawn
                = doc.getSelectionAtIndex(b.page, at, static_cast<int>(first.size())).boundingRectangle();
            const QRectF block(b.rect.x(), pageHeight - b.top(), b.rect.width(), b.rect.height());
            QVERIFY2(block.adjusted(-1, -1, 1, 1).contains(drawn),
                qPrintable(b.text + QStringLiteral(" drawn at %1,%2").arg(drawn.x()).arg(drawn.y())));
        }
        // The wrapped path is drawn whole across its lines.
        QString page = doc.getAllText(0).text();
        page.remove(QStringLiteral("\r\n"));
        QVERIFY(page.contains(QStringLiteral("File: ") + list[1].path));
    }

    void coloursAsDrawn()
    {
        QList<FileResult> list = rows(2); // registered, then invalid
        const Layout layout = layOut(list, registrationTitle(), stampText(kNow, kLocale), FontMeasurer());
        QPdfDocument doc;
        QVERIFY(load(doc, render(layout, registrationTitle())));
        const qreal scale = 3;
        const QImage page = doc.render(0, QSize(612 * scale, 792 * scale)).convertToFormat(QImage::Format_ARGB32);
        const auto coloursIn = [&](const Block &b) {
            QSet<QRgb> found;
            const QRect area = QRectF(
                b.rect.x() * scale, (pageHeight - b.top()) * scale, b.rect.width() * scale, b.rect.height() * scale)
                                   .toAlignedRect();
            for (int y = area.top(); y <= area.bottom(); ++y) {
                for (int x = area.left(); x <= area.right(); ++x) {
                    if (qAlpha(page.pixel(x, y)) > 0) // the page itself is transparent
                        found.insert(page.pixel(x, y));
                }
            }
            return found;
        };
        const auto has = [](const QSet<QRgb> &colours, const QColor &want) {
            for (const QRgb c : colours) {
                if (qAbs(qRed(c) - want.red()) + qAbs(qGreen(c) - want.green()) + qAbs(qBlue(c) - want.blue()) < 24)
                    return true;
            }
            return false;
        };
        const QList<Block> &blocks = layout.blocks;
        const auto block = [&](const QString &text) {
            for (const Block &b : blocks) {
                if (b.text == text)
                    return b;
            }
            return Block {};
        };
        const QSet<QRgb> passLine = coloursIn(block(QStringLiteral("Status: PASS — Registered")));
        const QSet<QRgb> failLine = coloursIn(block(QStringLiteral("Status: FAIL — Receipt rejected")));
        const QSet<QRgb> fileLine = coloursIn(block(QStringLiteral("File: /srv/in/doc-1.pdf")));
        const QSet<QRgb> stampLine = coloursIn(block(QStringLiteral("Entries: 2")));
        QVERIFY(has(passLine, passColour()) && !has(passLine, failColour()));
        QVERIFY(has(failLine, failColour()) && !has(failLine, passColour()));
        QVERIFY(has(fileLine, black()) && !has(fileLine, passColour()));
        QVERIFY(has(stampLine, darkGray()) && !has(stampLine, black()));
    }
};

QTEST_MAIN(TestPdfDocument)
#include "tst_pdfdocument.moc"
