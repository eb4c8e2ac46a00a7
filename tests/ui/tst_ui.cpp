#include "ui/appcommandline.h"
#include "ui/contentview.h"
#include "ui/defaultsview.h"
#include "ui/dialogs.h"
#include "ui/elidedlabel.h"
#include "ui/mainwindow.h"
#include "ui/resultstablemodel.h"

#include "core/atomicfile.h"
#include "evidence/logkey.h"

#include "../core/fakeservice.h"
#include "scriptedhttpserver.h"
#include "testenv.h"
#include "toolcalls.h"

#include <QAccessible>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QTextDocument>
#include <QtTest>

namespace {

struct FakeDialogs : OpenFilesDialog, SaveDialog, ClipboardSink {
    QStringList nextOpen;
    QString clipboard;

    QStringList askOpenFiles() override { return nextOpen; }
    std::optional<QString> askSavePath(const QString &, const QString &, const QStringList &) override { return {}; }
    void setText(const QString &text) override { clipboard = text; }
};

template<typename T = QPushButton> T *child(QWidget &view, const char *name)
{
    return view.findChild<T *>(QString::fromLatin1(name));
}

QVariant cell(ContentView &view, int row, int column, int role = Qt::DisplayRole)
{
    const QAbstractItemModel *model = child<QTableView>(view, "resultsTable")->model();
    return model->index(row, column).data(role);
}

QString shownToolTip(const QVariant &tip)
{
    QTextDocument document;
    document.setHtml(tip.toString());
    return document.toPlainText();
}

} // namespace

class TestUi : public QObject {
    Q_OBJECT
    IsolatedDataHome m_home;
    QTemporaryDir m_files;

    QString makeFile(const QString &name, const QByteArray &data)
    {
        writeFile(m_files.filePath(name), data);
        return m_files.filePath(name);
    }

    QString authFile() const { return m_home.nivet() + u"/auth.properties"_qs; }
    QString clientJson() const { return m_home.nivet() + u"/client.json"_qs; }

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

    // Relative paths are taken from the current folder; --verify starts at once.
    void commandLineFilesReachTheList()
    {
        const Expected<AppCommandLine> line = AppCommandLine::parse({ u"--verify"_qs, u"a.txt"_qs, u"/x/b.txt"_qs });
        QVERIFY(line);
        MainWindow window(nullptr, FakeService::factory(std::make_shared<ServiceLog>()));
        window.openWith(*line);
        QCOMPARE(
            window.content()->files(), (QStringList { QDir::current().absoluteFilePath(u"a.txt"_qs), u"/x/b.txt"_qs }));
        // Neither file exists, so the run may end before this line: its summary tells it verified.
        QTRY_COMPARE(window.content()->status(), u"Done — 0 found/valid, 0 not found, 2 failed (2 total)."_qs);
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
        QVERIFY(app.exitStatus() == QProcess::NormalExit && app.exitCode() == 0);
        QVERIFY(app.readAllStandardOutput().startsWith("Usage: nivet-timestamping"));
    }

