#include "export/exportpdf.h"

#include <QFontInfo>
#include <QFontMetricsF>
#include <QHash>
#include <QtTest>

using namespace ExportPDF;

Q_DECLARE_METATYPE(ExportPDF::FontRole)
Q_DECLARE_METATYPE(ResultKind)

namespace {

// Every text measures 1 point (below every minimum) unless told otherwise, so
// the geometry under test is exactly the fixed one.
class FakeMeasurer : public TextMeasurer {
public:
    QHash<QString, qreal> heights;
    qreal height(const QString &text, FontRole) const override { return heights.value(text, 1); }
};

FileResult fullRow(int i, ResultKind kind = ResultKind::registered, bool merkle = true)
{
    const QString n = QString::number(i);
    return { QStringLiteral("/data/in/file-") + n + QStringLiteral(".bin"), QString(64, QLatin1Char('d')),
        QStringLiteral("r-") + n, QStringLiteral("2026-12-06T09:15:02Z"), QStringLiteral("global"),
        QStringLiteral("Registered"), merkle ? QStringLiteral("m-") + n : QString(), kind };
}

QList<Block> entryBlocks(const Layout &layout, int entry)
{
    QList<Block> out;
    for (const Block &b : layout.blocks) {
        if (b.entry == entry)
            out.append(b);
    }
    return out;
}

// Where the next entry would start before its page-break test: below entry n's last line and trailing space.
qreal cursorAfter(const Layout &layout, int entry)
{
    return entryBlocks(layout, entry).last().rect.y() - entryTrailingSpace;
}

// Expected block: role, text, top edge and height.
struct Expect {
    FontRole role;
    QString text;
    qreal top;
    qreal height;
};

void compareBlocks(const QList<Block> &actual, const QList<Expect> &expected)
{
    QCOMPARE(actual.size(), expected.size());
    for (qsizetype i = 0; i < expected.size(); ++i) {
        const Block &b = actual.at(i);
        const Expect &e = expected.at(i);
        QCOMPARE(b.text, e.text);
        QCOMPARE(b.role, e.role);
        QCOMPARE(b.top(), e.top);
        QCOMPARE(b.rect, QRectF(48, e.top - e.height, 516, e.height));
    }
}

} // namespace

