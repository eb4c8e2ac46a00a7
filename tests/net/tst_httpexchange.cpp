#include "net/eventstream.h"
#include "net/httpexchange.h"

#include "scriptedhttpserver.h"
#include "toolcalls.h"

#include <QtTest>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

// "<status> <body>" (a long body by its size), "<status> event <data>", or
// "!" and the failure.
QString outcome(const Expected<HttpExchange::Response> &reply)
{
    if (!reply)
        return u'!' + reply.error().description;
    if (reply->event)
        return u"%1 event %2"_s.arg(reply->status).arg(QString::fromUtf8(reply->event->data));
    if (reply->body.size() > 100)
        return u"%1 %2 bytes"_s.arg(reply->status).arg(reply->body.size());
    return u"%1 %2"_s.arg(reply->status).arg(QString::fromUtf8(reply->body));
}

HttpResponse acting(HttpResponse response, HttpResponse::Action action, int trickleMs = 0)
{
    response.action = action;
    response.trickleMs = trickleMs;
    return response;
}

// A caller that is done with the exchange drops it at once. Its reply must
// not be pulled out from under its own finished() signal (the sanitizer
// build sees it), also from an event stream left open.
QCoro::Task<QString> sendThenDrop(std::unique_ptr<HttpExchange> *http, QUrl url)
{
    const auto isAnswer = [](const ServerSentEvent &event) { return event.data == R"({"id":2})"; };
    auto sending = (*http)->send(QNetworkRequest(url), "POST", "{}", isAnswer);
    const auto reply = co_await sending;
    http->reset();
    co_return outcome(reply);
}

} // namespace

/// The one HTTP exchange of both clients, against servers that misbehave.
class TestHttpExchange : public QObject {
    Q_OBJECT
    ScriptedHttpServer m_elsewhere; // where redirects point: nothing may reach it

private Q_SLOTS:
    void replies_data()
    {
        QTest::addColumn<HttpResponse>("reply");
        QTest::addColumn<QString>("expected");
        using A = HttpResponse::Action;
        const QString closed
            = u"!The connection to 127.0.0.1 closed before a complete reply; the request was not sent again"_s;
        const QString timedOut = u"!The request timed out: no data from 127.0.0.1 for 0.3 seconds"_s;
        const QString tooLarge = u"!The reply from 127.0.0.1 is larger than 16 MiB; it was not read"_s;
        const QByteArray elsewhere = m_elsewhere.url().toEncoded();
        for (int status : { 301, 302, 303, 307, 308 })
            QTest::addRow("redirect %d", status)
                << HttpResponse::text("moved", status).withHeader("Location", elsewhere) << u"%1 moved"_s.arg(status);
        QTest::newRow("dropped after the request") << acting({}, A::Drop) << closed;
        QTest::newRow("not HTTP") << acting(HttpResponse::text("220 mail ready\r\n\r\n", 200), A::NotHttp) << closed;
        QTest::newRow("cut off mid-body") << acting(HttpResponse::text("0123456789", 200), A::DropMidBody) << closed;
        QTest::newRow("no answer") << acting({}, A::Hang) << timedOut;
        // Each byte comes inside the timeout, the whole reply long after it.
        QTest::newRow("trickled") << acting(HttpResponse::text("slow but alive", 200), A::Trickle, 40)
                                  << u"200 slow but alive"_s;
        const QByteArray limit(HttpExchange::kMaxReplyBytes, 'x');
        QTest::newRow("16 MiB") << HttpResponse::text(limit, 200) << u"200 16777216 bytes"_s;
        QTest::newRow("16 MiB and a byte") << HttpResponse::text(limit + 'x', 200) << tooLarge;
        QTest::newRow("16 MiB and a byte, no length")
            << acting(HttpResponse::text(limit + 'x', 200), A::Stream, 1000) << tooLarge;
        const QByteArray events = ": hello\n\nevent: note\ndata: {\"id\":1}\n\ndata: {\"id\":2}\r\n\r\n";
        QTest::newRow("event stream left open") << acting(HttpResponse::text(events, 200, "text/event-stream"),
            A::Stream, 20) << uR"(200 event {"id":2})"_s;
        QTest::newRow("event stream of pings")
            << acting(HttpResponse::text(": hi\n\n", 200, "text/event-stream"), A::Stream, 20) << timedOut;
        QTest::newRow("event stream with an error status")
            << HttpResponse::text("data: {\"id\":2}\n\n", 500, "text/event-stream") << u"500 data: {\"id\":2}\n\n"_s;
    }

