#include "ui/contentview.h"

#include "auth/tokensource.h"
#include "core/text.h"
#include "export/exportactions.h"
#include "export/exportformat.h"
#include "mcp/mcpclient.h"
#include "mcp/offlineverifier.h"
#include "storage/configstore.h"
#include "ui/dialogs.h"
#include "ui/docsview.h"
#include "ui/elidedlabel.h"
#include "ui/filedroplist.h"
#include "ui/filelistmodel.h"
#include "ui/helptext.h"
#include "ui/resultsdelegate.h"
#include "ui/resultstablemodel.h"

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

struct ColumnWidths {
    int minimum;
    int ideal;
    int maximum; // 0: no limit
};

constexpr ColumnWidths kColumns[ResultsTableModel::ColumnCount] = {
    { 110, 130, 180 },
    { 100, 160, 0 },
    { 120, 160, 0 },
    { 120, 160, 0 },
    { 100, 140, 0 },
    { 60, 80, 100 },
};

QIcon gearIcon(const QColor &colour)
{
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(32, 32);
    QPainterPath gear;
    for (int i = 0; i < 8; ++i) {
        QPainterPath tooth;
        tooth.addRoundedRect(QRectF(-6, -30, 12, 14), 2, 2);
        gear.addPath(QTransform().rotate(45.0 * i).map(tooth));
    }
    gear.addEllipse(QPointF(0, 0), 21, 21);
    QPainterPath hole;
    hole.addEllipse(QPointF(0, 0), 9, 9);
    p.fillPath(gear.simplified().subtracted(hole), colour);
    return QIcon(pixmap);
}

QString fileCountStatus(qsizetype count)
{
    return QStringLiteral("%1 file(s) ready.").arg(count);
}

} // namespace

ContentView::ContentView(QWidget *parent, BatchRun::ServiceFactory service)
    : QWidget(parent)
    , m_config(new ConfigStore(this))
    , m_run(new BatchRun(
          service ? std::move(service) : [](const QString &url) -> std::unique_ptr<StampingClient> {
              return std::make_unique<MCPClient>(url, std::make_shared<TokenSource>());
          },
          this))
    , m_platform(new QtDialogs(this))
    , m_open(m_platform)
    , m_save(m_platform)
    , m_clipboard(m_platform)
    , m_fileModel(new FileListModel(this))
    , m_resultsModel(new ResultsTableModel(this))
    , m_status(initialStatus())
{
    setObjectName(QStringLiteral("contentView"));
    build();

    connect(m_run, &BatchRun::statusChanged, this, &ContentView::setStatus);
    connect(m_run, &BatchRun::busyChanged, this, &ContentView::setBusy);
    connect(m_run, &BatchRun::resultsChanged, this, [this] { setResults(m_run->results()); });
    connect(m_run, &BatchRun::progress, this, &ContentView::onProgress);
    connect(m_config, &ConfigStore::defaultsChanged, this, &ContentView::refreshCopyLabel);

    setStatus(m_status);
    refreshCopyLabel();
    refreshEnabled();
    // Where Return starts Register, the window's default action.
    m_fileList->setFocus();
}

ContentView::~ContentView()
{
    delete m_platform;
}

QString ContentView::initialStatus()
{
    return QStringLiteral("Drop files or click Add. Register or Verify uses saved defaults.");
}

const QStringList &ContentView::files() const
{
    return m_fileModel->files();
}

const QList<FileResult> &ContentView::results() const
{
    return m_resultsModel->rows();
}

void ContentView::setSeams(OpenFilesDialog *open, SaveDialog *save, ClipboardSink *clipboard)
{
    m_open = open ? open : m_platform;
    m_save = save ? save : m_platform;
    m_clipboard = clipboard ? clipboard : m_platform;
}

// Not auto-default outside a dialog: Return on the button reaches
// keyPressEvent, which presses it, and Register alone looks the default.
QPushButton *ContentView::button(const QString &text, const QString &name, QWidget *parent)
{
    auto *b = new QPushButton(text, parent);
    b->setObjectName(name);
    b->setAutoDefault(false);
    return b;
}

void ContentView::build()
{
    setMinimumSize(900, 560);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(16, 16, 16, 16);
    column->setSpacing(12);
    column->addLayout(buildHeader());
    column->addWidget(buildDocuments());
    auto *resultsBox = new QGroupBox(QStringLiteral("Results"), this);
    auto *resColumn = new QVBoxLayout(resultsBox);
    resColumn->setContentsMargins(4, 4, 4, 4);
    resColumn->setSpacing(8);
    resColumn->addLayout(buildStatusRow(resultsBox));
    resColumn->addWidget(buildTable(resultsBox), 1);
    resColumn->addLayout(buildResultActions(resultsBox));
    column->addWidget(resultsBox, 1);
}