class TestPdfLayout : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void roleSizes_data()
    {
        QTest::addColumn<FontRole>("role");
        QTest::addColumn<qreal>("points");
        QTest::addColumn<qreal>("minimum");
        QTest::addColumn<bool>("bold");
        QTest::addColumn<bool>("fixed");
        QTest::newRow("title") << FontRole::title << 16.0 << 18.0 << true << false;
        QTest::newRow("entry heading") << FontRole::entryHeading << 12.0 << 14.0 << true << false;
        QTest::newRow("body") << FontRole::body << 10.0 << 12.0 << false << false;
        QTest::newRow("digest") << FontRole::digest << 9.0 << 11.0 << false << true;
        QTest::newRow("small") << FontRole::small << 9.0 << 11.0 << false << false;
    }

    void roleSizes()
    {
        QFETCH(FontRole, role);
        QFETCH(qreal, points);
        QFETCH(qreal, minimum);
        QFETCH(bool, fixed);
        QCOMPARE(pointSize(role), points);
        QCOMPARE(minimumBlockHeight(role), minimum);
        const QFont f = font(role);
        QCOMPARE(f.pointSizeF(), points);
        QTEST(f.bold(), "bold");
        // Every glyph as wide as the next in the digest font. Measured, not
        // read from the font's own flag, which some monospaced faces leave unset.
        const QFontMetricsF metrics(f);
        QCOMPARE(
            qFuzzyCompare(metrics.horizontalAdvance(QLatin1Char('i')), metrics.horizontalAdvance(QLatin1Char('M'))),
            fixed);

        // With the real fonts a single line never gets less than the minimum,
        // and never as much as a second line.
        const FontMeasurer measurer;
        const qreal h = qMax(measurer.height(QStringLiteral("Entry 1: Ag"), role), minimumBlockHeight(role));
        QVERIFY(h >= minimum);
        QVERIFY2(h < minimum + points, qPrintable(QString::number(h)));
    }

    void header()
    {
        const Layout layout = layOut({}, QStringLiteral("Title"), QStringLiteral("stamp"), FakeMeasurer());
        compareBlocks(layout.blocks,
            {
                { FontRole::title, QStringLiteral("Title"), 744, 18 },
                { FontRole::small, QStringLiteral("Generated: stamp"), 720, 11 },
                { FontRole::small, QStringLiteral("Entries: 0"), 705, 11 },
            });
        QCOMPARE(layout.pageCount, 1);
        QCOMPARE(layout.blocks.at(0).colour, black());
        QCOMPARE(layout.blocks.at(1).colour, darkGray());
        QCOMPARE(layout.blocks.at(2).colour, darkGray());
        for (const Block &b : layout.blocks) {
            QCOMPARE(b.page, 0);
            QCOMPARE(b.entry, 0);
        }
    }

    void measuredHeightAboveMinimumWins()
    {
        FakeMeasurer measurer;
        measurer.heights.insert(QStringLiteral("Tall title"), 25);
        measurer.heights.insert(QStringLiteral("Entries: 2"), 30);
        const Layout layout
            = layOut({ fullRow(1), fullRow(2) }, QStringLiteral("Tall title"), QStringLiteral("s"), measurer);
        QCOMPARE(layout.blocks.at(0).rect, QRectF(48, 719, 516, 25));
        QCOMPARE(layout.blocks.at(1).top(), 713.0);
        QCOMPARE(layout.blocks.at(2).rect, QRectF(48, 668, 516, 30));
        QCOMPARE(entryBlocks(layout, 1).first().top(), 652.0);
    }

    void entrySpacing_data()
    {
        QTest::addColumn<bool>("merkle");
        QTest::addColumn<qreal>("cursorAfter");
        QTest::newRow("with Merkle line") << true << 547.0; // 678 - 131
        QTest::newRow("without Merkle line") << false << 561.0; // 3 + 11 less
    }

    void entrySpacing()
    {
        QFETCH(bool, merkle);
        const Layout layout = layOut(
            { fullRow(7, ResultKind::found, merkle) }, QStringLiteral("T"), QStringLiteral("s"), FakeMeasurer());
        QList<Expect> expected {
            { FontRole::entryHeading, QStringLiteral("Entry 1: file-7.bin"), 678, 14 },
            { FontRole::body, QStringLiteral("Status: PASS — Registered"), 660, 12 },
            { FontRole::body, QStringLiteral("File: /data/in/file-7.bin"), 645, 12 },
            { FontRole::digest, QStringLiteral("SHA-256: ") + QString(64, QLatin1Char('d')), 630, 11 },
            { FontRole::body, QStringLiteral("Scope: global"), 616, 12 },
            { FontRole::digest, QStringLiteral("Receipt ID: r-7"), 601, 11 },
            { FontRole::body, QStringLiteral("Timestamp: 2026-12-06T09:15:02Z"), 587, 12 },
        };
        if (merkle)
            expected.append({ FontRole::digest, QStringLiteral("Merkle: m-7"), 572, 11 });
        compareBlocks(entryBlocks(layout, 1), expected);
        QFETCH(qreal, cursorAfter);
        QCOMPARE(::cursorAfter(layout, 1), cursorAfter);
    }

    void emptyFieldsAreSubstituted()
    {
        const FileResult row { QStringLiteral("/Users/a/b/report.final.pdf"), {}, {}, {}, {},
            QStringLiteral("Rejected"), {}, ResultKind::invalid };
        const Layout layout = layOut({ row }, QStringLiteral("T"), QStringLiteral("s"), FakeMeasurer());
        QStringList texts;
        for (const Block &b : entryBlocks(layout, 1))
            texts << b.text;
        QCOMPARE(texts,
            (QStringList {
                QStringLiteral("Entry 1: report.final.pdf"),
                QStringLiteral("Status: FAIL — Rejected"),
                QStringLiteral("File: /Users/a/b/report.final.pdf"),
                QStringLiteral("SHA-256: (unavailable)"),
                QStringLiteral("Scope: —"),
                QStringLiteral("Receipt ID: —"),
                QStringLiteral("Timestamp: —"),
            }));
        QCOMPARE(cursorAfter(layout, 1), 561.0);

        // Only an empty value is replaced; the status text may be empty.
        const FileResult bare { {}, {}, {}, {}, {}, {}, {}, ResultKind::error };
        const Layout bareLayout = layOut({ bare }, QStringLiteral("T"), QStringLiteral("s"), FakeMeasurer());
        QCOMPARE(entryBlocks(bareLayout, 1).at(0).text, QStringLiteral("Entry 1: "));
        QCOMPARE(entryBlocks(bareLayout, 1).at(1).text, QStringLiteral("Status: FAIL — "));
    }

    void coloursByKind_data()
    {
        QTest::addColumn<ResultKind>("kind");
        QTest::addColumn<bool>("pass");
        QTest::newRow("registered") << ResultKind::registered << true;
        QTest::newRow("found") << ResultKind::found << true;
        QTest::newRow("valid") << ResultKind::valid << true;
        QTest::newRow("notFound") << ResultKind::notFound << false;
        QTest::newRow("invalid") << ResultKind::invalid << false;
        QTest::newRow("error") << ResultKind::error << false;
    }

    void coloursByKind()
    {
        QFETCH(ResultKind, kind);
        QFETCH(bool, pass);
        const Layout layout = layOut({ fullRow(1, kind) }, QStringLiteral("T"), QStringLiteral("s"), FakeMeasurer());
        const QList<Block> blocks = entryBlocks(layout, 1);
        const Block &status = blocks.at(1);
        QCOMPARE(status.text,
            pass ? QStringLiteral("Status: PASS — Registered") : QStringLiteral("Status: FAIL — Registered"));
        const QColor expected = pass ? QColor::fromRgbF(0.05f, 0.55f, 0.2f) : QColor::fromRgbF(0.75f, 0.1f, 0.1f);
        QCOMPARE(status.colour, expected);
        QCOMPARE(status.colour, entryColour(kind));
        for (const Block &b : blocks) {
            if (&b != &status)
                QCOMPARE(b.colour, QColor(Qt::black));
        }
    }

    void colourValues()
    {
        const auto near = [](const QColor &c, float r, float g, float b) {
            return qAbs(c.redF() - r) < 0.003f && qAbs(c.greenF() - g) < 0.003f && qAbs(c.blueF() - b) < 0.003f
                && c.alphaF() == 1.0f;
        };
        QVERIFY(near(passColour(), 0.05f, 0.55f, 0.2f));
        QVERIFY(near(failColour(), 0.75f, 0.1f, 0.1f));
        QVERIFY(near(darkGray(), 1.0f / 3, 1.0f / 3, 1.0f / 3));
        QVERIFY(near(black(), 0, 0, 0));
    }

    // Entry 1 is stretched through its File line so that the cursor after it
    // lands at 188 + delta; entry 2 moves to a new page exactly when below 188.
    void pageBreakBoundary_data()
    {
        QTest::addColumn<qreal>("delta");
        QTest::addColumn<bool>("breaks");
        QTest::newRow("well above") << 40.0 << false;
        QTest::newRow("just above") << 0.25 << false;
        QTest::newRow("exactly 188") << 0.0 << false;
        QTest::newRow("just below") << -0.25 << true;
        QTest::newRow("well below") << -100.0 << true;
    }

    void pageBreakBoundary()
    {
        QFETCH(qreal, delta);
        QFETCH(bool, breaks);
        FakeMeasurer measurer;
        measurer.heights.insert(QStringLiteral("File: /data/in/file-1.bin"), 12 + 359 - delta);
        const Layout layout = layOut({ fullRow(1), fullRow(2) }, QStringLiteral("T"), QStringLiteral("s"), measurer);
        QCOMPARE(cursorAfter(layout, 1), 188 + delta);
        const QList<Block> second = entryBlocks(layout, 2);
        QCOMPARE(second.first().text, QStringLiteral("Entry 2: file-2.bin"));
        QCOMPARE(second.first().top(), breaks ? 744.0 : 188 + delta);
        for (const Block &b : second)
            QCOMPARE(b.page, breaks ? 1 : 0);
        QCOMPARE(layout.pageCount, breaks ? 2 : 1);
    }

    void entriesPerPage()
    {
        // 131-point entries: four fit under the header, five on later pages.
        QList<FileResult> rows;
        for (int i = 1; i <= 12; ++i)
            rows.append(fullRow(i));
        const Layout layout = layOut(rows, QStringLiteral("T"), QStringLiteral("s"), FakeMeasurer());
        QList<int> pages;
        for (int n = 1; n <= 12; ++n)
            pages.append(entryBlocks(layout, n).first().page);
        QCOMPARE(pages, (QList<int> { 0, 0, 0, 0, 1, 1, 1, 1, 1, 2, 2, 2 }));
        QCOMPARE(layout.pageCount, 3);
        QCOMPARE(entryBlocks(layout, 10).first().top(), 744.0);
        QCOMPARE(cursorAfter(layout, 9), 89.0); // 744 - 5 * 131
    }

    void breakRuleWithRealFonts()
    {
        // Rows of varied length under the real fonts: a new page starts before
        // entry k exactly when the cursor after entry k - 1 is below 188, and
        // starts with that entry's heading at the top.
        QList<FileResult> rows;
        for (int i = 1; i <= 60; ++i) {
            FileResult row = fullRow(i, static_cast<ResultKind>(i % 6), i % 3 != 0);
            if (i % 4 == 0)
                row.path = QStringLiteral("/deep").repeated(i * 3) + QStringLiteral("/f.bin");
            if (i % 7 == 0)
                row.status = QStringLiteral("Error: a long explanation ").repeated(i / 7 + 1);
            rows.append(row);
        }
        const Layout layout = layOut(rows, QStringLiteral("T"), QStringLiteral("s"), FontMeasurer());
        int breaks = 0;
        for (int k = 2; k <= rows.size(); ++k) {
            const Block previous = entryBlocks(layout, k - 1).first();
            const QList<Block> entry = entryBlocks(layout, k);
            const bool below = cursorAfter(layout, k - 1) < 188;
            QCOMPARE(entry.first().page, previous.page + (below ? 1 : 0));
            QCOMPARE(entry.first().top(), below ? 744 : cursorAfter(layout, k - 1));
            for (const Block &b : entry)
                QCOMPARE(b.page, entry.first().page);
            breaks += below;
        }
        QVERIFY(breaks > 5);
        QCOMPARE(layout.pageCount, layout.blocks.last().page + 1);
    }

    void wrappedTextGrowsTheBlock_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("many folders") << QStringLiteral("/Users/ada/Documents").repeated(12) + QStringLiteral("/x.pdf");
        // No break opportunity at all: still wrapped inside the column.
        QTest::newRow("one long name") << QStringLiteral("/") + QString(300, QLatin1Char('n'))
                + QStringLiteral("/x.pdf");
    }

    void wrappedTextGrowsTheBlock()
    {
        QFETCH(QString, path);
        const FontMeasurer measurer;
        FileResult shortRow = fullRow(1);
        FileResult longRow = fullRow(1);
        longRow.path = path;
        const QList<Block> a = entryBlocks(layOut({ shortRow }, QStringLiteral("T"), QStringLiteral("s"), measurer), 1);
        const QList<Block> b = entryBlocks(layOut({ longRow }, QStringLiteral("T"), QStringLiteral("s"), measurer), 1);

        const qreal oneLine = measurer.height(QStringLiteral("File: x"), FontRole::body);
        const qreal fileHeight = b.at(2).rect.height();
        QVERIFY2(fileHeight > 2.5 * oneLine, qPrintable(QString::number(fileHeight)));
        QCOMPARE(a.at(2).rect.height(), 12.0);
        // Everything below the File line moves down by the extra height.
        const qreal extra = fileHeight - 12;
        for (qsizetype i = 3; i < a.size(); ++i)
            QCOMPARE(b.at(i).top(), a.at(i).top() - extra);
        QCOMPARE(b.at(2).top(), a.at(2).top());
    }

    void stamp_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QString>("expected");
        QTest::newRow("en_US") << QLocale(QLocale::English, QLocale::UnitedStates)
                               << "Sunday, December 6, 2026 9:15:02 PM";
        QTest::newRow("de_DE") << QLocale(QLocale::German, QLocale::Germany) << "Sonntag, 6. Dezember 2026 21:15:02";
        // Quoted literals stay; only the time-zone field goes.
        QTest::newRow("fr_CA") << QLocale(QLocale::French, QLocale::Canada)
                               << "dimanche 6 décembre 2026 21 h 15 min 02 s";
    }

    void stamp()
    {
        QFETCH(QLocale, locale);
        const QDateTime now(QDate(2026, 12, 6), QTime(21, 15, 2));
        QTEST(stampText(now, locale), "expected");
    }
};

QTEST_MAIN(TestPdfLayout)
#include "tst_pdflayout.moc"
