#include "ui/appnotifications.h"
#include "ui/contentview.h"
#include "ui/docsview.h"
#include "ui/helptext.h"
#include "ui/mainwindow.h"

#include "testenv.h"

#include <QAccessible>
#include <QAction>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

class TestAppShell : public QObject {
    Q_OBJECT
    IsolatedDataHome m_home;

private Q_SLOTS:
    void helpTextLines()
    {
        const QStringList lines = helpText().split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 40);
        QCOMPARE(lines.first(), QStringLiteral("Nivet Timestamping (Mac)"));
        QCOMPARE(lines[18], QStringLiteral("  Generate / refresh token (POST auth.nivet.example/auth/login)."));
        QCOMPARE(lines[20],
            QStringLiteral("  On Linux: $XDG_DATA_HOME/Nivet (or ~/.local/share/Nivet); nivet-timestamp "
                           "uses the same files."));
        QCOMPARE(lines[38], QStringLiteral("MCP endpoint (default): https://mcp.nivet.example/mcp"));
        QCOMPARE(lines.last(), QStringLiteral("Auth API (default): https://auth.nivet.example"));
        QVERIFY(!helpText().endsWith(QLatin1Char('\n')));
        QCOMPARE(lines[26], QStringLiteral("• Green checkmark — registered, found, or valid"));
    }

    void menus()
    {
        MainWindow window;
        QCOMPARE(window.windowTitle(), QStringLiteral("Nivet Timestamping"));
        auto *settings = window.findChild<QAction *>(QStringLiteral("settingsAction"));
        QVERIFY(settings);
        QCOMPARE(settings->text(), QStringLiteral("Settings…"));
        QCOMPARE(settings->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Comma));
        QVERIFY(window.findChild<QAction *>(QStringLiteral("quitAction")));

        auto *help = window.findChild<QMenu *>(QStringLiteral("helpMenu"));
        QVERIFY(help);
        const auto actions = help->actions();
        QCOMPARE(actions.size(), 1);
        QCOMPARE(actions.first()->text(), QStringLiteral("Nivet Timestamping Help"));
        QVERIFY(actions.first()->shortcut().isEmpty());
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

    void docsThroughButtonAndHelpMenu()
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        ContentView *content = window.content();

        // Through the Help menu's notification.
        window.findChild<QAction *>(QStringLiteral("helpAction"))->trigger();
        QPointer<DocsView> docs = content->docsView();
        QVERIFY(docs);
        QTRY_VERIFY(docs->isVisible());
        QCOMPARE(docs->size(), QSize(600, 520));
        QCOMPARE(docs->windowModality(), Qt::WindowModal);
        auto *text = docs->findChild<QPlainTextEdit *>(QStringLiteral("docsText"));
        QCOMPARE(text->toPlainText(), helpText());
        QVERIFY(text->isReadOnly());
        QVERIFY(text->textInteractionFlags() & Qt::TextSelectableByMouse);

        // A second request while it is open changes nothing.
        AppNotifications::instance().postShowDocs();
        QCOMPARE(content->docsView(), docs.data());
        QCOMPARE(window.findChildren<DocsView *>().size(), 1);

        docs->findChild<QPushButton *>(QStringLiteral("docsClose"))->click();
        QTRY_VERIFY(!docs);
        QVERIFY(!content->docsView());

        // Through the Docs button, after closing.
        content->findChild<QPushButton *>(QStringLiteral("docsButton"))->click();
        QVERIFY(content->docsView());
        QTRY_VERIFY(content->docsView()->isVisible());
        content->docsView()->close();
    }
};

QTEST_MAIN(TestAppShell)
#include "tst_appshell.moc"
