#include "ui/appnotifications.h"
#include "ui/contentview.h"
#include "ui/defaultsview.h"
#include "ui/docsview.h"
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
        QFile::remove(m_home.nivet() + QStringLiteral("/auth.properties"));
        QFile::remove(m_home.nivet() + QStringLiteral("/client.json"));
        AuthStore::shared().reloadFromDisk();
    }

    void closingTheMainWindowQuits()
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.openSettings();
        QVERIFY(window.settings()->isVisible());
        window.close();
        // No window is left to keep the app running.
        for (const QWidget *w : QApplication::topLevelWidgets())
            QVERIFY2(!w->isVisible(), qPrintable(w->objectName()));
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

    void docsOnceThroughHelpMenuOrButton()
    {
        MainWindow window;
        window.show();
        ContentView *content = window.content();
        window.findChild<QAction *>(QStringLiteral("helpAction"))->trigger();
        QPointer<DocsView> docs = content->docsView();
        QTRY_VERIFY(docs && docs->isVisible());
        AppNotifications::instance().postShowDocs(); // while open: changes nothing
        QCOMPARE(window.findChildren<DocsView *>().size(), 1);
        child(*docs, "docsClose")->click();
        QTRY_VERIFY(!docs);
        child(*content, "docsButton")->click();
        QTRY_VERIFY(content->docsView() && content->docsView()->isVisible());
    }

    void savesWithStatus()
    {
        writeFile(m_home.nivet() + QStringLiteral("/client.json"), R"({"url":"u","scope":"team-x","output":"csv"})");
        DefaultsView view;
        view.show();
        QTest::keyClicks(child<QLineEdit>(view, "username"), QStringLiteral("alice"));
        child<QPlainTextEdit>(view, "accessToken")->setPlainText(QStringLiteral("abc.def.0123456789"));
        QCOMPARE(child<QLabel>(view, "tokenHint")->text(), QStringLiteral("…23456789"));
        child(view, "saveButton")->click();
        QVERIFY(!view.statusIsError());
        QCOMPARE(child<QLabel>(view, "statusLine")->text(),
            QStringLiteral("Saved. Saved credentials for alice · …23456789"));
        QVERIFY(readFile(m_home.nivet() + QStringLiteral("/client.json")).contains("\"scope\":\"team-x\""));

        // A folder where the credentials file should be: the write fails, the defaults are written anyway.
        QFile::remove(m_home.nivet() + QStringLiteral("/client.json"));
        QFile::remove(m_home.nivet() + QStringLiteral("/auth.properties"));
        QDir().mkpath(m_home.nivet() + QStringLiteral("/auth.properties"));
        child(view, "saveButton")->click();
        QVERIFY(view.statusIsError());
        QVERIFY(view.statusLine().startsWith(QStringLiteral("Save failed: ")));
        QDir(m_home.nivet() + QStringLiteral("/auth.properties")).removeRecursively();
        QVERIFY(QFile::exists(m_home.nivet() + QStringLiteral("/client.json")));
    }

    void serverWordsShowAsPlainText()
    {
        ScriptedHttpServer server;
        server.enqueue(HttpResponse::text("<b>bad</b> credentials", 401));
        server.enqueue(HttpResponse::json(QJsonObject { { u"token"_qs, u"header.payload.signature-xyz"_qs },
            { u"user"_qs, QJsonObject { { u"username"_qs, u"alice"_qs }, { u"role"_qs, u"admin"_qs } } } }));
        server.enqueue(
            HttpResponse::json(QJsonObject { { u"username"_qs, u"alice"_qs }, { u"role"_qs, u"admin"_qs } }));
        DefaultsView view;
        view.show();
        AuthStore::shared().setProperty("authURL", server.url(QString()).toString());
        AuthStore::shared().setProperty("username", QStringLiteral("alice"));
        AuthStore::shared().setProperty("password", QStringLiteral("pw"));
        child(view, "generateButton")->click();
        QVERIFY(!child(view, "checkButton")->isEnabled());
        QTRY_VERIFY(!view.busy());
        QCOMPARE(view.statusLine(),
            QStringLiteral("Generate/refresh failed: Login failed HTTP 401: <b>bad</b> credentials"));
        QCOMPARE(child<QLabel>(view, "statusLine")->textFormat(), Qt::PlainText);
        QCOMPARE(child<QLabel>(view, "statusLine")->palette().color(QPalette::WindowText), QColor(Qt::red));
        child(view, "generateButton")->click();
        QTRY_VERIFY(!view.busy());
        QCOMPARE(view.statusLine(), QStringLiteral("Token refreshed for alice (admin)"));
        child(view, "checkButton")->click();
        QTRY_VERIFY(!view.busy());
        QCOMPARE(view.statusLine(), QStringLiteral("Session OK · alice (admin)"));
    }

    void typedEditsStayWhileOpen()
    {
        DefaultsView view;
        view.show();
        QTest::keyClicks(child<QLineEdit>(view, "password"), QStringLiteral("typed-not-saved"));
        // Restored or shown again while open: the typing stays.
        view.showMinimized();
        view.showNormal();
        view.show();
        QCOMPARE(child<QLineEdit>(view, "password")->text(), QStringLiteral("typed-not-saved"));
        // Closed and opened again: it starts from the file.
        view.close();
        view.show();
        QCOMPARE(child<QLineEdit>(view, "password")->text(), QString());
    }
};

QTEST_MAIN(TestAppShell)
#include "tst_appshell.moc"
