#include "ui/defaultsview.h"
#include "ui/mainwindow.h"

#include "auth/authstore.h"

#include "scriptedhttpserver.h"
#include "testenv.h"

#include <QAccessible>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

// The main window's shell and the settings window.
class TestAppShell : public QObject {
    Q_OBJECT
    IsolatedDataHome m_home;

    template<typename T = QPushButton> static T *child(QWidget &view, const char *name)
    {
        return view.findChild<T *>(QString::fromLatin1(name));
    }

private Q_SLOTS:
    void init()
    {
        QFile::remove(m_home.nivet() + u"/auth.properties"_qs);
        QFile::remove(m_home.nivet() + u"/client.json"_qs);
        AuthStore::shared().reloadFromDisk();
    }

    // A screen reader can name every control of both windows.
    void everyControlHasAName()
    {
        MainWindow window;
        window.show();
        window.openSettings();
        const QList<QWidget *> windows { &window, window.settings() };
        for (QWidget *top : windows) {
            for (QWidget *w : top->findChildren<QWidget *>()) {
                const bool control = w->focusPolicy() != Qt::NoFocus || qobject_cast<QProgressBar *>(w);
                if (!control || w->inherits("QScrollBar") || w->parent()->inherits("QAbstractSpinBox"))
                    continue;
                QAccessibleInterface *access = QAccessible::queryAccessibleInterface(w);
                QVERIFY2(access && !access->text(QAccessible::Name).isEmpty(),
                    qPrintable(QString::fromLatin1(w->metaObject()->className()) + QLatin1Char(' ') + w->objectName()));
            }
        }
    }

    void savesWithStatus()
    {
        writeFile(m_home.nivet() + u"/client.json"_qs, R"({"url":"u","scope":"team-x","output":"csv"})");
        DefaultsView view;
        view.show();
        QTest::keyClicks(child<QLineEdit>(view, "username"), u"alice"_qs);
        child<QPlainTextEdit>(view, "accessToken")->setPlainText(u"abc.def.0123456789"_qs);
        child(view, "saveButton")->click();
        QVERIFY(!view.statusIsError());
        QCOMPARE(child<QLabel>(view, "statusLine")->text(), u"Saved. Saved credentials for alice · …23456789"_qs);
        QVERIFY(readFile(m_home.nivet() + u"/client.json"_qs).contains("\"scope\":\"team-x\""));
    }

    void serverWordsShowAsPlainText()
    {
        ScriptedHttpServer server;
        server.enqueue(HttpResponse::text("<b>bad</b> credentials", 401));
        server.enqueue(HttpResponse::json(QJsonObject { { u"token"_qs, u"header.payload.signature-xyz"_qs },
            { u"user"_qs, QJsonObject { { u"username"_qs, u"alice"_qs }, { u"role"_qs, u"admin"_qs } } } }));
        DefaultsView view;
        view.show();
        AuthStore::shared().setProperty("authURL", server.url(QString()).toString());
        AuthStore::shared().setProperty("username", u"alice"_qs);
        AuthStore::shared().setProperty("password", u"pw"_qs);
        child(view, "generateButton")->click();
        QVERIFY(!child(view, "checkButton")->isEnabled());
        QTRY_VERIFY(!view.busy());
        QCOMPARE(view.statusLine(), u"Generate/refresh failed: Login failed HTTP 401: <b>bad</b> credentials"_qs);
        QCOMPARE(child<QLabel>(view, "statusLine")->textFormat(), Qt::PlainText);
        QCOMPARE(child<QLabel>(view, "statusLine")->palette().color(QPalette::WindowText), QColor(Qt::red));
        child(view, "generateButton")->click();
        QTRY_VERIFY(!view.busy());
        QCOMPARE(view.statusLine(), u"Token refreshed for alice (admin)"_qs);
    }

    void typedEditsStayWhileOpen()
    {
        DefaultsView view;
        view.show();
        QTest::keyClicks(child<QLineEdit>(view, "password"), u"typed-not-saved"_qs);
        // Restored or shown again while open: the typing stays.
        view.showMinimized();
        view.showNormal();
        view.show();
        QCOMPARE(child<QLineEdit>(view, "password")->text(), u"typed-not-saved"_qs);
        // Closed and opened again: it starts from the file.
        view.close();
        view.show();
        QCOMPARE(child<QLineEdit>(view, "password")->text(), QString());
    }
};

QTEST_MAIN(TestAppShell)
#include "tst_appshell.moc"