QLayout *ContentView::buildHeader()
{
    auto *title = new QLabel(QStringLiteral("Nivet Timestamping"), this);
    title->setObjectName(QStringLiteral("title"));
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.6);
    titleFont.setWeight(QFont::DemiBold);
    title->setFont(titleFont);
    auto *subtitle = new QLabel(QStringLiteral("Hash locally · MCP register/verify · digests only"), this);
    subtitle->setObjectName(QStringLiteral("subtitle"));
    subtitle->setForegroundRole(QPalette::PlaceholderText);
    auto *titleBlock = new QVBoxLayout;
    titleBlock->setSpacing(2);
    titleBlock->addWidget(title);
    titleBlock->addWidget(subtitle);

    auto *docs = button(QStringLiteral("Docs"), QStringLiteral("docsButton"), this);
    connect(docs, &QPushButton::clicked, this, &ContentView::showDocs);
    auto *defaults = button(QStringLiteral("Defaults"), QStringLiteral("defaultsButton"), this);
    defaults->setIcon(gearIcon(palette().color(QPalette::ButtonText)));
    connect(defaults, &QPushButton::clicked, this, &ContentView::openSettingsRequested);

    auto *header = new QHBoxLayout;
    header->addLayout(titleBlock);
    header->addStretch(1);
    header->addWidget(docs, 0, Qt::AlignVCenter);
    header->addWidget(defaults, 0, Qt::AlignVCenter);
    return header;
}

QWidget *ContentView::buildDocuments()
{
    auto *documents = new QGroupBox(QStringLiteral("Documents"), this);
    auto *docColumn = new QVBoxLayout(documents);
    docColumn->setContentsMargins(4, 4, 4, 4);
    docColumn->setSpacing(8);
    auto *add = button(QStringLiteral("Add files…"), QStringLiteral("addButton"), documents);
    auto *clearButton = button(QStringLiteral("Clear"), QStringLiteral("clearButton"), documents);
    m_verify = button(QStringLiteral("Verify"), QStringLiteral("verifyButton"), documents);
    m_register = new QPushButton(QStringLiteral("Register"), documents);
    m_register->setObjectName(QStringLiteral("registerButton"));
    m_register->setDefault(true);
    connect(add, &QPushButton::clicked, this, &ContentView::addFiles);
    connect(clearButton, &QPushButton::clicked, this, &ContentView::clear);
    connect(m_verify, &QPushButton::clicked, this, [this] { startRun(BatchRun::Action::verifyFiles); });
    connect(m_register, &QPushButton::clicked, this, [this] { startRun(BatchRun::Action::registerFiles); });
    m_offlineAction = new QAction(QStringLiteral("Verify Offline"), this);
    m_offlineAction->setObjectName(QStringLiteral("verifyOfflineAction"));
    connect(m_offlineAction, &QAction::triggered, this, &ContentView::startOfflineRun);
    m_addAction = new QAction(QStringLiteral("Add Files…"), this);
    m_addAction->setObjectName(QStringLiteral("addFilesAction"));
    m_addAction->setShortcut(QKeySequence::Open);
    addAction(m_addAction);
    connect(m_addAction, &QAction::triggered, this, &ContentView::addFiles);
    add->setToolTip(QStringLiteral("Add files (%1)").arg(m_addAction->shortcut().toString(QKeySequence::NativeText)));
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(add);
    buttons->addWidget(clearButton);
    buttons->addStretch(1);
    buttons->addWidget(m_verify);
    buttons->addWidget(m_register);
    docColumn->addLayout(buttons);
    m_fileList = new FileDropList(m_fileModel, this);
    connect(m_fileList, &FileDropList::dropped, this, &ContentView::handleDrop);
    m_fileList->setObjectName(QStringLiteral("fileList"));
    m_fileList->setAccessibleName(QStringLiteral("Files"));
    m_removeAction = new QAction(QStringLiteral("Remove"), m_fileList);
    m_removeAction->setObjectName(QStringLiteral("removeFilesAction"));
    m_removeAction->setShortcut(QKeySequence::Delete);
    m_removeAction->setShortcutContext(Qt::WidgetShortcut);
    m_removeAction->setEnabled(false);
    connect(m_removeAction, &QAction::triggered, this, &ContentView::removeSelectedFiles);
    connect(m_fileList->selectionModel(), &QItemSelectionModel::selectionChanged, this,
        [this] { m_removeAction->setEnabled(m_fileList->selectionModel()->hasSelection()); });
    m_fileList->addActions({ m_addAction, m_removeAction });
    m_fileList->setContextMenuPolicy(Qt::ActionsContextMenu);
    docColumn->addWidget(m_fileList);
    return documents;
}

