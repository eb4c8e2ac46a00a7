#include "ui/defaultsview.h"

#include "auth/authstore.h"
#include "core/jsonwriter.h"
#include "storage/configstore.h"

#include "scriptedhttpserver.h"
#include "testenv.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

class TestDefaultsView : public QObject {
    Q_OBJECT

    IsolatedDataHome m_home;

    QString authFile() const { return m_home.nivet() + QStringLiteral("/auth.properties"); }

    static QLineEdit *field(DefaultsView &view, const char *name)
    {
        return view.findChild<QLineEdit *>(QString::fromLatin1(name));
    }
    static QPushButton *button(DefaultsView &view, const char *name)
    {
        return view.findChild<QPushButton *>(QString::fromLatin1(name));
    }
    static QLabel *label(DefaultsView &view, const char *name)
    {
        return view.findChild<QLabel *>(QString::fromLatin1(name));
    }

private Q_SLOTS:
    void init()
    {
        QFile::remove(authFile());
        QFile::remove(m_home.nivet() + QStringLiteral("/client.json"));
        AuthStore::shared().reloadFromDisk();
    }

    void layoutAndBinding()
    {
        writeFile(m_home.nivet() + QStringLiteral("/client.json"),
            "{\"url\":\"http://127.0.0.1:1/mcp\",\"scope\":\"team-x\",\"output\":\"csv\"}");
        DefaultsView view;
        view.show();
        QCOMPARE(view.width(), 560);
        QCOMPARE(field(view, "mcpUrl")->text(), QStringLiteral("http://127.0.0.1:1/mcp"));
        // A stored scope outside the options shows no selection and is saved back unchanged.
        auto *scope = view.findChild<QComboBox *>(QStringLiteral("scopePicker"));
        QCOMPARE(scope->currentIndex(), -1);
        QCOMPARE(view.findChild<QComboBox *>(QStringLiteral("outputPicker"))->currentText(), QStringLiteral("csv"));
        QCOMPARE(label(view, "tokenHint")->text(), QStringLiteral("(none)"));
        QCOMPARE(label(view, "expires")->text(), QStringLiteral("—"));
        QCOMPARE(label(view, "sessionSummary")->text(), QStringLiteral("No credentials on disk"));

        field(view, "username")->setText(QString());
        QTest::keyClicks(field(view, "username"), QStringLiteral("alice"));
        QCOMPARE(AuthStore::shared().property("username").toString(), QStringLiteral("alice"));
        view.findChild<QPlainTextEdit *>(QStringLiteral("accessToken"))->setPlainText(QStringLiteral("   "));
        QCOMPARE(label(view, "tokenHint")->text(), QStringLiteral("(empty)"));
        view.findChild<QPlainTextEdit *>(QStringLiteral("accessToken"))
            ->setPlainText(QStringLiteral("abc.def.0123456789"));
        QCOMPARE(label(view, "tokenHint")->text(), QStringLiteral("…23456789"));

        // One label column for both sections; the status line's room is kept
        // from the start, so nothing moves when it first shows.
        QCOMPARE(field(view, "mcpUrl")->mapTo(&view, QPoint()).x(), field(view, "authUrl")->mapTo(&view, QPoint()).x());
        const int height = view.height();
        const QPoint buttons = button(view, "saveButton")->mapTo(&view, QPoint());
        button(view, "saveButton")->click();
        QVERIFY(!view.statusIsError());
        QCOMPARE(view.statusLine(), QStringLiteral("Saved. Saved credentials for alice · …23456789"));
        QCOMPARE(label(view, "statusLine")->text(), view.statusLine());
        QCOMPARE(button(view, "saveButton")->mapTo(&view, QPoint()), buttons);
        QCOMPARE(view.height(), height);
        QCOMPARE(label(view, "storageNote")->text(),
            QStringLiteral("Stored in ") + m_home.nivet()
                + QStringLiteral("/. The command-line tool nivet-timestamp uses the same files."));
        QVERIFY(readFile(m_home.nivet() + QStringLiteral("/client.json")).contains("\"scope\":\"team-x\""));
        QCOMPARE(fileMode(authFile()), 0600);
    }

    void generateTokenWithEmptyPassword()
    {
        DefaultsView view;
        view.show();
        field(view, "username")->setText(QStringLiteral("alice"));
        AuthStore::shared().setProperty("username", QStringLiteral("alice"));
        AuthStore::shared().setProperty("password", QString());
        button(view, "generateButton")->click();
        QTRY_VERIFY(!view.busy());
        QVERIFY(view.statusIsError());
        QCOMPARE(view.statusLine(),
            QStringLiteral("Generate/refresh failed: Username and password are required to generate a token"));
        QVERIFY(button(view, "generateButton")->isEnabled());
        QCOMPARE(label(view, "statusLine")->palette().color(QPalette::WindowText), QColor(Qt::red));
    }

