#include "ui/contentview.h"
#include "ui/dialogs.h"
#include "ui/statuscell.h"

#include "core/jsonwriter.h"
#include "export/exportformat.h"
#include "storage/configstore.h"

#include "scriptedhttpserver.h"
#include "testenv.h"

#include <QLabel>
#include <QListWidget>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QToolButton>
#include <QtTest>

namespace {

struct FakeDialogs : OpenFilesDialog, SaveDialog, ClipboardSink {
    QStringList nextOpen;
    std::optional<QString> nextSave;
    QString savedTitle;
    QString clipboard;
    int clipboardWrites = 0;

    QStringList askOpenFiles() override { return nextOpen; }
    std::optional<QString> askSavePath(const QString &title, const QString &, const QStringList &) override
    {
        savedTitle = title;
        return nextSave;
    }
    void setText(const QString &text) override
    {
        clipboard = text;
        ++clipboardWrites;
    }
};

QString statusLine(ContentView &view)
{
    return view.findChild<QLabel *>(QStringLiteral("statusLine"))->text();
}

} // namespace

class TestContentView : public QObject {
    Q_OBJECT

    std::unique_ptr<IsolatedDataHome> m_home;
    QTemporaryDir m_files;

    QString makeFile(const QString &name, const QByteArray &data)
    {
        const QString path = m_files.filePath(name);
        writeFile(path, data);
        return path;
    }

    void pointAt(const QUrl &url)
    {
        writeFile(m_home->nivet() + QStringLiteral("/client.json"),
                  JsonWriter::compact(QJsonObject{{QStringLiteral("url"), url.toString()},
                                                  {QStringLiteral("scope"), QStringLiteral("global")},
                                                  {QStringLiteral("output"), QStringLiteral("csv")}}));
    }

private Q_SLOTS:
    void init() { m_home = std::make_unique<IsolatedDataHome>(); }
    void cleanup() { m_home.reset(); }

    void startUp()
    {
        ContentView view;
        QCOMPARE(view.status(), QStringLiteral("Drop files or click Add. Register or Verify uses saved defaults."));
        QCOMPARE(statusLine(view), view.status());
        QVERIFY(view.files().isEmpty());
        QCOMPARE(view.findChild<QTableWidget *>(QStringLiteral("resultsTable"))->rowCount(), 0);
        for (const char *name : {"verifyButton", "registerButton", "copyButton"})
            QVERIFY(!view.findChild<QPushButton *>(QString::fromLatin1(name))->isEnabled());
        QVERIFY(!view.findChild<QToolButton *>(QStringLiteral("exportButton"))->isEnabled());
        QVERIFY(view.findChild<QPushButton *>(QStringLiteral("addButton"))->isEnabled());
        QCOMPARE(view.findChild<QPushButton *>(QStringLiteral("copyButton"))->text(), QStringLiteral("Copy TEXT"));
        QCOMPARE(view.findChild<QLabel *>(QStringLiteral("subtitle"))->text(),
                 QStringLiteral("Hash locally · MCP register/verify · digests only"));
        QVERIFY(view.minimumSize() == QSize(900, 560));
        QVERIFY(!view.findChild<QProgressBar *>(QStringLiteral("progress"))->isVisibleTo(&view));
    }

    void addingFiles()
    {
        ContentView view;
        FakeDialogs fake;
        view.setSeams(&fake, &fake, &fake);
        fake.nextOpen = {QStringLiteral("/a"), QStringLiteral("/b")};
        view.addFiles();
        QCOMPARE(view.status(), QStringLiteral("2 file(s) ready."));
        fake.nextOpen = {QStringLiteral("/b"), QStringLiteral("/c")};
        view.addFiles();
        QCOMPARE(view.files(), (QStringList{QStringLiteral("/a"), QStringLiteral("/b"), QStringLiteral("/c")}));
        QCOMPARE(view.status(), QStringLiteral("3 file(s) ready."));
        // Only listed files: the status is rewritten with the same total.
        view.clear();
        QCOMPARE(view.status(), QStringLiteral("Cleared."));
        fake.nextOpen = {QStringLiteral("/a")};
        view.addFiles();
        view.handleDrop({}); // nothing new: no change
        fake.nextOpen = {QStringLiteral("/a")};
        view.addFiles();
        QCOMPARE(view.status(), QStringLiteral("1 file(s) ready."));
        // Cancelling changes nothing.
        fake.nextOpen = {};
        view.addFiles();
        QCOMPARE(view.files().size(), 1);
        QVERIFY(view.findChild<QPushButton *>(QStringLiteral("registerButton"))->isEnabled());
        auto *list = view.findChild<QListWidget *>(QStringLiteral("fileList"));
        QCOMPARE(list->count(), 1);
        QCOMPARE(list->item(0)->text(), QStringLiteral("/a"));
    }

