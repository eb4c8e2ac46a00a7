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
#include <QCoro/QCoroSignal>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QTextDocument>
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
        writeFile(m_files.filePath(name), data);
        return m_files.filePath(name);
    }

private Q_SLOTS:
    void init() { m_home = std::make_unique<IsolatedDataHome>(); }
    void cleanup() { m_home.reset(); }

    void addingAndDroppingFiles()
    {
        ContentView view;
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QCOMPARE(statusLine(view), QStringLiteral("Drop files or click Add. Register or Verify uses saved defaults."));
        for (const char *name : { "verifyButton", "registerButton", "exportButton", "copyButton" })
            QVERIFY(!child(view, name)->isEnabled());
        FakeDialogs fake;
        view.setSeams(&fake, &fake, &fake);
        fake.nextOpen = { QStringLiteral("/a"), QStringLiteral("/b") };
        view.addFiles();
        fake.nextOpen = { QStringLiteral("/b"), QStringLiteral("/c") };
        view.addFiles();
        QCOMPARE(view.files(), (QStringList { u"/a"_qs, u"/b"_qs, u"/c"_qs }));
        QCOMPARE(statusLine(view), QStringLiteral("3 file(s) ready."));
        fake.nextOpen = {}; // cancelled
        view.addFiles();
        QCOMPARE(view.files().size(), 3);
        view.clear();
        QCOMPARE(view.status(), QStringLiteral("Cleared."));

        // The drag source proposes Move; a drop on the list only ever copies.
        auto *list = view.findChild<QAbstractItemView *>(QStringLiteral("fileList"));
        QMimeData mime;
        mime.setUrls({ QUrl::fromLocalFile(u"/x/one.txt"_qs) });
        const QPoint at = list->viewport()->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(list->viewport(), &enter);
        QDropEvent drop(at, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::ShiftModifier);
        drop.setDropAction(Qt::MoveAction);
        QCoreApplication::sendEvent(list->viewport(), &drop);
        QVERIFY(drop.isAccepted());
        QCOMPARE(drop.dropAction(), Qt::CopyAction);
        QCOMPARE(view.files(), QStringList { u"/x/one.txt"_qs });
        QCOMPARE(view.status(), QStringLiteral("1 file(s) ready."));
        QVERIFY(child(view, "registerButton")->isEnabled());
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
                    { QStringLiteral("created_at"), QStringLiteral("2026-12-06T09:00:00.000Z") } } } } });
        }));
        writeFile(m_home->nivet() + QStringLiteral("/client.json"),
            JsonWriter::compact(QJsonObject {
                { u"url"_qs, server.url().toString() }, { u"scope"_qs, u"global"_qs }, { u"output"_qs, u"csv"_qs } }));
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
        QCOMPARE(view.status(), QStringLiteral("Registering…"));
        QVERIFY(!child(view, "registerButton")->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!view.busy(), 20000);
        QCOMPARE(statusLine(view), QStringLiteral("Done — 1 registered/ok, 2 failed (3 total)."));

        const QString sha = view.results()[0].sha256;
        const QList<QStringList> shown {
            { u"Registered"_qs, u"a.txt"_qs, sha.left(12) + u"…"_qs + sha.right(8), u"2026-12-06T09:00:00.000Z"_qs,
                u"rcpt-01234…abcdef"_qs, u"global"_qs },
            { u"Error"_qs, u"b.txt"_qs },
            { u"Error"_qs, u"missing.txt"_qs, u"—"_qs, u"—"_qs, u"—"_qs, u"global"_qs },
        };
        for (int r = 0; r < shown.size(); ++r) {
            for (int c = 0; c < shown[r].size(); ++c)
                QCOMPARE(cell(view, r, c).toString(), shown[r][c]);
        }
        QCOMPARE(shownToolTip(cell(view, 0, 2, Qt::ToolTipRole)), sha);
        QCOMPARE(shownToolTip(cell(view, 1, 0, Qt::ToolTipRole)), QStringLiteral("Error: HTTP 500: quota exceeded"));

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

        // Export to a chosen file, then Copy in the window's output format (csv).
        QCOMPARE(child(view, "copyButton")->text(), QStringLiteral("Copy CSV"));
        fake.nextSave = m_files.filePath(QStringLiteral("out.json"));
        view.exportResults(ExportFormat::json);
        QCOMPARE(statusLine(view), QStringLiteral("Exported JSON → out.json"));
        child(view, "copyButton")->click();
        QCOMPARE(statusLine(view), QStringLiteral("Copied csv to clipboard."));
        QVERIFY(fake.clipboard.startsWith(u"path,sha256,scope,receipt_id,created_at,merkle,status,kind\n"_qs));

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
        view.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        view.handleDrop({ makeFile(QStringLiteral("a.txt"), QByteArray(10, 'a')),
            makeFile(QStringLiteral("b.txt"), QByteArray(20, 'b')),
            makeFile(QStringLiteral("c.txt"), QByteArray(30, 'c')) });
        QTest::keyClick(&view, Qt::Key_Return); // starts Register
        QTRY_COMPARE(gate.calls, 1);
        QCOMPARE(child<QLabel>(view, "progressLabel")->text(), QStringLiteral("1 of 3 · a.txt"));
        // The hasher reports its chunks through the event loop.
        QTRY_COMPARE(child<QProgressBar>(view, "progress")->value(), 167); // 10 of 60 bytes
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
        view.startRegister();
        QTRY_VERIFY(!view.busy());
        QCOMPARE(shownToolTip(cell(view, 0, ResultsTableModel::StatusColumn, Qt::ToolTipRole)), gate.status);
        QCOMPARE(cell(view, 0, ResultsTableModel::StatusColumn, Qt::AccessibleDescriptionRole).toString(), gate.status);
    }

    void clearDuringRun()
    {
        Gate gate;
        ContentView view(nullptr, gated(&gate));
        view.handleDrop({ makeFile(QStringLiteral("c1"), "1"), makeFile(QStringLiteral("c2"), "2") });
        view.startVerify();
        view.clear();
        QVERIFY(view.files().isEmpty());
        gate.holding = false;
        gate.open();
        QTRY_VERIFY(!view.busy());
        // The run carried on over the list as it stood.
        QCOMPARE(view.status(), QStringLiteral("Done — 2 found/valid, 0 not found, 0 failed (2 total)."));
        QVERIFY(!child(view, "registerButton")->isEnabled());
    }

    void savedDefaultsReachTheWindowAtOnce()
    {
        ContentView view;
        ConfigStore settings; // as the settings window holds its own store
        settings.setOutput(QStringLiteral("json"));
        settings.save();
        QCOMPARE(child(view, "copyButton")->text(), QStringLiteral("Copy JSON"));
    }
};

QTEST_MAIN(TestContentView)
#include "tst_contentview.moc"
