#include "ui/contentview.h"
#include "ui/dialogs.h"
#include "ui/elidedlabel.h"
#include "ui/resultstablemodel.h"

#include "core/jsonwriter.h"
#include "export/exportformat.h"
#include "storage/configstore.h"

#include "scriptedhttpserver.h"
#include "testenv.h"

#include <QAccessible>
#include <QComboBox>
#include <QCoro/QCoroSignal>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTextDocument>
#include <QtTest>

Q_DECLARE_METATYPE(ExportFormat)

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

template<typename T = QPushButton> T *child(QWidget &view, const char *name)
{
    return view.findChild<T *>(QString::fromLatin1(name));
}

QVariant cell(ContentView &view, int row, int column, int role = Qt::DisplayRole)
{
    const QAbstractItemModel *model = child<QTableView>(view, "resultsTable")->model();
    return model->index(row, column).data(role);
}

// What a tooltip shows: its rich text rendered.
QString shownToolTip(const QVariant &tip)
{
    QTextDocument document;
    document.setHtml(tip.toString());
    return document.toPlainText();
}

// A stamping service in the test process that holds each answer until the
// test opens the gate (as a slow network would), or answers at once.
class Gate : public QObject {
    Q_OBJECT
public:
    bool holding = true;
    int calls = 0;
    QString status = QStringLiteral("Registered");
    void open() { Q_EMIT opened(); }
Q_SIGNALS:
    void opened();
};

class GatedService : public StampingService {
public:
    explicit GatedService(Gate *gate)
        : m_gate(gate)
    {
    }
    QCoro::Task<FileResult> registerFile(QString path, QString sha256, QString scope) override
    {
        ++m_gate->calls;
        if (m_gate->holding) {
            Gate *gate = m_gate;
            auto opened = qCoro(gate, &Gate::opened);
            co_await opened;
        }
        co_return FileResult { path, sha256, QStringLiteral("r-1"), {}, scope, m_gate->status, {},
            ResultKind::registered };
    }
    QCoro::Task<FileResult> verify(QString path, QString sha256, QString scope) override
    {
        return registerFile(path, sha256, scope);
    }

private:
    QPointer<Gate> m_gate;
};