    void replies()
    {
        QFETCH(HttpResponse, reply);
        QFETCH(QString, expected);
        ScriptedHttpServer server;
        server.enqueue(reply);
        auto http = std::make_unique<HttpExchange>();
        http->setTransferTimeout(300ms);
        auto task = sendThenDrop(&http, server.url());
        QCOMPARE(QCoro::waitFor(task), expected);
        QCOMPARE(server.requests().size(), 1);
        QCOMPARE(m_elsewhere.requests().size(), 0);
    }

    void oneConnectionEachRequestOnce()
    {
        ScriptedHttpServer server;
        server.setHandler([&server](const HttpRequest &) {
            // The fourth request is taken and the connection dropped: a
            // resend would make the service act on it twice.
            return acting(HttpResponse::text("ok", 200),
                server.requests().size() < 4 ? HttpResponse::Action::Reply : HttpResponse::Action::Drop);
        });
        HttpExchange http;
        QNetworkRequest refused(server.url());
        refused.setRawHeader("X-Test", "a\nX-Evil: 1");
        auto refusing = http.send(refused, "POST", "{}");
        QStringList outcomes { outcome(QCoro::waitFor(refusing)) };
        for (int i = 0; i < 4; ++i) {
            auto task = http.send(QNetworkRequest(server.url()), "POST", "{}");
            outcomes << outcome(QCoro::waitFor(task)).left(5);
        }
        QCOMPARE(outcomes,
            (QStringList { u"!The X-Test header holds a line break; the request was not sent"_s, u"200 o"_s, u"200 o"_s,
                u"200 o"_s, u"!The "_s }));
        QCOMPARE(server.requests().size(), 4);
        QCOMPARE(server.connections(), 1);
    }

    void eventStream()
    {
        const QByteArray stream = "\xEF\xBB\xBF: comment\r\nevent: ping\r\ndata: a\r\n\r\n"
                                  "data: one\ndata:two\nid: 7\n\ndata\r\revent: x\n\ndata: tail";
        const auto render = [](const QList<ServerSentEvent> &list) {
            QStringList out;
            for (const ServerSentEvent &e : list)
                out << e.event + u'|' + QString::fromUtf8(e.data) + u'|' + e.id;
            return out;
        };
        const QStringList expected { u"ping|a|"_s, u"message|one\ntwo|7"_s, u"message||"_s, u"message|tail|"_s };
        // Fed a byte at a time, as a stream arrives (a CRLF split in two).
        EventStreamReader reader;
        QList<ServerSentEvent> fed;
        for (const char c : stream)
            fed += reader.feed(QByteArrayView(&c, 1));
        fed += reader.finish();
        QCOMPARE(render(fed), expected);
        // Keep-alive comments and blank lines are no progress; a field is.
        EventStreamReader pings;
        pings.feed(": ping\n\n: ping\r\n\r\n");
        QVERIFY(!pings.takeActivity());
        pings.feed("da");
        QVERIFY(pings.takeActivity());
        QVERIFY(!pings.takeActivity());
    }

    void quoting_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("shown");
        const QString cut = u"\u2026"_s;
        QTest::newRow("500 characters kept") << QByteArray(500, 'a') << QString(500, u'a');
        QTest::newRow("501 cut") << QByteArray(501, 'a') << QString(499, u'a') + cut;
        QTest::newRow("clusters counted") << QByteArray("e\xcc\x81").repeated(501) << u"e\u0301"_s.repeated(499) + cut;
        QTest::newRow("hidden before the cut")
            << QByteArray(490, 'a') + "tok-1234567890" << QString(490, u'a') + u"[hint]"_s;
        QTest::newRow("cut after hiding")
            << QByteArray(495, 'a') + "tok-1234567890" << QString(495, u'a') + u"[hin"_s + cut;
        QTest::newRow("not UTF-8") << QByteArray("caf\xe9") << QString();
    }

    void quoting()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, shown);
        QCOMPARE(HttpExchange::quoted(HttpExchange::bodyText(body), { { u"tok-1234567890"_s, u"[hint]"_s } }), shown);
    }
};

QTEST_GUILESS_MAIN(TestHttpExchange)
#include "tst_httpexchange.moc"