    // Both windows' controls have names a screen reader says; the settings
    // window saves with its status, says what went wrong, and closes on Esc.
    void settingsWindow()
    {
        writeFile(clientJson(), R"({"url":"u","scope":"team-x","output":"csv"})");
        MainWindow window;
        window.show();
        window.openSettings();
        DefaultsView &view = *window.settings();
        open(view);
        for (QWidget *top : QWidgetList { &window, &view }) {
            for (QWidget *w : top->findChildren<QWidget *>()) {
                const bool control = w->focusPolicy() != Qt::NoFocus || qobject_cast<QProgressBar *>(w);
                if (!control || w->inherits("QScrollBar") || w->parent()->inherits("QAbstractSpinBox"))
                    continue;
                QAccessibleInterface *access = QAccessible::queryAccessibleInterface(w);
                QVERIFY2(access && !access->text(QAccessible::Name).isEmpty(),
                    qPrintable(QString::fromLatin1(w->metaObject()->className()) + QLatin1Char(' ') + w->objectName()));
            }
        }
        // One label column for both sections; the status line's room is kept
        // from the start, so nothing moves when it first shows.
        const auto at = [&view](const char *name) { return child<QWidget>(view, name)->mapTo(&view, QPoint()); };
        QCOMPARE(at("mcpUrl").x(), at("authUrl").x());
        const QPoint buttons = at("saveButton");
        const int height = view.height();
        // Saving waits for another process's lock off the window's thread.
        auto lock = std::make_unique<AtomicFile::FolderLock>(m_home.nivet());
        child(view, "saveButton")->click();
        bool ticked = false;
        QTimer::singleShot(0, &view, [&ticked] { ticked = true; });
        QTRY_VERIFY(ticked);
        QVERIFY(view.busy());
        QCOMPARE(view.statusLine(), QString());
        lock.reset();
        QTRY_COMPARE(child<QLabel>(view, "statusLine")->text(), u"Saved. Saved credentials (no token)"_qs);
        QCOMPARE(at("saveButton"), buttons);
        QCOMPARE(view.height(), height);

        const auto saveToken = [&view](const QString &token) {
            child<QPlainTextEdit>(view, "accessToken")->setPlainText(token);
            child(view, "saveButton")->click();
            QTRY_VERIFY(!view.busy());
        };
        QTest::keyClicks(child<QLineEdit>(view, "username"), u"alice"_qs);
        Q_EMIT child<QComboBox>(view, "outputPicker")->activated(1); // "json"
        saveToken(u" abc.def.0123456789\n"_qs);
        QCOMPARE(view.statusLine(), u"Saved. Saved credentials for alice · …23456789"_qs);
        QVERIFY(!view.statusIsError());
        QCOMPARE(child<QLabel>(view, "storageNote")->text(),
            u"Stored in %1/. The command-line tool nivet-timestamp uses the same files."_qs.arg(m_home.nivet()));
        QCOMPARE(readFile(clientJson()), QByteArray(R"({"output":"json","scope":"team-x","url":"u"})"));
        QVERIFY(readFile(authFile()).contains("\naccess_token=abc.def.0123456789\n"));
        // A saved default reaches the main window at once.
        QCOMPARE(child(*window.content(), "copyButton")->text(), u"Copy JSON"_qs);
        // "Saved." only when everything is on disk; otherwise what went wrong.
        const QByteArray saved = readFile(authFile());
        saveToken(u"tok 0123456789"_qs);
        QCOMPARE(view.statusLine(), u"Save failed: The token contains white space or a control character"_qs);
        QVERIFY(view.statusIsError());
        QCOMPARE(readFile(authFile()), saved);
        QVERIFY(QFile::remove(clientJson()) && QDir().mkpath(clientJson()));
        saveToken(u"tok-0123456789"_qs);
        QCOMPARE(
            view.statusLine(), u"Save failed: Cannot replace %1/client.json: Is a directory"_qs.arg(m_home.nivet()));
        QVERIFY(view.statusIsError());
        QVERIFY(readFile(authFile()).contains("\naccess_token=tok-0123456789\n"));

        // Esc closes settings; nor does it outlive the main window as an app of its own.
        view.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        QTest::keyClick(child<QLineEdit>(view, "mcpUrl"), Qt::Key_Escape);
        QVERIFY(!view.isVisible());
        window.openSettings();
        window.close();
        QVERIFY(!view.isVisible());
    }

