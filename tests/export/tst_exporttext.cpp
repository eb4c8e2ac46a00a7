#include "export/exportformat.h"
#include "export/exporttext.h"

#include "testenv.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

Q_DECLARE_METATYPE(ExportFormat)
Q_DECLARE_METATYPE(ResultKind)

namespace {

// Three rows that between them hit every escaping and substitution rule:
// quotation marks in quoted and unquoted fields, a comma in the scope, an
// empty Merkle value, solidi, backslashes, a tab, a line feed, non-ASCII.
QList<FileResult> goldenRows()
{
    return {
        { QStringLiteral("/tmp/say \"hi\".txt"), QStringLiteral("aa11"), QStringLiteral("r-1"),
            QStringLiteral("2026-01-02T03:04:05Z"), QStringLiteral("team,a"), QStringLiteral("Registered \"ok\""),
            QString(), ResultKind::registered },
        { QStringLiteral("/tmp/x.txt"), QStringLiteral("bb22"), QString(), QString(), QStringLiteral("global"),
            QStringLiteral("Not found — ü\tx"), QStringLiteral("m/1"), ResultKind::notFound },
        { QStringLiteral("C:\\dir\\f.bin"), QString(), QStringLiteral("id\"7"), QString(), QString(),
            QStringLiteral("Error: HTTP 500: "), QStringLiteral("line1\nline2"), ResultKind::error },
    };
}

QString golden(const char *name)
{
    return QString::fromUtf8(
        readFile(QStringLiteral(NIVET_TEST_DATA) + QStringLiteral("/export/") + QLatin1String(name)));
}

FileResult rowOfKind(ResultKind kind)
{
    return { QStringLiteral("/f"), QStringLiteral("ab"), QStringLiteral("r"), QStringLiteral("t"), QStringLiteral("s"),
        QStringLiteral("st"), QStringLiteral("m"), kind };
}

} // namespace

class TestExportText : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void formatTable_data()
    {
        QTest::addColumn<ExportFormat>("format");
        QTest::addColumn<QString>("raw");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("menu");
        QTest::addColumn<QString>("filter");
        QTest::newRow("json") << ExportFormat::json << "json"
                              << "Export JSON"
                              << "nivet-timestamps.json"
                              << "JSON…"
                              << "JSON files (*.json)";
        QTest::newRow("csv") << ExportFormat::csv << "csv"
                             << "Export CSV"
                             << "nivet-timestamps.csv"
                             << "CSV…"
                             << "CSV files (*.csv);;Text files (*.txt)";
        QTest::newRow("text") << ExportFormat::text << "text"
                              << "Export Text"
                              << "nivet-timestamps.txt"
                              << "Text…"
                              << "Text files (*.txt)";
        QTest::newRow("pdf") << ExportFormat::pdf << "pdf"
                             << "Export PDF"
                             << "nivet-timestamps.pdf"
                             << "PDF…"
                             << "PDF files (*.pdf)";
    }

    void formatTable()
    {
        QFETCH(ExportFormat, format);
        QFETCH(QString, raw);
        QCOMPARE(ExportFormats::rawValue(format), raw);
        QCOMPARE(ExportFormats::fromRawValue(raw), format);
        QTEST(ExportFormats::dialogTitle(format), "title");
        QTEST(ExportFormats::suggestedFileName(format), "fileName");
        QTEST(ExportFormats::menuLabel(format), "menu");
        QTEST(ExportFormats::fileFilters(format).join(QStringLiteral(";;")), "filter");
    }

    void menuOrder()
    {
        const QList<ExportFormat> expected { ExportFormat::json, ExportFormat::csv, ExportFormat::text,
            ExportFormat::pdf };
        QCOMPARE(ExportFormats::all(), expected);
    }

    void noFormatForOtherTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("upper") << "JSON";
        QTest::newRow("empty") << "";
        QTest::newRow("blank") << " csv";
        QTest::newRow("extension") << "txt";
        QTest::newRow("mixed") << "Pdf";
    }

    void noFormatForOtherTexts()
    {
        QFETCH(QString, text);
        QVERIFY(!ExportFormats::fromRawValue(text).has_value());
    }

    void goldenRenderings_data()
    {
        QTest::addColumn<ExportFormat>("format");
        QTest::addColumn<QString>("expected");
        QTest::newRow("json") << ExportFormat::json << golden("rows.json");
        QTest::newRow("csv") << ExportFormat::csv << golden("rows.csv");
        QTest::newRow("text") << ExportFormat::text << golden("rows.txt");
    }

    void goldenRenderings()
    {
        QFETCH(ExportFormat, format);
        QFETCH(QString, expected);
        QVERIFY(!expected.isEmpty());
        const std::optional<QString> text = exportText(goldenRows(), format);
        QVERIFY(text.has_value());
        QCOMPARE(*text, expected);
    }

    void nothingToRender_data()
    {
        QTest::addColumn<ExportFormat>("format");
        QTest::addColumn<int>("rowCount");
        for (const ExportFormat format : ExportFormats::all()) {
            const QByteArray name = ExportFormats::rawValue(format).toLatin1();
            QTest::newRow((name + " no rows").constData()) << format << 0;
        }
        QTest::newRow("pdf with rows") << ExportFormat::pdf << 3;
    }

    void nothingToRender()
    {
        QFETCH(ExportFormat, format);
        QFETCH(int, rowCount);
        QVERIFY(!exportText(goldenRows().mid(0, rowCount), format).has_value());
    }

    void passFlagByKind_data()
    {
        QTest::addColumn<ResultKind>("kind");
        QTest::addColumn<QString>("kindText");
        QTest::addColumn<bool>("pass");
        QTest::newRow("registered") << ResultKind::registered << "registered" << true;
        QTest::newRow("found") << ResultKind::found << "found" << true;
        QTest::newRow("valid") << ResultKind::valid << "valid" << true;
        QTest::newRow("notFound") << ResultKind::notFound << "not_found" << false;
        QTest::newRow("invalid") << ResultKind::invalid << "invalid" << false;
        QTest::newRow("error") << ResultKind::error << "error" << false;
    }

    void passFlagByKind()
    {
        QFETCH(ResultKind, kind);
        QFETCH(QString, kindText);
        QFETCH(bool, pass);
        const QList<FileResult> rows { rowOfKind(kind) };

        const QJsonArray array = QJsonDocument::fromJson(exportText(rows, ExportFormat::json)->toUtf8()).array();
        QCOMPARE(array.size(), 1);
        const QJsonObject object = array.first().toObject();
        QCOMPARE(object.size(), 9);
        QCOMPARE(object.value(QStringLiteral("pass")), QJsonValue(pass));
        QCOMPARE(object.value(QStringLiteral("kind")).toString(), kindText);

        QVERIFY(exportText(rows, ExportFormat::csv)->endsWith(QStringLiteral("\"st\",") + kindText));
        QVERIFY(exportText(rows, ExportFormat::text)
                    ->endsWith(pass ? QStringLiteral("Status: st (PASS)") : QStringLiteral("Status: st (FAIL)")));
    }
};

QTEST_GUILESS_MAIN(TestExportText)
#include "tst_exporttext.moc"