    void droppingFiles()
    {
        ContentView view;
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        auto *list = view.findChild<QListWidget *>(QStringLiteral("fileList"));
        const auto drop = [&](const QStringList &paths) {
            QMimeData mime;
            QList<QUrl> urls;
            for (const QString &p : paths)
                urls.append(QUrl::fromLocalFile(p));
            mime.setUrls(urls);
            const QPoint at = list->viewport()->rect().center();
            QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(list->viewport(), &enter);
            QVERIFY(enter.isAccepted());
            QDropEvent dropEvent(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(list->viewport(), &dropEvent);
        };
        drop({QStringLiteral("/x/one.txt"), QStringLiteral("/x/two.txt")});
        QCOMPARE(view.files(), (QStringList{QStringLiteral("/x/one.txt"), QStringLiteral("/x/two.txt")}));
        QCOMPARE(view.status(), QStringLiteral("2 file(s) ready."));
        view.findChild<QLabel *>(QStringLiteral("statusLine"))->setText(QStringLiteral("marker"));
        const QString before = view.status();
        drop({QStringLiteral("/x/one.txt")});
        QCOMPARE(view.files().size(), 2);
        QCOMPARE(view.status(), before); // a listed file changes nothing, not even the status
        // The rest of the window accepts no drops.
        QVERIFY(!view.acceptDrops());
    }

    void abridging()
    {
        QCOMPARE(ContentView::abridgedDigest(QString()), QStringLiteral("—"));
        QCOMPARE(ContentView::abridgedDigest(QString(21, QLatin1Char('a'))), QString(21, QLatin1Char('a')));
        QCOMPARE(ContentView::abridgedDigest(QStringLiteral("0123456789abcdefghijkl")),
                 QStringLiteral("0123456789ab…efghijkl"));
        QCOMPARE(ContentView::abridgedReceipt(QString(17, QLatin1Char('r'))), QString(17, QLatin1Char('r')));
        QCOMPARE(ContentView::abridgedReceipt(QStringLiteral("0123456789abcdefgh")), QStringLiteral("0123456789…cdefgh"));
        QCOMPARE(ContentView::abridgedReceipt(QString()), QStringLiteral("—"));
    }

    void registerRunFillsTable()
    {
        ScriptedHttpServer server;
        int calls = 0;
        server.setHandler(ScriptedHttpServer::mcp([&](const QString &, const QJsonObject &args, const HttpRequest &) {
            if (++calls == 2)
                return HttpResponse::text("quota exceeded", 500);
            return ScriptedHttpServer::toolResult(QJsonObject{
                {QStringLiteral("receipts"),
                 QJsonArray{QJsonObject{{QStringLiteral("receipt_id"), QStringLiteral("rcpt-0123456789-abcdef")},
                                        {QStringLiteral("hash"), args.value(QStringLiteral("sha256"))},
                                        {QStringLiteral("scope"), args.value(QStringLiteral("scope"))},
                                        {QStringLiteral("created_at"), QStringLiteral("2026-12-06T09:00:00.000Z")},
                                        {QStringLiteral("merkle"), QStringLiteral("m1")}}}}});
        }));
        pointAt(server.url());
        ContentView view;
        FakeDialogs fake;
        view.setSeams(&fake, &fake, &fake);
        fake.nextOpen = {makeFile(QStringLiteral("a.txt"), "alpha"), makeFile(QStringLiteral("b.txt"), "beta"),
                         m_files.filePath(QStringLiteral("missing.txt"))};
        view.addFiles();
        QSignalSpy busy(&view, &ContentView::busyChanged);
        view.findChild<QPushButton *>(QStringLiteral("registerButton"))->click();
        QVERIFY(view.busy());
        QCOMPARE(view.status(), QStringLiteral("Registering…"));
        QVERIFY(!view.findChild<QPushButton *>(QStringLiteral("registerButton"))->isEnabled());
        QVERIFY(view.findChild<QProgressBar *>(QStringLiteral("progress"))->isVisibleTo(&view));
        QTRY_VERIFY_WITH_TIMEOUT(!view.busy(), 20000);
        QCOMPARE(view.status(), QStringLiteral("Done — 1 registered/ok, 2 failed (3 total)."));
        QVERIFY(!view.findChild<QProgressBar *>(QStringLiteral("progress"))->isVisibleTo(&view));

        auto *table = view.findChild<QTableWidget *>(QStringLiteral("resultsTable"));
        QCOMPARE(table->rowCount(), 3);
        auto *ok = qobject_cast<StatusCell *>(table->cellWidget(0, 0));
        QVERIFY(ok);
        QCOMPARE(ok->label(), QStringLiteral("Registered"));
        QVERIFY(ok->icon()->passes());
        QCOMPARE(ok->toolTip(), QStringLiteral("Registered"));
        auto *failed = qobject_cast<StatusCell *>(table->cellWidget(1, 0));
        QCOMPARE(failed->label(), QStringLiteral("Error"));
        QVERIFY(!failed->icon()->passes());
        QCOMPARE(failed->toolTip(), QStringLiteral("Error: HTTP 500: quota exceeded"));
        QCOMPARE(table->item(0, 1)->text(), QStringLiteral("a.txt"));
        QCOMPARE(table->item(0, 1)->toolTip(), fake.nextOpen[0]);
        auto *digest = qobject_cast<QLabel *>(table->cellWidget(0, 2));
        const QString sha = view.results()[0].sha256;
        QCOMPARE(digest->text(), sha.left(12) + QStringLiteral("…") + sha.right(8));
        QCOMPARE(digest->toolTip(), sha);
        QVERIFY(digest->textInteractionFlags() & Qt::TextSelectableByMouse);
        QCOMPARE(table->item(0, 3)->text(), QStringLiteral("2026-12-06T09:00:00.000Z"));
        QCOMPARE(qobject_cast<QLabel *>(table->cellWidget(0, 4))->text(), QStringLiteral("rcpt-01234…abcdef"));
        QCOMPARE(table->item(0, 5)->text(), QStringLiteral("global"));
        // The unreadable file: no hash, no receipt.
        QCOMPARE(qobject_cast<QLabel *>(table->cellWidget(2, 2))->toolTip(), QStringLiteral("No hash"));
        QCOMPARE(qobject_cast<QLabel *>(table->cellWidget(2, 4))->toolTip(), QStringLiteral("No receipt"));
        QCOMPARE(table->item(2, 3)->text(), QStringLiteral("—"));

        // Export to a chosen file, then Copy in the window's output format (csv).
        QVERIFY(view.findChild<QToolButton *>(QStringLiteral("exportButton"))->isEnabled());
        QCOMPARE(view.findChild<QPushButton *>(QStringLiteral("copyButton"))->text(), QStringLiteral("Copy CSV"));
        fake.nextSave = m_files.filePath(QStringLiteral("out.json"));
        view.exportResults(ExportFormat::json);
        QCOMPARE(fake.savedTitle, QStringLiteral("Export JSON"));
        QCOMPARE(view.status(), QStringLiteral("Exported JSON → out.json"));
        QVERIFY(readFile(*fake.nextSave).startsWith("[\n  {\n"));
        fake.nextSave.reset();
        view.exportResults(ExportFormat::csv);
        QCOMPARE(view.status(), QStringLiteral("Exported JSON → out.json")); // cancelled: unchanged
        view.findChild<QPushButton *>(QStringLiteral("copyButton"))->click();
        QCOMPARE(view.status(), QStringLiteral("Copied csv to clipboard."));
        QVERIFY(fake.clipboard.startsWith(QStringLiteral("path,sha256,scope,receipt_id,created_at,merkle,status,kind\n")));
    }

    void clearDuringRun()
    {
        ScriptedHttpServer server;
        server.setHandler(ScriptedHttpServer::mcp([](const QString &, const QJsonObject &, const HttpRequest &) {
            return ScriptedHttpServer::toolResult(QJsonObject{{QStringLiteral("receipts"), QJsonArray{}}});
        }));
        pointAt(server.url());
        ContentView view;
        view.handleDrop({makeFile(QStringLiteral("c1"), "1"), makeFile(QStringLiteral("c2"), "2")});
        view.startVerify();
        QVERIFY(view.busy());
        view.clear();
        QVERIFY(view.files().isEmpty());
        QVERIFY(view.results().isEmpty());
        QCOMPARE(view.status(), QStringLiteral("Cleared."));
        QTRY_VERIFY_WITH_TIMEOUT(!view.busy(), 20000);
        // The run carried on over the list as it stood.
        QCOMPARE(view.results().size(), 2);
        QCOMPARE(view.status(), QStringLiteral("Done — 0 found/valid, 2 not found, 2 failed (2 total)."));
        QVERIFY(!view.findChild<QPushButton *>(QStringLiteral("registerButton"))->isEnabled());
    }

    void returnStartsRegister()
    {
        ScriptedHttpServer server;
        server.setHandler(ScriptedHttpServer::mcp([](const QString &, const QJsonObject &, const HttpRequest &) {
            return ScriptedHttpServer::toolResult(QJsonObject{{QStringLiteral("receipts"), QJsonArray{}}});
        }));
        pointAt(server.url());
        ContentView view;
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QTest::keyClick(&view, Qt::Key_Return);
        QVERIFY(!view.busy()); // empty list: disabled
        view.handleDrop({makeFile(QStringLiteral("r1"), "1")});
        view.activateWindow();
        QTest::keyClick(&view, Qt::Key_Return);
        QVERIFY(view.busy());
        QCOMPARE(view.status(), QStringLiteral("Registering…"));
        QTRY_VERIFY_WITH_TIMEOUT(!view.busy(), 20000);
    }

    void defaultsReachWindowAtOnce()
    {
        ContentView view;
        ConfigStore settings; // as the settings window holds its own store
        settings.setOutput(QStringLiteral("json"));
        settings.save();
        QCOMPARE(view.config()->defaults().output, QStringLiteral("json"));
        QCOMPARE(view.findChild<QPushButton *>(QStringLiteral("copyButton"))->text(), QStringLiteral("Copy JSON"));
    }
};

QTEST_MAIN(TestContentView)
#include "tst_contentview.moc"