    // File ▸ Verify Offline fills the table with no request at all. A run
    // renews its token from what is saved, never from what is typed and not
    // saved; the typing stays as it is. Accept New Key pins the key the saved
    // URL's service offers and shows it whole.
    void actsOnlyOnWhatIsSaved()
    {
        const LogKey key = *LogKey::generate();
        ScriptedHttpServer service;
        service.setHandler(
            ScriptedHttpServer::mcp([&key](const QString &tool, const QJsonObject &, const HttpRequest &) {
                return ScriptedHttpServer::toolResult(tool == u"log_key"_qs
                        ? QJsonObject { { u"key_id"_qs, key.keyId() },
                            { u"public_key"_qs, QString::fromLatin1(key.publicKey().pem()) } }
                        : jsonObject(R"({"receipts":[{"receipt_id":"r-1"}]})"));
            }));
        ScriptedHttpServer typedAuth;
        writeFile(
            clientJson(), R"({"url":")" + service.url().toString().toUtf8() + R"(","scope":"g","output":"text"})");
        const QByteArray saved = "access_token=old-token-123456\nexpires_at=2000-01-01T00:00:00Z\n";
        writeFile(authFile(), saved);
        MainWindow window;
        window.content()->handleDrop({ makeFile(u"a.txt"_qs, "alpha") });
        QAction *offline = window.findChild<QAction *>(u"verifyOfflineAction"_qs);
        QVERIFY(window.menuBar()->actions().constFirst()->menu()->actions().contains(offline));
        offline->trigger();
        QTRY_VERIFY(!window.content()->busy());
        QCOMPARE(window.content()->results().constFirst().status,
            u"Not found: no evidence is kept for this file (register it, or nivet-timestamp evidence update)"_qs);
        QVERIFY(service.requests().isEmpty());

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

        auto *shown = child<QLabel>(view, "logKey");
        QCOMPARE(shown->text(), u"None pinned yet: pinned when the service first sends evidence"_qs);
        child(view, "acceptKeyButton")->click();
        QTRY_VERIFY(shown->text().startsWith(key.keyId() + u"\npinned "_qs));
        QCOMPARE(toolCalls(service.requests()).constLast().name, u"log_key"_qs);
    }