BatchRun::ServiceFactory gated(Gate *gate)
{
    return [gate](const QString &) { return std::make_unique<GatedService>(gate); };
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
            JsonWriter::compact(QJsonObject { { QStringLiteral("url"), url.toString() },
                { QStringLiteral("scope"), QStringLiteral("global") },
                { QStringLiteral("output"), QStringLiteral("csv") } }));
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
        QCOMPARE(child<QTableView>(view, "resultsTable")->model()->rowCount(), 0);
        for (const char *name : { "verifyButton", "registerButton", "exportButton", "copyButton" })
            QVERIFY(!child(view, name)->isEnabled());
        QVERIFY(child(view, "addButton")->isEnabled());
        QCOMPARE(child(view, "copyButton")->text(), QStringLiteral("Copy TEXT"));
        QCOMPARE(child<QLabel>(view, "subtitle")->text(),
            QStringLiteral("Hash locally · MCP register/verify · digests only"));
        QVERIFY(view.minimumSize() == QSize(900, 560));
        QVERIFY(!child<QProgressBar>(view, "progress")->isVisibleTo(&view));
        // A push button with a menu: the style draws the arrow beside "Export…", not on it.
        QStringList entries;
        for (const QAction *action : child(view, "exportButton")->menu()->actions())
            entries.append(action->text());
        QCOMPARE(entries,
            (QStringList {
                QStringLiteral("JSON…"), QStringLiteral("CSV…"), QStringLiteral("Text…"), QStringLiteral("PDF…") }));
    }

    void addingFiles()
    {
        ContentView view;
        FakeDialogs fake;
        view.setSeams(&fake, &fake, &fake);
        fake.nextOpen = { QStringLiteral("/a"), QStringLiteral("/b") };
        view.addFiles();
        QCOMPARE(view.status(), QStringLiteral("2 file(s) ready."));
        fake.nextOpen = { QStringLiteral("/b"), QStringLiteral("/c") };
        view.addFiles();
        QCOMPARE(view.files(), (QStringList { QStringLiteral("/a"), QStringLiteral("/b"), QStringLiteral("/c") }));
        QCOMPARE(view.status(), QStringLiteral("3 file(s) ready."));
        // Only listed files: the status is rewritten with the same total.
        view.clear();
        QCOMPARE(view.status(), QStringLiteral("Cleared."));
        fake.nextOpen = { QStringLiteral("/a") };
        view.addFiles();
        view.handleDrop({}); // nothing new: no change
        fake.nextOpen = { QStringLiteral("/a") };
        view.addFiles();
        QCOMPARE(view.status(), QStringLiteral("1 file(s) ready."));
        // Cancelling changes nothing.
        fake.nextOpen = {};
        view.addFiles();
        QCOMPARE(view.files().size(), 1);
        QVERIFY(child(view, "registerButton")->isEnabled());
        auto *list = child<QListView>(view, "fileList");
        QCOMPARE(list->model()->rowCount(), 1);
        QCOMPARE(list->model()->index(0, 0).data().toString(), QStringLiteral("/a"));
    }

    void droppingFiles()
    {
        ContentView view;
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        auto *list = child<QListView>(view, "fileList");
        const auto drop = [&](const QStringList &paths) {
            QMimeData mime;
            QList<QUrl> urls;
            for (const QString &p : paths)
                urls.append(QUrl::fromLocalFile(p));
            mime.setUrls(urls);
            const QPoint at = list->viewport()->rect().center();
            // The drag source proposes Move; a drop on the list only ever copies.
            const Qt::DropActions possible = Qt::CopyAction | Qt::MoveAction;
            QDragEnterEvent enter(at, possible, &mime, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(list->viewport(), &enter);
            QVERIFY(enter.isAccepted());
            QDropEvent dropEvent(at, possible, &mime, Qt::LeftButton, Qt::ShiftModifier);
            dropEvent.setDropAction(Qt::MoveAction);
            QCoreApplication::sendEvent(list->viewport(), &dropEvent);
            QVERIFY(dropEvent.isAccepted());
            QCOMPARE(dropEvent.dropAction(), Qt::CopyAction);
        };
        drop({ QStringLiteral("/x/one.txt"), QStringLiteral("/x/two.txt") });
        QCOMPARE(view.files(), (QStringList { QStringLiteral("/x/one.txt"), QStringLiteral("/x/two.txt") }));
        QCOMPARE(view.status(), QStringLiteral("2 file(s) ready."));
        QSignalSpy statusChanges(&view, &ContentView::statusChanged);
        drop({ QStringLiteral("/x/one.txt") });
        QCOMPARE(view.files().size(), 2);
        QCOMPARE(statusChanges.size(), 0); // a listed file changes nothing, not even the status
        // The rest of the window accepts no drops.
        QVERIFY(!view.acceptDrops());
    }

    // Big lists stay quick: one insertion for a drop of thousands; long texts
    // are cut to fit, with the whole text in their tooltips.
    void bigListsAndLongTexts()
    {
        ContentView view;
        view.resize(900, 600);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        auto *list = child<QListView>(view, "fileList");
        QSignalSpy inserted(list->model(), &QAbstractItemModel::rowsInserted);
        QStringList paths;
        const QString deep = QStringLiteral("/very/long/folder/name").repeated(20);
        for (int i = 0; i < 10000; ++i)
            paths.append(deep + QStringLiteral("/file-%1.txt").arg(i));
        view.handleDrop(paths);
        QCOMPARE(inserted.size(), 1);
        QCOMPARE(view.status(), QStringLiteral("10000 file(s) ready."));
        QTRY_VERIFY(!list->horizontalScrollBar()->isVisible()
            && list->visualRect(list->model()->index(0, 0)).width() <= list->viewport()->width());
        QCOMPARE(shownToolTip(list->model()->index(9999, 0).data(Qt::ToolTipRole)), paths.last());
    }

    void abridging()
    {
        QCOMPARE(ResultsTableModel::abridgedDigest(QString()), QStringLiteral("—"));
        QCOMPARE(ResultsTableModel::abridgedDigest(QString(21, QLatin1Char('a'))), QString(21, QLatin1Char('a')));
        QCOMPARE(ResultsTableModel::abridgedDigest(QStringLiteral("0123456789abcdefghijkl")),
            QStringLiteral("0123456789ab…efghijkl"));
        QCOMPARE(ResultsTableModel::abridgedReceipt(QString(17, QLatin1Char('r'))), QString(17, QLatin1Char('r')));
        QCOMPARE(ResultsTableModel::abridgedReceipt(QStringLiteral("0123456789abcdefgh")),
            QStringLiteral("0123456789…cdefgh"));
        QCOMPARE(ResultsTableModel::abridgedReceipt(QString()), QStringLiteral("—"));
    }

    void registerRunFillsTable()
    {
        ScriptedHttpServer server;
        int calls = 0;
        server.setHandler(ScriptedHttpServer::mcp([&](const QString &, const QJsonObject &args, const HttpRequest &) {
            if (++calls == 2)
                return HttpResponse::text("quota exceeded", 500);
            return ScriptedHttpServer::toolResult(QJsonObject { { QStringLiteral("receipts"),
                QJsonArray { QJsonObject { { QStringLiteral("receipt_id"), QStringLiteral("rcpt-0123456789-abcdef") },
                    { QStringLiteral("hash"), args.value(QStringLiteral("sha256")) },
                    { QStringLiteral("scope"), args.value(QStringLiteral("scope")) },
                    { QStringLiteral("created_at"), QStringLiteral("2026-12-06T09:00:00.000Z") },
                    { QStringLiteral("merkle"), QStringLiteral("m1") } } } } });
        }));
        pointAt(server.url());
        ContentView view;
        view.resize(1000, 600);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        FakeDialogs fake;
        view.setSeams(&fake, &fake, &fake);
        fake.nextOpen = { makeFile(QStringLiteral("a.txt"), "alpha"), makeFile(QStringLiteral("b.txt"), "beta"),
            m_files.filePath(QStringLiteral("missing.txt")) };
        view.addFiles();
        child(view, "registerButton")->click();
        QVERIFY(view.busy());
        QCOMPARE(view.status(), QStringLiteral("Registering…"));
        QVERIFY(!child(view, "registerButton")->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!view.busy(), 20000);
        QCOMPARE(view.status(), QStringLiteral("Done — 1 registered/ok, 2 failed (3 total)."));

        const QString sha = view.results()[0].sha256;
        const QList<QStringList> shown {
            { QStringLiteral("Registered"), QStringLiteral("a.txt"), sha.left(12) + QStringLiteral("…") + sha.right(8),
                QStringLiteral("2026-12-06T09:00:00.000Z"), QStringLiteral("rcpt-01234…abcdef"),
                QStringLiteral("global") },
            { QStringLiteral("Error"), QStringLiteral("b.txt") },
            { QStringLiteral("Error"), QStringLiteral("missing.txt"), QStringLiteral("—"), QStringLiteral("—"),
                QStringLiteral("—"), QStringLiteral("global") },
        };
        for (int r = 0; r < shown.size(); ++r) {
            for (int c = 0; c < shown[r].size(); ++c)
                QCOMPARE(cell(view, r, c).toString(), shown[r][c]);
        }
        const QList<QStringList> tips {
            { QStringLiteral("Registered"), fake.nextOpen[0], sha, QString(),
                QStringLiteral("rcpt-0123456789-abcdef") },
            { QStringLiteral("Error: HTTP 500: quota exceeded") },
            { view.results()[2].status, fake.nextOpen[2], QStringLiteral("No hash"), QString(),
                QStringLiteral("No receipt") },
        };
        for (int r = 0; r < tips.size(); ++r) {
            for (int c = 0; c < tips[r].size(); ++c)
                QCOMPARE(shownToolTip(cell(view, r, c, Qt::ToolTipRole)), tips[r][c]);
        }

        // The status texts are painted in the kind's colour, not only the light.
        auto *table = child<QTableView>(view, "resultsTable");
        for (int r = 0; r < 2; ++r) {
            const QRect rect = table->visualRect(table->model()->index(r, ResultsTableModel::StatusColumn));
            const QImage label = table->viewport()->grab(rect.adjusted(rect.height() + 12, 0, 0, 0)).toImage();
            // Ink is whatever is not the white cell; the label's must be tinted, not gray.
            int tinted = 0;
            int gray = 0;
            for (int y = 0; y < label.height(); ++y) {
                for (int x = 0; x < label.width(); ++x) {
                    const QColor px = label.pixelColor(x, y);
                    if (px.lightness() > 220)
                        continue;
                    const int lead = r == 0 ? px.green() - std::max(px.red(), px.blue())
                                            : px.red() - std::max(px.green(), px.blue());
                    tinted += lead > 40;
                    gray
                        += std::max({ px.red(), px.green(), px.blue() }) - std::min({ px.red(), px.green(), px.blue() })
                        < 16;
                }
            }
            QVERIFY2(tinted > 20 && gray == 0,
                qPrintable(QStringLiteral("row %1: %2 tinted, %3 gray").arg(r).arg(tinted).arg(gray)));
        }
        // A screen reader hears each light's status text.
        QAccessibleInterface *access = QAccessible::queryAccessibleInterface(table);
        QCOMPARE(access->tableInterface()->cellAt(1, ResultsTableModel::StatusColumn)->text(QAccessible::Description),
            QStringLiteral("Error: HTTP 500: quota exceeded"));

        // A digest opens whole for selecting and copying; nothing is written back.
        const QModelIndex digest = table->model()->index(0, ResultsTableModel::DigestColumn);
        table->edit(digest);
        auto *text = table->findChild<QLineEdit *>(QStringLiteral("cellText"));
        QVERIFY(text && text->isReadOnly());
        QCOMPARE(text->selectedText(), sha);

        // Export to a chosen file, then Copy in the window's output format (csv).
        QVERIFY(child(view, "exportButton")->isEnabled());
        QCOMPARE(child(view, "copyButton")->text(), QStringLiteral("Copy CSV"));
        fake.nextSave = m_files.filePath(QStringLiteral("out.json"));
        view.exportResults(ExportFormat::json);
        QCOMPARE(fake.savedTitle, QStringLiteral("Export JSON"));
        QCOMPARE(view.status(), QStringLiteral("Exported JSON → out.json"));
        QVERIFY(readFile(*fake.nextSave).startsWith("[\n  {\n"));
        fake.nextSave.reset();
        view.exportResults(ExportFormat::csv);
        QCOMPARE(view.status(), QStringLiteral("Exported JSON → out.json")); // cancelled: unchanged
        child(view, "copyButton")->click();
        QCOMPARE(view.status(), QStringLiteral("Copied csv to clipboard."));
        QVERIFY(
            fake.clipboard.startsWith(QStringLiteral("path,sha256,scope,receipt_id,created_at,merkle,status,kind\n")));

        // A status too long for the line is cut, and whole in its tooltip.
        fake.nextSave = m_files.filePath(QStringLiteral("deep").repeated(60) + QStringLiteral("/out.txt"));
        view.exportResults(ExportFormat::text);
        auto *status = child<ElidedLabel>(view, "statusLine");
        QVERIFY(status->isElided());
        QCOMPARE(shownToolTip(status->toolTip()), view.status());
    }

    // Progress counts bytes; the file in hand is named while its requests are
    // out; Stop (or Esc) ends the run after it, with the rows so far.
    void progressAndStop_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("Stop button") << false;
        QTest::newRow("Esc") << true;
    }

    void progressAndStop()
    {
        QFETCH(bool, escape);
        Gate gate;
        ContentView view(nullptr, gated(&gate));
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        view.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        view.handleDrop({ makeFile(QStringLiteral("a.txt"), QByteArray(10, 'a')),
            makeFile(QStringLiteral("b.txt"), QByteArray(20, 'b')),
            makeFile(QStringLiteral("c.txt"), QByteArray(30, 'c')) });
        child(view, "registerButton")->click();
        QTRY_COMPARE(gate.calls, 1);
        QCOMPARE(child<QLabel>(view, "progressLabel")->text(), QStringLiteral("1 of 3 · a.txt"));
        // The hasher reports its chunks through the event loop.
        QTRY_COMPARE(child<QProgressBar>(view, "progress")->value(), 167); // 10 of 60 bytes
        QVERIFY(child(view, "stopButton")->isVisible());
        if (escape)
            QTest::keyClick(&view, Qt::Key_Escape);
        else
            child(view, "stopButton")->click();
        QVERIFY(!child(view, "stopButton")->isEnabled());
        gate.open();
        QTRY_VERIFY(!view.busy());
        QCOMPARE(gate.calls, 1);
        QCOMPARE(view.status(), QStringLiteral("Stopped — 1 registered/ok, 0 failed (1 total)."));
        QCOMPARE(child<QTableView>(view, "resultsTable")->model()->rowCount(), 1);
        QVERIFY(!child(view, "stopButton")->isVisible());
    }

    // Text from outside (here a row's status) is shown as written, never as markup.
    void outsideTextShowsAsWritten()
    {
        Gate gate;
        gate.holding = false;
        gate.status = QStringLiteral("<b>bold</b> <img src=\"x.png\"> <a href=\"https://x\">link</a>");
        ContentView view(nullptr, gated(&gate));
        view.handleDrop({ makeFile(QStringLiteral("m.txt"), "m") });
        view.startRun(BatchRun::Action::registerFiles);
        QTRY_VERIFY(!view.busy());
        QCOMPARE(shownToolTip(cell(view, 0, ResultsTableModel::StatusColumn, Qt::ToolTipRole)), gate.status);
        QCOMPARE(cell(view, 0, ResultsTableModel::StatusColumn, Qt::AccessibleDescriptionRole).toString(), gate.status);
    }

    void saveDialogAddsTheFormatsSuffix_data()
    {
        QTest::addColumn<ExportFormat>("format");
        QTest::addColumn<int>("filter");
        QTest::addColumn<QString>("saved");
        QTest::newRow("pdf") << ExportFormat::pdf << 0 << "report.pdf";
        QTest::newRow("csv as text") << ExportFormat::csv << 1 << "report.txt";
        QTest::newRow("a suffix typed") << ExportFormat::json << 0 << "report.data";
    }

    void saveDialogAddsTheFormatsSuffix()
    {
        QFETCH(ExportFormat, format);
        QFETCH(int, filter);
        QFETCH(QString, saved);
        QTemporaryDir home;
        const QByteArray previousHome = qgetenv("HOME");
        qputenv("HOME", QFile::encodeName(home.path()));
        QtDialogs dialogs(nullptr);
        QTimer::singleShot(0, this, [&] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            auto *types = dialog->findChild<QComboBox *>(QStringLiteral("fileTypeCombo"));
            auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            if (!types || !name)
                return dialog->reject();
            for (int i = 0; i < filter; ++i)
                QTest::keyClick(types, Qt::Key_Down);
            name->clear();
            QTest::keyClicks(name, saved.endsWith(QLatin1String(".data")) ? saved : QStringLiteral("report"));
            QTest::keyClick(name, Qt::Key_Return);
        });
        const std::optional<QString> path = dialogs.askSavePath(ExportFormats::dialogTitle(format),
            ExportFormats::suggestedFileName(format), ExportFormats::fileFilters(format));
        qputenv("HOME", previousHome);
        QCOMPARE(path.value_or(QString()), home.path() + QLatin1Char('/') + saved);
    }

    void clearDuringRun()
    {
        Gate gate;
        ContentView view(nullptr, gated(&gate));
        view.handleDrop({ makeFile(QStringLiteral("c1"), "1"), makeFile(QStringLiteral("c2"), "2") });
        view.startRun(BatchRun::Action::verifyFiles);
        QVERIFY(view.busy());
        view.clear();
        QVERIFY(view.files().isEmpty());
        QVERIFY(view.results().isEmpty());
        QCOMPARE(view.status(), QStringLiteral("Cleared."));
        gate.holding = false;
        gate.open();
        QTRY_VERIFY(!view.busy());
        // The run carried on over the list as it stood.
        QCOMPARE(view.results().size(), 2);
        QCOMPARE(view.status(), QStringLiteral("Done — 2 found/valid, 0 not found, 0 failed (2 total)."));
        QVERIFY(!child(view, "registerButton")->isEnabled());
    }

    void returnStartsRegister()
    {
        Gate gate;
        gate.holding = false;
        ContentView view(nullptr, gated(&gate));
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QTest::keyClick(&view, Qt::Key_Return);
        QCOMPARE(gate.calls, 0); // empty list: disabled
        view.handleDrop({ makeFile(QStringLiteral("r1"), "1") });
        view.activateWindow();
        QTest::keyClick(&view, Qt::Key_Return);
        QTRY_VERIFY(!view.busy());
        QCOMPARE(gate.calls, 1);
        QCOMPARE(view.status(), QStringLiteral("Done — 1 registered/ok, 0 failed (1 total)."));
    }

    void defaultsReachWindowAtOnce()
    {
        ContentView view;
        ConfigStore settings; // as the settings window holds its own store
        settings.setOutput(QStringLiteral("json"));
        settings.save();
        QCOMPARE(view.config()->defaults().output, QStringLiteral("json"));
        QCOMPARE(child(view, "copyButton")->text(), QStringLiteral("Copy JSON"));
    }
};

QTEST_MAIN(TestContentView)
#include "tst_contentview.moc"
