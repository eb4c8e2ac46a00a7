#include "ui/appcommandline.h"
#include "ui/contentview.h"
#include "ui/defaultsview.h"
#include "ui/dialogs.h"
#include "ui/mainwindow.h"

#include "auth/authstore.h"

#include "../core/fakeservice.h"
#include "scriptedhttpserver.h"
#include "testenv.h"

#include <QAccessible>
#include <QFileDialog>
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
        // Settings does not outlive the main window as an app of its own.
        window.close();
        QVERIFY(!window.settings()->isVisible());
    }

    // Relative paths are taken from the current folder; --verify starts at once.
    void commandLineFilesReachTheList()
    {
        const Expected<AppCommandLine> line = AppCommandLine::parse({ u"--verify"_qs, u"a.txt"_qs, u"/x/b.txt"_qs });
        QVERIFY(line);
        MainWindow window(nullptr, FakeService::factory(std::make_shared<ServiceLog>()));
        window.openWith(*line);
        QCOMPARE(
            window.content()->files(), (QStringList { QDir::current().absoluteFilePath(u"a.txt"_qs), u"/x/b.txt"_qs }));
        QCOMPARE(window.content()->status(), u"Verifying…"_qs);
        QTRY_VERIFY(!window.content()->busy());
    }

    void helpNeedsNoDisplay()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &name : { u"DISPLAY"_qs, u"WAYLAND_DISPLAY"_qs, u"QT_QPA_PLATFORM"_qs })
            env.remove(name);
        QProcess app;
        app.setProcessEnvironment(env);
        app.start(QStringLiteral(NIVET_APP_BINARY), { u"--help"_qs });
        QVERIFY(app.waitForFinished(30000));
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), 0);
        QVERIFY(app.readAllStandardOutput().startsWith("Usage: nivet-timestamping"));
    }

    void escapeClosesSettings()
    {
        MainWindow window;
        window.show();
        window.openSettings();
        window.settings()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.settings()));
        QTest::keyClick(child<QLineEdit>(*window.settings(), "mcpUrl"), Qt::Key_Escape);
        QVERIFY(!window.settings()->isVisible());
    }

    void savesWithStatus()
    {
        writeFile(m_home.nivet() + u"/client.json"_qs, R"({"url":"u","scope":"team-x","output":"csv"})");
        DefaultsView view;
        view.show();
        QTest::keyClicks(child<QLineEdit>(view, "username"), u"alice"_qs);
        child<QPlainTextEdit>(view, "accessToken")->setPlainText(u"abc.def.0123456789"_qs);
        // One label column for both sections; the status line's room is kept
        // from the start, so nothing moves when it first shows.
        const auto at = [&view](const char *name) { return child<QWidget>(view, name)->mapTo(&view, QPoint()); };
        QCOMPARE(at("mcpUrl").x(), at("authUrl").x());
        const QPoint buttons = at("saveButton");
        const int height = view.height();
        child(view, "saveButton")->click();
        QVERIFY(!view.statusIsError());
        QCOMPARE(child<QLabel>(view, "statusLine")->text(), u"Saved. Saved credentials for alice · …23456789"_qs);
        QCOMPARE(at("saveButton"), buttons);
        QCOMPARE(view.height(), height);
        QCOMPARE(child<QLabel>(view, "storageNote")->text(),
            u"Stored in %1/. The command-line tool nivet-timestamp uses the same files."_qs.arg(m_home.nivet()));
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
        view.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        AuthStore::shared().setProperty("authURL", server.url(QString()).toString());
        AuthStore::shared().setProperty("username", u"alice"_qs);
        AuthStore::shared().setProperty("password", u"pw"_qs);
        // Pressed from the keyboard, focus stays on the button: not on a
        // field whose selected text the next keystroke would replace.
        child(view, "generateButton")->setFocus();
        QTest::keyClick(child(view, "generateButton"), Qt::Key_Space);
        QVERIFY(!child(view, "checkButton")->isEnabled());
        QTRY_VERIFY(!view.busy());
        QCOMPARE(QApplication::focusWidget(), child(view, "generateButton"));
        QVERIFY(!child<QLineEdit>(view, "mcpUrl")->hasSelectedText());
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
        // Tab and Shift+Tab move on from the token editor instead of typing a tab.
        view.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        auto *token = child<QPlainTextEdit>(view, "accessToken");
        token->setFocus();
        QTest::keyClick(token, Qt::Key_Tab);
        QVERIFY(QApplication::focusWidget() != token);
        token->setFocus();
        QTest::keyClick(token, Qt::Key_Backtab, Qt::ShiftModifier);
        QCOMPARE(QApplication::focusWidget(), child<QLineEdit>(view, "password"));
        QCOMPARE(token->toPlainText(), QString());
    }

    // A name typed without an extension gets the chosen format's.
    void saveDialogAddsTheSuffix()
    {
        QTemporaryDir dir;
        QtDialogs dialogs(nullptr);
        QTimer::singleShot(0, [&dir] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            Q_EMIT dialog->filterSelected(u"Text files (*.txt)"_qs);
            dialog->selectFile(dir.filePath(u"report"_qs));
            static_cast<QDialog *>(dialog)->accept(); // what the Save button does
        });
        QCOMPARE(dialogs.askSavePath(u"Export"_qs, u"x.csv"_qs, { u"CSV files (*.csv)"_qs, u"Text files (*.txt)"_qs }),
            dir.filePath(u"report.txt"_qs));
    }
};

QTEST_MAIN(TestAppShell)
#include "tst_appshell.moc"
