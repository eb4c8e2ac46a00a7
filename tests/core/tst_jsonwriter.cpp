#include "core/jsonwriter.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

class TestJsonWriter : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void prettyLayout()
    {
        const QJsonObject record {
            { QStringLiteral("sha256"), QStringLiteral("ab") },
            { QStringLiteral("receipts"),
                QJsonArray { QJsonObject { { QStringLiteral("scope"), QStringLiteral("g") },
                    { QStringLiteral("hash"), QStringLiteral("ab") } } } },
            { QStringLiteral("source_paths"), QJsonArray { QStringLiteral("/tmp/x.txt") } },
            { QStringLiteral("retention_days"), 30 },
            { QStringLiteral("empty"), QJsonArray {} },
        };
        const QByteArray expected = "{\n"
                                    "  \"empty\" : [],\n"
                                    "  \"receipts\" : [\n"
                                    "    {\n"
                                    "      \"hash\" : \"ab\",\n"
                                    "      \"scope\" : \"g\"\n"
                                    "    }\n"
                                    "  ],\n"
                                    "  \"retention_days\" : 30,\n"
                                    "  \"sha256\" : \"ab\",\n"
                                    "  \"source_paths\" : [\n"
                                    "    \"\\/tmp\\/x.txt\"\n"
                                    "  ]\n"
                                    "}";
        QCOMPARE(JsonWriter::pretty(record), expected);
    }

    void compactLayout()
    {
        const QJsonObject o { { QStringLiteral("url"), QStringLiteral("https://h/mcp") },
            { QStringLiteral("scope"), QStringLiteral("global") }, { QStringLiteral("n"), QJsonValue() },
            { QStringLiteral("b"), true }, { QStringLiteral("x"), 1.5 } };
        QCOMPARE(JsonWriter::compact(o),
            QByteArray(R"({"b":true,"n":null,"scope":"global","url":"https:\/\/h\/mcp","x":1.5})"));
    }

    void escapes()
    {
        const QString s = QStringLiteral("q\" b\\ n\n t\t c\x01 é €");
        QCOMPARE(JsonWriter::compact(QJsonArray { s }),
            QByteArray("[\"q\\\" b\\\\ n\\n t\\t c\\u0001 \xc3\xa9 \xe2\x82\xac\"]"));
    }

    void keysSortByCodePoint()
    {
        // U+FF21 sorts before U+1F600 by code point, after it by UTF-16 unit.
        const QString bmp = QString(QChar(0xFF21));
        const QString astral = QString::fromUcs4(U"\U0001F600", 1);
        const QJsonObject o { { astral, 1 }, { bmp, 2 }, { QStringLiteral("a"), 3 } };
        const QByteArray out = JsonWriter::compact(o);
        QVERIFY(out.indexOf("\"a\"") < out.indexOf(bmp.toUtf8()));
        QVERIFY(out.indexOf(bmp.toUtf8()) < out.indexOf(astral.toUtf8()));
    }
};

QTEST_GUILESS_MAIN(TestJsonWriter)
#include "tst_jsonwriter.moc"
