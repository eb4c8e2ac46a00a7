#include "ui/contentview.h"
#include "ui/defaultsview.h"
#include "ui/dialogs.h"
#include "ui/mainwindow.h"

#include "core/atomicfile.h"
#include "core/jsonwriter.h"

#include "scriptedhttpserver.h"
#include "testenv.h"
#include "toolcalls.h"

#include <QAccessible>
#include <QComboBox>
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

    QString authFile() const { return m_home.nivet() + u"/auth.properties"_qs; }
    QString clientJson() const { return m_home.nivet() + u"/client.json"_qs; }

    // The settings window, shown, its form loaded from the file.
    static void open(DefaultsView &view)
    {
        view.show();
        QTRY_VERIFY(!child<QLabel>(view, "sessionSummary")->text().isEmpty());
    }

private Q_SLOTS:
    void init()
    {
        QDir(m_home.nivet()).removeRecursively();
        QDir().mkpath(m_home.nivet());
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

    void savesWithStatus()
    {
        writeFile(clientJson(), R"({"url":"u","scope":"team-x","output":"csv"})");
        MainWindow window;
        window.openSettings();
        DefaultsView &view = *window.settings();
        open(view);
        QTest::keyClicks(child<QLineEdit>(view, "username"), u"alice"_qs);
        child<QPlainTextEdit>(view, "accessToken")->setPlainText(u" abc.def.0123456789\n"_qs);
        Q_EMIT child<QComboBox>(view, "outputPicker")->activated(1); // "json"
        // One label column for both sections; the status line's room is kept
        // from the start, so nothing moves when it first shows.
        const auto at = [&view](const char *name) { return child<QWidget>(view, name)->mapTo(&view, QPoint()); };
        QCOMPARE(at("mcpUrl").x(), at("authUrl").x());
        const QPoint buttons = at("saveButton");
        const int height = view.height();
        child(view, "saveButton")->click();
        QTRY_COMPARE(child<QLabel>(view, "statusLine")->text(), u"Saved. Saved credentials for alice · …23456789"_qs);
        QVERIFY(!view.statusIsError());
        QCOMPARE(at("saveButton"), buttons);
        QCOMPARE(view.height(), height);
        QCOMPARE(child<QLabel>(view, "storageNote")->text(),
            u"Stored in %1/. The command-line tool nivet-timestamp uses the same files."_qs.arg(m_home.nivet()));
        QCOMPARE(readFile(clientJson()), QByteArray(R"({"output":"json","scope":"team-x","url":"u"})"));
        QVERIFY(readFile(authFile()).contains("\naccess_token=abc.def.0123456789\n"));
        // A saved default reaches the main window at once.
        QCOMPARE(child(*window.content(), "copyButton")->text(), u"Copy JSON"_qs);
    }

    // "Saved." only when everything is on disk; otherwise what went wrong.
    void failedSavesSaySo_data()
    {
        QTest::addColumn<bool>("configIsAFolder");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("status");
        QTest::newRow("client.json is a folder")
            << true << u"tok-0123456789"_qs << u"Save failed: Cannot replace %1/client.json: Is a directory"_qs;
        QTest::newRow("token with a blank") << false << u"tok 0123456789"_qs
                                            << u"Save failed: The token contains white space or a control character"_qs;
    }

    void failedSavesSaySo()
    {
        QFETCH(bool, configIsAFolder);
        QFETCH(QString, token);
        QFETCH(QString, status);
        if (configIsAFolder)
            QVERIFY(QDir().mkpath(clientJson()));
        DefaultsView view;
        open(view);
        child<QPlainTextEdit>(view, "accessToken")->setPlainText(token);
        child(view, "saveButton")->click();
        QTRY_VERIFY(!view.busy());
        QCOMPARE(view.statusLine(), status.arg(m_home.nivet()));
        QVERIFY(view.statusIsError());
        QCOMPARE(readFile(authFile()).contains("access_token="), configIsAFolder);
    }

    // Saving waits for another process's lock off the window's thread.
    void staysResponsiveWhileTheFolderIsLocked()
    {
        DefaultsView view;
        open(view);
        auto lock = std::make_unique<AtomicFile::FolderLock>(m_home.nivet());
        child(view, "saveButton")->click();
        bool ticked = false;
        QTimer::singleShot(0, &view, [&ticked] { ticked = true; });
        QTRY_VERIFY(ticked);
        QVERIFY(view.busy());
        QCOMPARE(view.statusLine(), QString());
        lock.reset();
        QTRY_COMPARE(view.statusLine(), u"Saved. Saved credentials (no token)"_qs);
    }

    // A run renews its token from what is saved, never from what is typed
    // and not saved; the typing stays as it is.
    void typedEditsNeverReachARun()
    {
        ScriptedHttpServer service;
        service.setHandler(ScriptedHttpServer::mcp([](const QString &, const QJsonObject &, const HttpRequest &) {
            return ScriptedHttpServer::toolResult(jsonObject(R"({"receipts":[{"receipt_id":"r-1"}]})"));
        }));
        ScriptedHttpServer typedAuth;
        writeFile(clientJson(),
            JsonWriter::compact(QJsonObject {
                { u"url"_qs, service.url().toString() }, { u"scope"_qs, u"g"_qs }, { u"output"_qs, u"text"_qs } }));
        const QByteArray saved = "access_token=old-token-123456\nexpires_at=2000-01-01T00:00:00Z\n";
        writeFile(authFile(), saved);
        QTemporaryDir files;
        writeFile(files.filePath(u"a.txt"_qs), "a");

        MainWindow window;
        window.openSettings();
        DefaultsView &view = *window.settings();
        open(view);
        const QList<std::pair<const char *, QString>> typed { { "authUrl", typedAuth.url(QString()).toString() },
            { "username", u"alice"_qs }, { "password", u"pw"_qs } };
        for (const auto &[name, text] : typed) {
            child<QLineEdit>(view, name)->clear();
            QTest::keyClicks(child<QLineEdit>(view, name), text);
        }
        child<QPlainTextEdit>(view, "accessToken")->setPlainText(u"typed-token"_qs);

        window.content()->handleDrop({ files.filePath(u"a.txt"_qs) });
        window.content()->startRun(BatchRun::Action::registerFiles);
        QTRY_VERIFY(!window.content()->busy());
        QCOMPARE(window.content()->results().value(0).kind, ResultKind::registered);
        QCOMPARE(typedAuth.requests().size(), 0);
        QCOMPARE(service.requests().size(), 3);
        for (const HttpRequest &request : service.requests())
            QCOMPARE(request.header("Authorization"), QByteArray("Bearer old-token-123456"));
        for (const auto &[name, text] : typed)
            QCOMPARE(child<QLineEdit>(view, name)->text(), text);
        QCOMPARE(child<QPlainTextEdit>(view, "accessToken")->toPlainText(), u"typed-token"_qs);
        QCOMPARE(readFile(authFile()), saved);
    }

    void serverWordsShowAsPlainText()
    {
        ScriptedHttpServer server;
        server.enqueue(HttpResponse::text("<b>bad</b> credentials", 401));
        server.enqueue(HttpResponse::json(QJsonObject { { u"token"_qs, u"header.payload.signature-xyz"_qs },
            { u"user"_qs, QJsonObject { { u"username"_qs, u"alice"_qs }, { u"role"_qs, u"admin"_qs } } } }));
        DefaultsView view;
        open(view);
        view.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        child<QLineEdit>(view, "authUrl")->clear();
        QTest::keyClicks(child<QLineEdit>(view, "authUrl"), server.url(QString()).toString());
        QTest::keyClicks(child<QLineEdit>(view, "username"), u"alice"_qs);
        QTest::keyClicks(child<QLineEdit>(view, "password"), u"pw"_qs);
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
        QVERIFY(!QFile::exists(authFile())); // nothing saved by a failed login
        child(view, "generateButton")->click();
        QTRY_VERIFY(!view.busy());
        QCOMPARE(view.statusLine(), u"Token refreshed for alice (admin)"_qs);
        QCOMPARE(child<QLabel>(view, "tokenHint")->text(), u"…ture-xyz"_qs);
        QVERIFY(readFile(authFile()).contains("\npassword=pw\n"));
    }

    void typedEditsStayWhileOpen()
    {
        DefaultsView view;
        open(view);
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
            QWidget *modal = QApplication::activeModalWidget();
            auto *dialog = qobject_cast<QFileDialog *>(modal);
            if (!dialog) { // fail below rather than wait for ever
                if (modal)
                    modal->close();
                return;
            }
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