    void generateAndCheckAgainstServer()
    {
        ScriptedHttpServer server;
        server.enqueue(HttpResponse::text("<b>bad</b> credentials", 401));
        server.enqueue(HttpResponse::json(
            QJsonObject { { QStringLiteral("token"), QStringLiteral("header.payload.signature-xyz") },
                { QStringLiteral("user"),
                    QJsonObject { { QStringLiteral("username"), QStringLiteral("alice") },
                        { QStringLiteral("role"), QStringLiteral("admin") } } } }));
        server.enqueue(HttpResponse::json(QJsonObject { { QStringLiteral("username"), QStringLiteral("alice") },
            { QStringLiteral("role"), QStringLiteral("admin") } }));
        DefaultsView view;
        view.show();
        view.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        AuthStore::shared().setProperty("authURL", server.url(QString()).toString());
        AuthStore::shared().setProperty("username", QStringLiteral("alice"));
        AuthStore::shared().setProperty("password", QStringLiteral("pw"));
        // Pressed from the keyboard: focus must not land on a field whose
        // selected text the next keystroke would replace.
        button(view, "generateButton")->setFocus();
        QTest::keyClick(button(view, "generateButton"), Qt::Key_Space);
        QVERIFY(view.busy());
        QVERIFY(!button(view, "checkButton")->isEnabled());
        QVERIFY(QApplication::focusWidget() != field(view, "mcpUrl") && !field(view, "mcpUrl")->hasSelectedText());
        QTRY_VERIFY(!view.busy());
        QCOMPARE(QApplication::focusWidget(), button(view, "generateButton"));
        QCOMPARE(view.statusLine(),
            QStringLiteral("Generate/refresh failed: Login failed HTTP 401: <b>bad</b> credentials"));
        QCOMPARE(label(view, "statusLine")->textFormat(), Qt::PlainText);
        button(view, "generateButton")->click();
        QTRY_VERIFY(!view.busy());
        QCOMPARE(view.statusLine(), QStringLiteral("Token refreshed for alice (admin)"));
        QVERIFY(!view.statusIsError());
        button(view, "checkButton")->click();
        QTRY_VERIFY(!view.busy());
        QCOMPARE(view.statusLine(), QStringLiteral("Session OK · alice (admin)"));
        QVERIFY(label(view, "sessionSummary")->text().startsWith(QStringLiteral("Session OK · alice (admin) · …")));
    }

    void checkSessionWithoutToken()
    {
        DefaultsView view;
        view.show();
        button(view, "checkButton")->click();
        QTRY_VERIFY(!view.busy());
        QVERIFY(view.statusIsError());
        QCOMPARE(view.statusLine(), QStringLiteral("Check session failed: No access token to validate"));
    }

    void reloadOnlyWhenOpened()
    {
        DefaultsView view;
        view.show();
        const int height = view.height();
        field(view, "username")->setText(QStringLiteral("bob"));
        AuthStore::shared().setProperty("username", QStringLiteral("bob"));
        button(view, "saveButton")->click();
        QTest::keyClicks(field(view, "password"), QStringLiteral("typed-not-saved"));
        QCOMPARE(AuthStore::shared().property("password").toString(), QStringLiteral("typed-not-saved"));
        // Restored or shown again while open: the typing stays.
        view.showMinimized();
        view.showNormal();
        view.show();
        QCOMPARE(field(view, "password")->text(), QStringLiteral("typed-not-saved"));
        // Closed and opened again: it starts from the file.
        view.close();
        view.show();
        QCOMPARE(field(view, "password")->text(), QString());
        QCOMPARE(label(view, "sessionSummary")->text(), QStringLiteral("Loaded credentials for bob"));
        QCOMPARE(view.height(), height);
    }

    void tabLeavesTheTokenEditor()
    {
        DefaultsView view;
        view.show();
        view.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        auto *token = view.findChild<QPlainTextEdit *>(QStringLiteral("accessToken"));
        token->setFocus();
        QTest::keyClick(token, Qt::Key_Tab);
        QVERIFY(QApplication::focusWidget() != token);
        token->setFocus();
        QTest::keyClick(token, Qt::Key_Backtab, Qt::ShiftModifier);
        QCOMPARE(QApplication::focusWidget(), field(view, "password"));
        QCOMPARE(token->toPlainText(), QString());
    }

    void saveFailure()
    {
        // A folder where the credentials file should be: the write fails.
        QDir().mkpath(authFile());
        DefaultsView view;
        view.show();
        AuthStore::shared().setProperty("username", QStringLiteral("carol"));
        button(view, "saveButton")->click();
        QVERIFY(view.statusIsError());
        QVERIFY(view.statusLine().startsWith(QStringLiteral("Save failed: ")));
        QDir(authFile()).removeRecursively();
        // The defaults were written anyway.
        QVERIFY(QFile::exists(m_home.nivet() + QStringLiteral("/client.json")));
    }
};

QTEST_MAIN(TestDefaultsView)
#include "tst_defaultsview.moc"
