#include "service/sessiontable.h"

#include <QRegularExpression>
#include <QSet>
#include <QtTest>

class TestSessionTable : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void idsAreRandomVisibleAscii()
    {
        SessionTable table(1000, 5000, 5000);
        QSet<QString> ids;
        static const QRegularExpression shape(QStringLiteral("^[A-Za-z0-9_-]{43}$"));
        for (int i = 0; i < 2000; ++i) {
            const QString id = table.open(0, {})->id;
            QVERIFY2(shape.match(id).hasMatch(), qPrintable(id));
            ids.insert(id);
        }
        QCOMPARE(ids.size(), 2000);
    }

    void idleSessionsExpire()
    {
        SessionTable table(1000, 10, 10);
        const QString id = table.open(0, QStringLiteral("alice"))->id;
        QVERIFY(table.use(id, 999)); // used: idle time starts again
        QVERIFY(table.use(id, 1998));
        QCOMPARE(table.use(id, 1998)->username, QStringLiteral("alice"));
        QVERIFY(!table.use(id, 2998)); // idle for exactly the time to live
        QCOMPARE(table.size(), 0);
        QVERIFY(!table.use(QStringLiteral("never-issued"), 0));
    }

    void expireDropsOnlyTheIdle()
    {
        SessionTable table(1000, 10, 10);
        const QString a = table.open(0, {})->id;
        const QString b = table.open(500, {})->id;
        const QString c = table.open(900, {})->id;
        QVERIFY(table.use(a, 950));
        QCOMPARE(table.expire(1600), 1); // only b has been idle for 1000
        QVERIFY(table.use(a, 1600));
        QVERIFY(!table.use(b, 1600));
        QVERIFY(table.use(c, 1600));
        QCOMPARE(table.expire(5000), 2);
        QCOMPARE(table.size(), 0);
    }

    void capsDropOnlyTheOpenersOwn_data()
    {
        QTest::addColumn<int>("capacity");
        QTest::addColumn<int>("perUser");
        QTest::addColumn<QString>("steps"); // a letter opens a session for that user; a digit uses step N's session
        QTest::addColumn<QString>("outcome"); // per step: k kept, x dropped, r refused, - a use
        QTest::newRow("user's share") << 10 << 2 << QStringLiteral("aaab") << QStringLiteral("xkkk");
        QTest::newRow("least recently used") << 10 << 2 << QStringLiteral("aa0a") << QStringLiteral("kx-k");
        QTest::newRow("a flood drops the flooder's")
            << 4 << 2 << QStringLiteral("ab") + QString(20, QLatin1Char('a'))
            << QStringLiteral("xk") + QString(18, QLatin1Char('x')) + QStringLiteral("kk");
        QTest::newRow("full table, own to give") << 3 << 5 << QStringLiteral("abab") << QStringLiteral("kxkk");
        QTest::newRow("full table, none to give") << 3 << 5 << QStringLiteral("aaab") << QStringLiteral("kkkr");
    }

    void capsDropOnlyTheOpenersOwn()
    {
        QFETCH(int, capacity);
        QFETCH(int, perUser);
        QFETCH(QString, steps);
        QFETCH(QString, outcome);
        SessionTable table(60'000, capacity, perUser);
        QStringList ids;
        for (qsizetype i = 0; i < steps.size(); ++i) {
            const McpSession *opened
                = steps[i].isDigit() ? table.use(ids[steps[i].digitValue()], i) : table.open(i, QString(steps[i]));
            ids.append(opened && !steps[i].isDigit() ? opened->id : QString());
        }
        QString actual;
        for (qsizetype i = 0; i < steps.size(); ++i)
            actual += steps[i].isDigit() ? u'-' : ids[i].isEmpty() ? u'r' : table.use(ids[i], 100) ? u'k' : u'x';
        QCOMPARE(actual, outcome);
    }

    void closeEndsOnce()
    {
        SessionTable table(1000, 10, 10);
        const QString id = table.open(0, {})->id;
        QVERIFY(table.close(id));
        QVERIFY(!table.close(id));
        QVERIFY(!table.use(id, 1));
    }
};

QTEST_GUILESS_MAIN(TestSessionTable)
#include "tst_sessiontable.moc"
