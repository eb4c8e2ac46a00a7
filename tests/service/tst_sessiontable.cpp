#include "service/sessiontable.h"

#include <QRegularExpression>
#include <QSet>
#include <QtTest>

class TestSessionTable : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void idsAreRandomVisibleAscii()
    {
        SessionTable table(1000, 5000);
        QSet<QString> ids;
        static const QRegularExpression shape(QStringLiteral("^[A-Za-z0-9_-]{43}$"));
        for (int i = 0; i < 2000; ++i) {
            const QString id = table.open(0, {}).id;
            QVERIFY2(shape.match(id).hasMatch(), qPrintable(id));
            ids.insert(id);
        }
        QCOMPARE(ids.size(), 2000);
    }

    void idleSessionsExpire()
    {
        SessionTable table(1000, 10);
        const QString id = table.open(0, QStringLiteral("alice")).id;
        QVERIFY(table.use(id, 999)); // used: idle time starts again
        QVERIFY(table.use(id, 1998));
        QCOMPARE(table.use(id, 1998)->username, QStringLiteral("alice"));
        QVERIFY(!table.use(id, 2998)); // idle for exactly the time to live
        QCOMPARE(table.size(), 0);
        QVERIFY(!table.use(QStringLiteral("never-issued"), 0));
    }

    void expireDropsOnlyTheIdle()
    {
        SessionTable table(1000, 10);
        const QString a = table.open(0, {}).id;
        const QString b = table.open(500, {}).id;
        const QString c = table.open(900, {}).id;
        QVERIFY(table.use(a, 950));
        QCOMPARE(table.expire(1600), 1); // only b has been idle for 1000
        QVERIFY(table.use(a, 1600));
        QVERIFY(!table.use(b, 1600));
        QVERIFY(table.use(c, 1600));
        QCOMPARE(table.expire(5000), 2);
        QCOMPARE(table.size(), 0);
    }

    void capacityDropsTheLeastRecentlyUsed()
    {
        SessionTable table(60'000, 3);
        const QString a = table.open(0, {}).id;
        const QString b = table.open(1, {}).id;
        const QString c = table.open(2, {}).id;
        QVERIFY(table.use(a, 3));
        const QString d = table.open(4, {}).id; // b is the one idle longest
        QCOMPARE(table.size(), 3);
        QVERIFY(!table.use(b, 5));
        QVERIFY(table.use(a, 5) && table.use(c, 5) && table.use(d, 5));
        for (int i = 0; i < 100; ++i)
            table.open(10 + i, {});
        QCOMPARE(table.size(), 3);
    }

    void closeEndsOnce()
    {
        SessionTable table(1000, 10);
        const QString id = table.open(0, {}).id;
        QVERIFY(table.close(id));
        QVERIFY(!table.close(id));
        QVERIFY(!table.use(id, 1));
    }
};

QTEST_GUILESS_MAIN(TestSessionTable)
#include "tst_sessiontable.moc"