    // Words from a server show as plain text; what is typed stays while the
    // window is open, and only then.
    void loginAndTypedEdits()
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
        QTest::keyClicks(child<QLineEdit>(view, "password"), u"-typed"_qs);
        // Restored or shown again while open: the typing stays.
        view.showMinimized();
        view.showNormal();
        view.show();
        QCOMPARE(child<QLineEdit>(view, "password")->text(), u"pw-typed"_qs);
        // Closed and opened again: it starts from the file.
        view.close();
        view.show();
        QTRY_COMPARE(child<QLineEdit>(view, "password")->text(), u"pw"_qs);
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
        QVERIFY(!token->toPlainText().contains(u'\t'));
    }

    // A name typed without an extension gets the chosen format's.
    void saveDialogAddsTheSuffix()
    {
        QTemporaryDir dir;
        QtDialogs dialogs(nullptr);
        QTimer::singleShot(0, [&dir] {
            QWidget *modal = QApplication::activeModalWidget();
            auto *dialog = qobject_cast<QFileDialog *>(modal);
            if (!dialog) // fail below rather than wait for ever
                return void(modal && modal->close());
            Q_EMIT dialog->filterSelected(u"Text files (*.txt)"_qs);
            dialog->selectFile(dir.filePath(u"report"_qs));
            static_cast<QDialog *>(dialog)->accept(); // what the Save button does
        });
        QCOMPARE(dialogs.askSavePath(u"Export"_qs, u"x.csv"_qs, { u"CSV files (*.csv)"_qs, u"Text files (*.txt)"_qs }),
            dir.filePath(u"report.txt"_qs));
    }
    // One window from empty to results: adding and dropping files, a run and
    // its rows as shown, Copy, and the keys on the table.
    void addRunAndReadResults()
    {
        auto log = std::make_shared<ServiceLog>();
        // Text from outside (a row's status) is shown as written, never as markup.
        log->status = u"<b>bold</b> <img src=\"x.png\"> <a href=\"https://x\">link</a>"_qs;
        log->answer = [calls = &log->calls](
                          const Call &) { return calls->size() == 1 ? ResultKind::registered : ResultKind::error; };
        writeFile(clientJson(), R"({"url":"u","scope":"global","output":"csv"})");
        ContentView view(nullptr, FakeService::factory(log));
        view.resize(1000, 600);
        view.show();
        view.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        const auto statusLine = [&view] { return child<QLabel>(view, "statusLine")->text(); };
        QCOMPARE(statusLine(), u"Drop files or click Add. Register or Verify uses saved defaults."_qs);
        for (const char *name : { "verifyButton", "registerButton", "exportButton", "copyButton" })
            QVERIFY(!child(view, name)->isEnabled());
        FakeDialogs fake;
        view.setSeams(&fake, &fake, &fake);
        fake.nextOpen = { u"/<i>a"_qs, u"/b"_qs };
        view.addFiles();
        fake.nextOpen = { u"/b"_qs, u"/c"_qs };
        view.addFiles();
        QCOMPARE(view.files(), (QStringList { u"/<i>a"_qs, u"/b"_qs, u"/c"_qs }));
        // A path too long for the list shows whole in its tooltip, as written.
        auto *list = view.findChild<QAbstractItemView *>(u"fileList"_qs);
        QCOMPARE(shownToolTip(list->model()->index(0, 0).data(Qt::ToolTipRole)), u"/<i>a"_qs);
        QCOMPARE(statusLine(), u"3 file(s) ready."_qs);
        view.clear();
        // The drag source proposes Move; a drop on the list only ever copies.
        const QStringList files { makeFile(u"a.txt"_qs, "alpha"), makeFile(u"b.txt"_qs, "beta"),
            m_files.filePath(u"missing.txt"_qs) };
        QMimeData mime;
        mime.setUrls({ QUrl::fromLocalFile(files[0]), QUrl::fromLocalFile(files[1]), QUrl::fromLocalFile(files[2]) });
        const QPoint at = list->viewport()->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(list->viewport(), &enter);
        QDropEvent drop(at, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::ShiftModifier);
        drop.setDropAction(Qt::MoveAction);
        QCoreApplication::sendEvent(list->viewport(), &drop);
        QVERIFY(drop.isAccepted());
        QCOMPARE(drop.dropAction(), Qt::CopyAction);
        QCOMPARE(view.files(), files);
        QCOMPARE(view.status(), u"3 file(s) ready."_qs);

        child(view, "registerButton")->click();
        QCOMPARE(view.status(), u"Registering…"_qs);
        QVERIFY(!child(view, "registerButton")->isEnabled());
        QTRY_VERIFY(!view.busy());
        QCOMPARE(statusLine(), u"Done — 1 registered/ok, 2 failed (3 total)."_qs);
        const QString sha = view.results()[0].sha256;
        const QStringList shown { u"Registered"_qs, u"a.txt"_qs, sha.left(12) + u"…"_qs + sha.right(8), u"—"_qs,
            u"r-1"_qs, u"global"_qs };
        for (int c = 0; c < shown.size(); ++c)
            QCOMPARE(cell(view, 0, c).toString(), shown[c]);
        QCOMPARE(shownToolTip(cell(view, 0, 2, Qt::ToolTipRole)), sha);
        QCOMPARE(shownToolTip(cell(view, 1, 0, Qt::ToolTipRole)), log->status);
        // A screen reader hears each light's status text.
        QCOMPARE(cell(view, 2, 0, Qt::AccessibleDescriptionRole).toString(),
            u"Error: Cannot open %1: No such file or directory"_qs.arg(files[2]));
        // The status texts are painted in the kind's colour, not only the light:
        // the label's ink (what is not the white cell) is tinted, never gray.
        auto *table = child<QTableView>(view, "resultsTable");
        for (int row = 0; row < 2; ++row) {
            const QRect rect = table->visualRect(table->model()->index(row, ResultsTableModel::StatusColumn));
            const QImage label = table->viewport()->grab(rect.adjusted(rect.height() + 12, 0, 0, 0)).toImage();
            int tinted = 0, gray = 0;
            for (int i = 0; i < label.width() * label.height(); ++i) {
                const QColor px = label.pixelColor(i % label.width(), i / label.width());
                const int r = px.red(), g = px.green(), b = px.blue(), ink = px.lightness() <= 220;
                tinted += ink && (row == 0 ? g - std::max(r, b) : r - std::max(g, b)) > 40;
                gray += ink && std::max({ r, g, b }) - std::min({ r, g, b }) < 16;
            }
            QVERIFY2(
                tinted > 20 && gray == 0, qPrintable(u"row %1: %2 tinted, %3 gray"_qs.arg(row).arg(tinted).arg(gray)));
        }
        QCOMPARE(child(view, "copyButton")->text(), u"Copy CSV"_qs);
        child(view, "copyButton")->click();
        QCOMPARE(statusLine(), u"Copied csv to clipboard."_qs);
        QVERIFY(fake.clipboard.startsWith(u"path,sha256,scope,receipt_id,created_at,merkle,status,kind\n"_qs));

        // F2 opens a cell as text to select and copy, never to change, without a frame inside the cell.
        table->setCurrentIndex(table->model()->index(0, 2));
        QTest::keyClick(table, Qt::Key_F2);
        auto *cellText = child<QLineEdit>(view, "cellText");
        QVERIFY(cellText && cellText->isReadOnly() && !cellText->hasFrame());
        QCOMPARE(cellText->selectedText(), cell(view, 0, 2, Qt::EditRole).toString());
        QTest::keyClick(cellText, Qt::Key_Escape);
        // Tab leaves the results table; Return on Clear clears, never Register.
        table->setFocus();
        QTest::keyClick(table, Qt::Key_Tab);
        QVERIFY(QApplication::focusWidget() != table);
        child(view, "clearButton")->setFocus();
        QTest::keyClick(child(view, "clearButton"), Qt::Key_Return);
        QCOMPARE(view.status(), u"Cleared."_qs);
        QVERIFY(!view.busy());
        // Docs opens one help window however often it is asked; its Close button closes it.
        child(view, "docsButton")->click();
        child(view, "docsButton")->click();
        const auto close = view.findChildren<QPushButton *>(u"docsClose"_qs);
        QVERIFY(close.size() == 1 && close[0]->text() == u"Close"_qs && close[0]->isVisible());
        close[0]->click();
        QTRY_VERIFY(view.findChildren<QPushButton *>(u"docsClose"_qs).isEmpty());
    }

    // Progress counts bytes; the file in hand is named while its requests are
    // out; Stop (or Esc) ends the run once they are answered, with the rows so far.
    void progressAndStop()
    {
        for (const bool escape : { false, true }) {
            auto log = std::make_shared<ServiceLog>();
            log->holding = true;
            ContentView view(nullptr, FakeService::factory(log));
            view.show();
            view.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&view));
            view.handleDrop({ makeFile(u"a.txt"_qs, QByteArray(10, 'a')), makeFile(u"b.txt"_qs, QByteArray(20, 'b')),
                makeFile(u"c.txt"_qs, QByteArray(30, 'c')) });
            QTest::keyClick(&view, Qt::Key_Return); // starts Register
            QTRY_COMPARE(log->calls.size(), 1);
            // The next file is hashed while a's requests are out, and no more.
            QTRY_COMPARE(child<QProgressBar>(view, "progress")->value(), 500); // 30 of 60 bytes
            QCOMPARE(child<QLabel>(view, "progressLabel")->text(), u"1 of 3 · a.txt"_qs);
            if (escape)
                QTest::keyClick(&view, Qt::Key_Escape);
            else
                child(view, "stopButton")->click();
            QVERIFY(!child(view, "stopButton")->isEnabled());
            log->open();
            QTRY_VERIFY(!view.busy());
            QCOMPARE(log->calls.size(), 1);
            QCOMPARE(view.status(), u"Stopped — 1 registered/ok, 0 failed (1 total)."_qs);
            QCOMPARE(child<QTableView>(view, "resultsTable")->model()->rowCount(), 1);
            QVERIFY(!child(view, "stopButton")->isVisible());
        }
    }

    // A long path or status is cut to one line where it shows, whole in its
    // tooltip; a line break from outside shows as one space.
    void elidedLabelKeepsTheWholeText()
    {
        ElidedLabel label(Qt::ElideMiddle);
        label.resize(150, 20);
        label.show();
        const QString path = u"/home/alice/<b>contracts</b>/2026/december/final/signed-copy.pdf"_qs;
        label.setText(path);
        const QStringList shown = label.shownLines();
        QVERIFY2(shown.size() == 1 && shown[0].startsWith(u"/home"_qs) && shown[0].contains(u"…"_qs)
                && shown[0].endsWith(u".pdf"_qs),
            qPrintable(shown.join(u'|')));
        QCOMPARE(shownToolTip(label.toolTip()), path);
        label.resize(2000, 20);
        label.setText(u"a\r\nb"_qs);
        QCOMPARE(label.shownLines(), QStringList { u"a b"_qs });
        QCOMPARE(label.toolTip(), QString());
    }
};

QTEST_MAIN(TestUi)
#include "tst_ui.moc"
