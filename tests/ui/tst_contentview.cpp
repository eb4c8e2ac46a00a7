#include "ui/contentview.h"
#include "ui/dialogs.h"
#include "ui/elidedlabel.h"
#include "ui/resultstablemodel.h"

#include "core/jsonwriter.h"

#include "../core/fakeservice.h"
#include "scriptedhttpserver.h"
#include "testenv.h"

#include <QAccessible>
#include <QLabel>
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
    QString clipboard;

    QStringList askOpenFiles() override { return nextOpen; }
    std::optional<QString> askSavePath(const QString &, const QString &, const QStringList &) override
    {
        return nextSave;
    }
    void setText(const QString &text) override { clipboard = text; }
};

QString statusLine(ContentView &view)
{
    return view.findChild<QLabel *>(u"statusLine"_qs)->text();
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
        QCOMPARE(statusLine(view), u"Drop files or click Add. Register or Verify uses saved defaults."_qs);
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
        QCOMPARE(statusLine(view), u"3 file(s) ready."_qs);
        view.clear();
        QCOMPARE(view.status(), u"Cleared."_qs);
        // The drag source proposes Move; a drop on the list only ever copies.
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
        QCOMPARE(view.status(), u"1 file(s) ready."_qs);
        QVERIFY(child(view, "registerButton")->isEnabled());
    }

    void registerRunFillsTable()
    {
        ScriptedHttpServer server;
        int calls = 0;
        server.setHandler(ScriptedHttpServer::mcp([&](const QString &, const QJsonObject &args, const HttpRequest &) {
            if (++calls == 2)
                return HttpResponse::text("quota exceeded", 500);
            return ScriptedHttpServer::toolResult(QJsonObject { { u"receipts"_qs,
                QJsonArray { QJsonObject { { u"receipt_id"_qs, u"rcpt-0123456789-abcdef"_qs },
                    { u"hash"_qs, args.value(u"sha256"_qs) }, { u"scope"_qs, args.value(u"scope"_qs) },
                    { u"created_at"_qs, u"2026-12-06T09:00:00.000Z"_qs } } } } });
        }));
        writeFile(m_home->nivet() + u"/client.json"_qs,
            JsonWriter::compact(QJsonObject {
                { u"url"_qs, server.url().toString() }, { u"scope"_qs, u"global"_qs }, { u"output"_qs, u"csv"_qs } }));
        ContentView view;
        view.resize(1000, 600);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        FakeDialogs fake;
        view.setSeams(&fake, &fake, &fake);
        fake.nextOpen
            = { makeFile(u"a.txt"_qs, "alpha"), makeFile(u"b.txt"_qs, "beta"), m_files.filePath(u"missing.txt"_qs) };
        view.addFiles();
        child(view, "registerButton")->click();
        QCOMPARE(view.status(), u"Registering…"_qs);
        QVERIFY(!child(view, "registerButton")->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!view.busy(), 20000);
        QCOMPARE(statusLine(view), u"Done — 1 registered/ok, 2 failed (3 total)."_qs);

        const QString sha = view.results()[0].sha256;
        const QStringList shown { u"Registered"_qs, u"a.txt"_qs, sha.left(12) + u"…"_qs + sha.right(8),
            u"2026-12-06T09:00:00.000Z"_qs, u"rcpt-01234…abcdef"_qs, u"global"_qs };
        for (int c = 0; c < shown.size(); ++c)
            QCOMPARE(cell(view, 0, c).toString(), shown[c]);
        QCOMPARE(shownToolTip(cell(view, 0, 2, Qt::ToolTipRole)), sha);
        QCOMPARE(shownToolTip(cell(view, 1, 0, Qt::ToolTipRole)), u"Error: HTTP 500: quota exceeded"_qs);
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
            QVERIFY2(
                tinted > 20 && gray == 0, qPrintable(u"row %1: %2 tinted, %3 gray"_qs.arg(r).arg(tinted).arg(gray)));
        }
        // A screen reader hears each light's status text.
        QAccessibleInterface *access = QAccessible::queryAccessibleInterface(table);
        QCOMPARE(access->tableInterface()->cellAt(1, ResultsTableModel::StatusColumn)->text(QAccessible::Description),
            u"Error: HTTP 500: quota exceeded"_qs);

        // Copy in the window's output format (csv).
        QCOMPARE(child(view, "copyButton")->text(), u"Copy CSV"_qs);
        child(view, "copyButton")->click();
        QCOMPARE(statusLine(view), u"Copied csv to clipboard."_qs);
        QVERIFY(fake.clipboard.startsWith(u"path,sha256,scope,receipt_id,created_at,merkle,status,kind\n"_qs));
    }

    // Progress counts bytes; the file in hand is named while its requests are
    // out; Stop (or Esc) ends the run after it, with the rows so far.
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
            QCOMPARE(child<QLabel>(view, "progressLabel")->text(), u"1 of 3 · a.txt"_qs);
            // The hasher reports its chunks through the event loop.
            QTRY_COMPARE(child<QProgressBar>(view, "progress")->value(), 167); // 10 of 60 bytes
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

    // Tab leaves the results table; Return on Clear clears, never Register.
    void keyboard()
    {
        auto log = std::make_shared<ServiceLog>();
        ContentView view(nullptr, FakeService::factory(log));
        view.show();
        view.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        view.handleDrop({ makeFile(u"k.txt"_qs, "k") });
        view.startRun(BatchRun::Action::registerFiles);
        QTRY_VERIFY(!view.busy());
        auto *table = child<QTableView>(view, "resultsTable");
        table->setFocus();
        QTest::keyClick(table, Qt::Key_Tab);
        QVERIFY(QApplication::focusWidget() != table);
        child(view, "clearButton")->setFocus();
        QTest::keyClick(child(view, "clearButton"), Qt::Key_Return);
        QCOMPARE(view.status(), u"Cleared."_qs);
        QVERIFY(!view.busy());
    }

    // A long path or status is cut where it shows, whole in its tooltip.
    void elidedLabelKeepsTheWholeText()
    {
        ElidedLabel label(Qt::ElideMiddle);
        label.resize(150, 20);
        label.show();
        label.setText(u"/short"_qs);
        QCOMPARE(label.toolTip(), QString());
        const QString path = u"/home/alice/<b>contracts</b>/2026/december/final/signed-copy.pdf"_qs;
        label.setText(path);
        const QString shown = label.shownLines().constFirst();
        QVERIFY2(
            shown.startsWith(u"/home"_qs) && shown.contains(u"…"_qs) && shown.endsWith(u".pdf"_qs), qPrintable(shown));
        QCOMPARE(shownToolTip(label.toolTip()), path);
        label.resize(2000, 20);
        QCOMPARE(label.toolTip(), QString());

        ElidedLabel status(Qt::ElideRight, 2);
        status.resize(150, 40);
        status.setText(u"one\r\ntwo\nthree "_qs + QString(u"word "_qs).repeated(40));
        const QStringList lines = status.shownLines();
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines[0].startsWith(u"one two three"_qs), qPrintable(lines[0]));
        QVERIFY2(lines[1].endsWith(u"…"_qs), qPrintable(lines[1]));
    }

    // Text from outside (here a row's status) is shown as written, never as markup.
    void outsideTextShowsAsWritten()
    {
        auto log = std::make_shared<ServiceLog>();
        log->status = u"<b>bold</b> <img src=\"x.png\"> <a href=\"https://x\">link</a>"_qs;
        ContentView view(nullptr, FakeService::factory(log));
        view.handleDrop({ makeFile(u"m.txt"_qs, "m") });
        view.startRun(BatchRun::Action::registerFiles);
        QTRY_VERIFY(!view.busy());
        QCOMPARE(shownToolTip(cell(view, 0, ResultsTableModel::StatusColumn, Qt::ToolTipRole)), log->status);
        QCOMPARE(cell(view, 0, ResultsTableModel::StatusColumn, Qt::AccessibleDescriptionRole).toString(), log->status);
    }
};

QTEST_MAIN(TestContentView)
#include "tst_contentview.moc"