// While a run is busy, beside the status: bytes hashed so far, the file in
// hand, and Stop. On the status line's own row, so nothing below moves.
QLayout *ContentView::buildStatusRow(QWidget *box)
{
    m_statusLabel = new ElidedLabel(Qt::ElideRight, 1, box);
    m_statusLabel->setObjectName(QStringLiteral("statusLine"));
    m_statusLabel->setForegroundRole(QPalette::PlaceholderText);
    m_progress = new QProgressBar(box);
    m_progress->setObjectName(QStringLiteral("progress"));
    m_progress->setAccessibleName(QStringLiteral("Progress"));
    m_progress->setRange(0, 1000);
    m_progress->setTextVisible(false);
    m_progress->setFixedWidth(240);
    m_progressLabel = new ElidedLabel(Qt::ElideMiddle, 1, box);
    m_progressLabel->setObjectName(QStringLiteral("progressLabel"));
    m_stop = button(QStringLiteral("Stop"), QStringLiteral("stopButton"), box);
    m_stop->setToolTip(QStringLiteral("Stop the run; the rows so far are kept (Esc)"));
    connect(m_stop, &QPushButton::clicked, this, &ContentView::stop);
    m_escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    m_escape->setContext(Qt::WindowShortcut);
    connect(m_escape, &QShortcut::activated, this, &ContentView::stop);
    auto *statusRow = new QHBoxLayout;
    statusRow->addWidget(m_statusLabel, 1);
    statusRow->addWidget(m_progress);
    statusRow->addWidget(m_progressLabel, 2);
    statusRow->addWidget(m_stop);
    for (QWidget *w : std::initializer_list<QWidget *> { m_progress, m_progressLabel, m_stop })
        w->setVisible(false);
    // The row is as high while idle as while busy.
    m_statusLabel->setMinimumHeight(m_stop->sizeHint().height());
    return statusRow;
}

QWidget *ContentView::buildTable(QWidget *box)
{
    m_table = new QTableView(box);
    m_table->setObjectName(QStringLiteral("resultsTable"));
    m_table->setAccessibleName(QStringLiteral("Results"));
    m_table->setModel(m_resultsModel);
    m_table->setItemDelegate(new ResultsDelegate(m_table));
    m_table->setSelectionMode(QAbstractItemView::NoSelection);
    // Tab moves on to Export and Copy; the arrows move between cells.
    m_table->setTabKeyNavigation(false);
    // Double-click (or F2) opens a digest or receipt for selecting and copying.
    m_table->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    m_table->setSortingEnabled(false);
    m_table->setWordWrap(false);
    m_table->setTextElideMode(Qt::ElideRight);
    m_table->verticalHeader()->setVisible(false);
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_table->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 10);
    m_table->setMinimumHeight(160);
    QHeaderView *header = m_table->horizontalHeader();
    header->setMinimumSectionSize(kColumns[ResultsTableModel::ScopeColumn].minimum);
    header->setStretchLastSection(false);
    header->setSectionResizeMode(QHeaderView::Interactive);
    for (int c = 0; c < ResultsTableModel::ColumnCount; ++c)
        m_table->setColumnWidth(c, kColumns[c].ideal);
    // The file name takes the room the other columns leave.
    header->setSectionResizeMode(ResultsTableModel::FileColumn, QHeaderView::Stretch);
    connect(header, &QHeaderView::sectionResized, this, &ContentView::clampColumn);
    return m_table;
}

QLayout *ContentView::buildResultActions(QWidget *box)
{
    // A push button lays its menu arrow out beside the text, clear of "…".
    m_export = button(QStringLiteral("Export…"), QStringLiteral("exportButton"), box);
    auto *menu = new QMenu(m_export);
    menu->setObjectName(QStringLiteral("exportMenu"));
    for (const ExportFormat format : ExportFormats::all())
        menu->addAction(ExportFormats::menuLabel(format), this, [this, format] { exportResults(format); });
    m_export->setMenu(menu);
    m_copy = button(QString(), QStringLiteral("copyButton"), box);
    connect(m_copy, &QPushButton::clicked, this, &ContentView::copyResults);
    auto *actions = new QHBoxLayout;
    actions->addWidget(m_export);
    actions->addWidget(m_copy);
    actions->addStretch(1);
    return actions;
}

void ContentView::clampColumn(int column, int, int newSize)
{
    const ColumnWidths &w = kColumns[column];
    int clamped = std::max(newSize, w.minimum);
    if (w.maximum > 0)
        clamped = std::min(clamped, w.maximum);
    if (clamped != newSize)
        m_table->setColumnWidth(column, clamped);
}

void ContentView::setStatus(const QString &status)
{
    m_status = status;
    m_statusLabel->setText(status);
    Q_EMIT statusChanged(status);
}

