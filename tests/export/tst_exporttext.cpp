#include "export/exporttext.h"

#include "testenv.h"

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
        { u"/tmp/say \"hi\".txt"_qs, u"aa11"_qs, u"r-1"_qs, u"2026-01-02T03:04:05Z"_qs, u"team,a"_qs,
            u"Registered \"ok\""_qs, QString(), ResultKind::registered },
        { u"/tmp/x.txt"_qs, u"bb22"_qs, QString(), QString(), u"global"_qs, u"Not found — ü\tx"_qs, u"m/1"_qs,
            ResultKind::notFound },
        { u"C:\\dir\\f.bin"_qs, QString(), u"id\"7"_qs, QString(), QString(), u"Error: HTTP 500: "_qs,
            u"line1\nline2"_qs, ResultKind::error },
    };
}

} // namespace

class TestExportText : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void goldenRenderings_data()
    {
        QTest::addColumn<ExportFormat>("format");
        QTest::addColumn<QString>("file");
        QTest::newRow("json") << ExportFormat::json << "rows.json";
        QTest::newRow("csv") << ExportFormat::csv << "rows.csv";
        QTest::newRow("text") << ExportFormat::text << "rows.txt";
    }

    void goldenRenderings()
    {
        QFETCH(ExportFormat, format);
        QFETCH(QString, file);
        const QByteArray expected = readFile(QStringLiteral(NIVET_TEST_DATA "/export/") + file);
        QVERIFY(!expected.isEmpty());
        QCOMPARE(exportText(goldenRows(), format).value_or(QString()).toUtf8(), expected);
        QVERIFY(!exportText({}, format));
    }

    void passFlagByKind()
    {
        using K = ResultKind;
        for (const auto &[kind, kindText, pass] : { std::tuple(K::found, u"found"_qs, true),
                 std::tuple(K::valid, u"valid"_qs, true), std::tuple(K::invalid, u"invalid"_qs, false) }) {
            const QList<FileResult> rows { { u"/f"_qs, u"ab"_qs, u"r"_qs, u"t"_qs, u"s"_qs, u"st"_qs, u"m"_qs, kind } };
            const QJsonObject object
                = QJsonDocument::fromJson(exportText(rows, ExportFormat::json)->toUtf8()).array().first().toObject();
            QCOMPARE(object.value(u"pass"_qs), QJsonValue(pass));
            QCOMPARE(object.value(u"kind"_qs).toString(), kindText);
            QVERIFY(exportText(rows, ExportFormat::csv)->endsWith(u"\"st\","_qs + kindText));
            QVERIFY(exportText(rows, ExportFormat::text)->endsWith(pass ? u"st (PASS)"_qs : u"st (FAIL)"_qs));
        }
    }
};

QTEST_GUILESS_MAIN(TestExportText)
#include "tst_exporttext.moc"
