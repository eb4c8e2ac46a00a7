#include "mcp/mcpclient.h"
#include "net/eventstream.h"

#include <QtTest>

class TestEventStream : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void parsing()
    {
        const QByteArray stream = "\xEF\xBB\xBF: comment\r\n"
                                  "event: ping\r\n"
                                  "data: a\r\n"
                                  "\r\n"
                                  "data: one\n"
                                  "data:two\n"
                                  "id: 7\n"
                                  "\n"
                                  "data\r"
                                  "\r"
                                  "data: tail";
        const auto events = parseEventStream(stream);
        QCOMPARE(events.size(), 4);
        QCOMPARE(events[0].event, QStringLiteral("ping"));
        QCOMPARE(events[1].data, QByteArray("one\ntwo"));
        QCOMPARE(events[1].id, QStringLiteral("7"));
        QCOMPARE(events[2].data, QByteArray());
        QCOMPARE(events[3].data, QByteArray("tail"));
        QVERIFY(parseEventStream("event: x\n\n").isEmpty());

        // Fed a byte at a time, as a stream arrives (a CRLF split in two), it reads the same.
        const auto render = [](const QList<ServerSentEvent> &list) {
            QStringList out;
            for (const ServerSentEvent &e : list)
                out << e.event + QLatin1Char('|') + QString::fromUtf8(e.data) + QLatin1Char('|') + e.id;
            return out;
        };
        EventStreamReader reader;
        QList<ServerSentEvent> fed;
        for (const char c : stream)
            fed += reader.feed(QByteArrayView(&c, 1));
        fed += reader.finish();
        QCOMPARE(render(fed), render(events));

        // Keep-alive comments and blank lines are no progress; a field is.
        EventStreamReader pings;
        pings.feed(": ping\n\n: ping\r\n\r\n");
        QVERIFY(!pings.takeActivity());
        pings.feed("da");
        QVERIFY(pings.takeActivity());
        QVERIFY(!pings.takeActivity());
    }

    void toolReplies_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected"); // "ok:<member>" or the error text
        const QByteArray response = R"({"jsonrpc":"2.0","id":2,"result":{"structuredContent":{"v":1}}})";
        QTest::newRow("one event") << QByteArray("event: message\ndata: " + response + "\n\n") << "ok";
        QTest::newRow("priming event first")
            << QByteArray("id: 0\ndata:\n\nevent: message\ndata: " + response + "\n\n") << "ok";
        QTest::newRow("notification first") << QByteArray(
            R"(data: {"jsonrpc":"2.0","method":"notifications/progress","params":{}})"
            "\n\ndata: "
            + response + "\n\n") << "ok";
        QTest::newRow("other id first") << QByteArray(R"(data: {"jsonrpc":"2.0","id":9,"result":{}})"
                                                      "\n\ndata: "
            + response + "\n\n") << "ok";
        QTest::newRow("split over data lines") << QByteArray(R"(data: {"jsonrpc":"2.0","id":2,)"
                                                             "\n"
                                                             R"(data: "result":{"structuredContent":{"v":1}}})"
                                                             "\n\n")
                                               << "ok";
        QTest::newRow("no response") << QByteArray(R"(data: {"jsonrpc":"2.0","method":"x"})"
                                                   "\n\n")
                                     << "MCP event stream ended without a response";
        QTest::newRow("empty stream") << QByteArray() << "MCP event stream ended without a response";
        QTest::newRow("error in stream") << QByteArray(R"(data: {"jsonrpc":"2.0","id":2,"error":{"code":-32602}})"
                                                       "\n\n")
                                         << R"(["code": -32602])";
    }

    void toolReplies()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        auto result = MCPClient::readToolReply(body, "text/event-stream; charset=utf-8");
        if (expected == QLatin1String("ok")) {
            QVERIFY2(result.ok(), qPrintable(result.ok() ? QString() : result.error().description));
            QCOMPARE(result->value(QStringLiteral("v")).toInt(), 1);
        } else {
            QVERIFY(!result.ok());
            QCOMPARE(result.error().description, expected);
        }
    }
};

QTEST_GUILESS_MAIN(TestEventStream)
#include "tst_eventstream.moc"