void ContentView::setBusy(bool busy)
{
    m_busy = busy;
    m_progress->setValue(0);
    m_progressLabel->setText(QString());
    m_stop->setEnabled(busy);
    m_stop->setText(QStringLiteral("Stop"));
    for (QWidget *w : std::initializer_list<QWidget *> { m_progress, m_progressLabel, m_stop })
        w->setVisible(busy);
    m_escape->setEnabled(busy); // Esc is free for others while idle
    refreshEnabled();
    Q_EMIT busyChanged(busy);
}

void ContentView::stop()
{
    if (!m_busy)
        return;
    m_run->stop();
    m_stop->setEnabled(false);
    m_stop->setText(QStringLiteral("Stopping…"));
}

void ContentView::onProgress(int fileNumber, int count, const QString &path, qint64 done, qint64 total)
{
    if (count <= 0)
        return;
    // Bytes when there are any; files for a run of empty ones.
    const double fraction = total > 0 ? double(done) / double(total) : double(fileNumber - 1) / count;
    m_progress->setValue(int(std::lround(1000.0 * std::clamp(fraction, 0.0, 1.0))));
    m_progressLabel->setText(
        QStringLiteral("%1 of %2 · %3").arg(fileNumber).arg(count).arg(Text::lastPathComponent(path)));
}

void ContentView::refreshEnabled()
{
    const bool canRun = !m_busy && !files().isEmpty();
    m_verify->setEnabled(canRun);
    m_offlineAction->setEnabled(canRun);
    m_register->setEnabled(canRun);
    const bool hasRows = !results().isEmpty();
    m_export->setEnabled(hasRows);
    m_copy->setEnabled(hasRows);
}

void ContentView::refreshCopyLabel()
{
    m_copy->setText(QStringLiteral("Copy ") + m_config->defaults().output.toUpper());
}

void ContentView::addFiles()
{
    const QStringList chosen = m_open->askOpenFiles();
    if (chosen.isEmpty())
        return;
    m_fileModel->appendNew(chosen);
    refreshEnabled();
    // Rewritten even when every chosen file was listed already.
    setStatus(fileCountStatus(files().size()));
}

bool ContentView::handleDrop(const QStringList &paths)
{
    // A drop of listed files only changes nothing, not even the status.
    if (m_fileModel->appendNew(paths) > 0) {
        refreshEnabled();
        setStatus(fileCountStatus(files().size()));
    }
    return true;
}

void ContentView::removeSelectedFiles()
{
    QList<int> rows;
    for (const QModelIndex &index : m_fileList->selectionModel()->selectedRows())
        rows.append(index.row());
    if (rows.isEmpty())
        return;
    m_fileModel->removeFiles(rows);
    refreshEnabled();
    setStatus(fileCountStatus(files().size()));
}

void ContentView::keyPressEvent(QKeyEvent *event)
{
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter) {
        QWidget::keyPressEvent(event);
        return;
    }
    auto *focused = qobject_cast<QAbstractButton *>(QApplication::focusWidget());
    if (focused && isAncestorOf(focused))
        focused->click();
    else if (m_register->isEnabled())
        m_register->click();
}

void ContentView::clear()
{
    m_fileModel->clear();
    setResults({});
    setStatus(QStringLiteral("Cleared."));
}

void ContentView::startRun(BatchRun::Action action)
{
    if (m_busy || files().isEmpty())
        return;
    m_run->run(action, files(), m_config->defaults().url, [config = m_config] { return config->defaults().scope; });
}

void ContentView::startOfflineRun()
{
    if (m_busy || files().isEmpty())
        return;
    const auto cas = OfflineVerifier::configuredCas();
    if (!cas) {
        setStatus(QStringLiteral("Verify Offline failed: ") + cas.error().description);
        return;
    }
    m_run->run(
        BatchRun::Action::verifyFiles, files(), m_config->defaults().url,
        [config = m_config] { return config->defaults().scope; },
        [cas = *cas](const QString &) { return std::make_unique<OfflineVerifier>(cas); });
}

void ContentView::setResults(const QList<FileResult> &rows)
{
    m_resultsModel->setRows(rows);
    refreshEnabled();
    Q_EMIT resultsChanged();
}

void ContentView::exportResults(ExportFormat format)
{
    if (const auto status = ::exportResults(results(), format, *m_save))
        setStatus(*status);
}

void ContentView::copyResults()
{
    if (const auto status = ::copyResults(results(), m_config->defaults().output, *m_clipboard))
        setStatus(*status);
}

void ContentView::showDocs()
{
    if (m_docs)
        return; // already shown: a second request changes nothing
    m_docs = new DocsView(helpText(), window());
    m_docs->setAttribute(Qt::WA_DeleteOnClose);
    m_docs->setWindowModality(Qt::WindowModal);
    m_docs->open();
}
