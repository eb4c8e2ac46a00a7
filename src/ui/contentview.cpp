#include "ui/contentview.h"

#include "core/batchrun.h"
#include "core/text.h"
#include "export/exportactions.h"
#include "export/exportformat.h"
#include "mcp/mcpclient.h"
#include "storage/configstore.h"
#include "ui/appnotifications.h"
#include "ui/dialogs.h"
#include "ui/docsview.h"
#include "ui/helptext.h"
#include "ui/statuscell.h"

#include <QDragEnterEvent>
#include <QFontDatabase>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QTableWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <cmath>

/// The file list: full paths on one line, elided in the middle, no
/// selection, the window's only drop target.
class FileDropList : public QListWidget {
public:
    explicit FileDropList(ContentView *owner) : QListWidget(owner), m_owner(owner)
    {
        setAcceptDrops(true);
        setDropIndicatorShown(false);
        setSelectionMode(QAbstractItemView::NoSelection);
        setFocusPolicy(Qt::NoFocus);
        setTextElideMode(Qt::ElideMiddle);
        setWordWrap(false);
        setMinimumHeight(120);
        setDragDropMode(QAbstractItemView::DropOnly);
    }

protected:
    void dragEnterEvent(QDragEnterEvent *event) override { event->acceptProposedAction(); }
    void dragMoveEvent(QDragMoveEvent *event) override { event->acceptProposedAction(); }
    void dropEvent(QDropEvent *event) override
    {
        QStringList paths;
        for (const QUrl &url : event->mimeData()->urls()) {
            if (url.isLocalFile() && !url.toLocalFile().isEmpty())
                paths.append(url.toLocalFile());
        }
        m_owner->handleDrop(paths);
        event->acceptProposedAction();
    }

private:
    ContentView *m_owner;
};

namespace {

enum Column { StatusColumn, FileColumn, DigestColumn, TimestampColumn, ReceiptColumn, ScopeColumn, ColumnCount };

struct ColumnWidths {
    int minimum;
    int ideal;
    int maximum; // 0: no limit
};

constexpr ColumnWidths kColumns[ColumnCount] = {
    {110, 130, 180}, {100, 160, 0}, {120, 160, 0}, {120, 160, 0}, {100, 140, 0}, {60, 80, 100},
};

QFont captionFont(const QWidget *w)
{
    QFont f = w->font();
    f.setPointSizeF(f.pointSizeF() * 0.9);
    return f;
}

QFont monoCaptionFont(const QWidget *w)
{
    QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    f.setPointSizeF(captionFont(w).pointSizeF());
    return f;
}

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

} // namespace

ContentView::ContentView(QWidget *parent)
    : QWidget(parent)
    , m_config(new ConfigStore(this))
    , m_run(new BatchRun(
          [](const QString &url) -> std::unique_ptr<StampingService> { return std::make_unique<MCPClient>(url); },
          this))
    , m_platform(new QtDialogs(this))
    , m_open(m_platform)
    , m_save(m_platform)
    , m_clipboard(m_platform)
    , m_status(initialStatus())
{
    setObjectName(QStringLiteral("contentView"));
    build();

    connect(m_run, &BatchRun::statusChanged, this, &ContentView::setStatus);
    connect(m_run, &BatchRun::busyChanged, this, &ContentView::setBusy);
    connect(m_run, &BatchRun::resultsChanged, this, [this] { setResults(m_run->results()); });
    connect(m_run, &BatchRun::progress, this, &ContentView::onProgress);
    connect(m_config, &ConfigStore::defaultsChanged, this, &ContentView::refreshCopyLabel);
    connect(&AppNotifications::instance(), &AppNotifications::showDocs, this, &ContentView::showDocs);

    setStatus(m_status);
    refreshCopyLabel();
    refreshEnabled();
}

ContentView::~ContentView()
{
    delete m_platform;
}

QString ContentView::initialStatus()
{
    return QStringLiteral("Drop files or click Add. Register or Verify uses saved defaults.");
}

QString ContentView::abridgedDigest(const QString &sha256)
{
    if (sha256.isEmpty())
        return QStringLiteral("—");
    if (Text::graphemeCount(sha256) >= 22)
        return Text::leftGraphemes(sha256, 12) + QStringLiteral("…") + Text::rightGraphemes(sha256, 8);
    return sha256;
}

QString ContentView::abridgedReceipt(const QString &receiptId)
{
    if (receiptId.isEmpty())
        return QStringLiteral("—");
    if (Text::graphemeCount(receiptId) > 17)
        return Text::leftGraphemes(receiptId, 10) + QStringLiteral("…") + Text::rightGraphemes(receiptId, 6);
    return receiptId;
}

void ContentView::setSeams(OpenFilesDialog *open, SaveDialog *save, ClipboardSink *clipboard)
{
    m_open = open ? open : m_platform;
    m_save = save ? save : m_platform;
    m_clipboard = clipboard ? clipboard : m_platform;
}

void ContentView::build()
{
    setMinimumSize(900, 560);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(16, 16, 16, 16);
    column->setSpacing(12);

    // Header
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

    auto *docs = new QPushButton(QStringLiteral("Docs"), this);
    docs->setObjectName(QStringLiteral("docsButton"));
    docs->setAutoDefault(false);
    connect(docs, &QPushButton::clicked, this, &ContentView::showDocs);
    auto *defaults = new QPushButton(gearIcon(palette().color(QPalette::ButtonText)), QStringLiteral("Defaults"), this);
    defaults->setObjectName(QStringLiteral("defaultsButton"));
    defaults->setAutoDefault(false);
    connect(defaults, &QPushButton::clicked, this, &ContentView::openSettingsRequested);

    auto *header = new QHBoxLayout;
    header->addLayout(titleBlock);
    header->addStretch(1);
    header->addWidget(docs, 0, Qt::AlignVCenter);
    header->addWidget(defaults, 0, Qt::AlignVCenter);
    column->addLayout(header);

    // Documents
    auto *documents = new QGroupBox(QStringLiteral("Documents"), this);
    auto *docColumn = new QVBoxLayout(documents);
    docColumn->setContentsMargins(4, 4, 4, 4);
    docColumn->setSpacing(8);
    auto *add = new QPushButton(QStringLiteral("Add files…"), documents);
    add->setObjectName(QStringLiteral("addButton"));
    auto *clearButton = new QPushButton(QStringLiteral("Clear"), documents);
    clearButton->setObjectName(QStringLiteral("clearButton"));
    m_verify = new QPushButton(QStringLiteral("Verify"), documents);
    m_verify->setObjectName(QStringLiteral("verifyButton"));
    m_register = new QPushButton(QStringLiteral("Register"), documents);
    m_register->setObjectName(QStringLiteral("registerButton"));
    m_register->setDefault(true);
    for (QPushButton *b : {add, clearButton, m_verify})
        b->setAutoDefault(false);
    connect(add, &QPushButton::clicked, this, &ContentView::addFiles);
    connect(clearButton, &QPushButton::clicked, this, &ContentView::clear);
    connect(m_verify, &QPushButton::clicked, this, &ContentView::startVerify);
    connect(m_register, &QPushButton::clicked, this, &ContentView::startRegister);
    // Register is the window's default action.
    for (const auto key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto *shortcut = new QShortcut(QKeySequence(key), this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, [this] {
            if (m_register->isEnabled())
                m_register->click();
        });
    }
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(add);
    buttons->addWidget(clearButton);
    buttons->addStretch(1);
    buttons->addWidget(m_verify);
    buttons->addWidget(m_register);
    docColumn->addLayout(buttons);
    m_fileList = new FileDropList(this);
    m_fileList->setObjectName(QStringLiteral("fileList"));
    docColumn->addWidget(m_fileList);
    column->addWidget(documents);

    // Results
    auto *resultsBox = new QGroupBox(QStringLiteral("Results"), this);
    auto *resColumn = new QVBoxLayout(resultsBox);
    resColumn->setContentsMargins(4, 4, 4, 4);
    resColumn->setSpacing(8);
    m_statusLabel = new QLabel(resultsBox);
    m_statusLabel->setObjectName(QStringLiteral("statusLine"));
    m_statusLabel->setForegroundRole(QPalette::PlaceholderText);
    m_statusLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    resColumn->addWidget(m_statusLabel);
    m_progress = new QProgressBar(resultsBox);
    m_progress->setObjectName(QStringLiteral("progress"));
    m_progress->setVisible(false);
    m_progress->setRange(0, 1000);
    resColumn->addWidget(m_progress);

    m_table = new QTableWidget(0, ColumnCount, resultsBox);
    m_table->setObjectName(QStringLiteral("resultsTable"));
    m_table->setHorizontalHeaderLabels({QStringLiteral("Status"), QStringLiteral("File"), QStringLiteral("SHA-256"),
                                        QStringLiteral("Timestamp"), QStringLiteral("Receipt"),
                                        QStringLiteral("Scope")});
    m_table->setSelectionMode(QAbstractItemView::NoSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSortingEnabled(false);
    m_table->setFocusPolicy(Qt::NoFocus);
    m_table->verticalHeader()->setVisible(false);
    m_table->setMinimumHeight(160);
    QHeaderView *header2 = m_table->horizontalHeader();
    header2->setMinimumSectionSize(kColumns[ScopeColumn].minimum);
    header2->setStretchLastSection(false);
    header2->setSectionResizeMode(QHeaderView::Interactive);
    for (int c = 0; c < ColumnCount; ++c)
        m_table->setColumnWidth(c, kColumns[c].ideal);
    // The file name takes the room the other columns leave.
    header2->setSectionResizeMode(FileColumn, QHeaderView::Stretch);
    connect(header2, &QHeaderView::sectionResized, this, &ContentView::clampColumn);
    resColumn->addWidget(m_table, 1);

    m_export = new QToolButton(resultsBox);
    m_export->setObjectName(QStringLiteral("exportButton"));
    m_export->setText(QStringLiteral("Export…"));
    m_export->setPopupMode(QToolButton::InstantPopup);
    m_export->setToolButtonStyle(Qt::ToolButtonTextOnly);
    auto *menu = new QMenu(m_export);
    menu->setObjectName(QStringLiteral("exportMenu"));
    const std::pair<const char *, ExportFormat> entries[] = {
        {"JSON…", ExportFormat::json}, {"CSV…", ExportFormat::csv},
        {"Text…", ExportFormat::text}, {"PDF…", ExportFormat::pdf}};
    for (const auto &[label, format] : entries) {
        const ExportFormat f = format;
        menu->addAction(QString::fromUtf8(label), this, [this, f] { exportResults(f); });
    }
    m_export->setMenu(menu);
    m_copy = new QPushButton(resultsBox);
    m_copy->setObjectName(QStringLiteral("copyButton"));
    m_copy->setAutoDefault(false);
    connect(m_copy, &QPushButton::clicked, this, &ContentView::copyResults);
    auto *actions = new QHBoxLayout;
    actions->addWidget(m_export);
    actions->addWidget(m_copy);
    actions->addStretch(1);
    resColumn->addLayout(actions);
    column->addWidget(resultsBox, 1);
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
    m_progress->setVisible(busy);
    if (busy) {
        m_progress->setValue(0);
        m_progress->setFormat(QString());
    }
    refreshEnabled();
    Q_EMIT busyChanged(busy);
}

void ContentView::onProgress(int fileNumber, int count, const QString &path, qint64 done, qint64 total)
{
    if (count <= 0)
        return;
    const double fileFraction = total > 0 ? double(done) / double(total) : 0.0;
    m_progress->setValue(int(std::lround(1000.0 * (fileNumber - 1 + fileFraction) / count)));
    m_progress->setFormat(QStringLiteral("File %1 of %2 · %3").arg(fileNumber).arg(count).arg(Text::lastPathComponent(path)));
}

void ContentView::refreshEnabled()
{
    const bool canRun = !m_busy && !m_files.isEmpty();
    m_verify->setEnabled(canRun);
    m_register->setEnabled(canRun);
    const bool hasRows = !m_results.isEmpty();
    m_export->setEnabled(hasRows);
    m_copy->setEnabled(hasRows);
}

void ContentView::refreshCopyLabel()
{
    m_copy->setText(QStringLiteral("Copy ") + m_config->defaults().output.toUpper());
}

void ContentView::refreshFileList()
{
    m_fileList->clear();
    for (const QString &path : m_files) {
        auto *item = new QListWidgetItem(path, m_fileList);
        item->setToolTip(path);
        item->setFlags(Qt::ItemIsEnabled);
    }
}

void ContentView::addFiles()
{
    const QStringList chosen = m_open->askOpenFiles();
    if (chosen.isEmpty())
        return;
    for (const QString &path : chosen) {
        if (!m_files.contains(path))
            m_files.append(path);
    }
    refreshFileList();
    refreshEnabled();
    setStatus(QStringLiteral("%1 file(s) ready.").arg(m_files.size()));
}

bool ContentView::handleDrop(const QStringList &paths)
{
    for (const QString &path : paths) {
        if (path.isEmpty() || m_files.contains(path))
            continue;
        m_files.append(path);
        refreshFileList();
        refreshEnabled();
        setStatus(QStringLiteral("%1 file(s) ready.").arg(m_files.size()));
    }
    return true;
}

void ContentView::clear()
{
    m_files.clear();
    refreshFileList();
    setResults({});
    setStatus(QStringLiteral("Cleared."));
}

void ContentView::startRegister()
{
    if (m_busy || m_files.isEmpty())
        return;
    m_run->run(BatchRun::Action::registerFiles, m_files, m_config->defaults().url,
                 [config = m_config] { return config->defaults().scope; });
}

void ContentView::startVerify()
{
    if (m_busy || m_files.isEmpty())
        return;
    m_run->run(BatchRun::Action::verifyFiles, m_files, m_config->defaults().url,
                 [config = m_config] { return config->defaults().scope; });
}

void ContentView::setResults(const QList<FileResult> &rows)
{
    m_results = rows;
    m_table->setRowCount(0);
    m_table->setRowCount(rows.size());
    const QFont caption = captionFont(this);
    const QFont mono = monoCaptionFont(this);
    const QColor secondary = palette().color(QPalette::PlaceholderText);
    for (int r = 0; r < rows.size(); ++r) {
        const FileResult &row = rows[r];
        m_table->setCellWidget(r, StatusColumn, new StatusCell(row));

        auto *file = new QTableWidgetItem(Text::lastPathComponent(row.path));
        file->setToolTip(row.path);
        m_table->setItem(r, FileColumn, file);

        const auto selectable = [&](const QString &text, const QString &tip) {
            auto *label = new QLabel(text);
            label->setFont(mono);
            label->setTextInteractionFlags(Qt::TextSelectableByMouse);
            label->setToolTip(tip);
            label->setContentsMargins(4, 0, 4, 0);
            return label;
        };
        m_table->setCellWidget(r, DigestColumn,
                               selectable(abridgedDigest(row.sha256),
                                          row.sha256.isEmpty() ? QStringLiteral("No hash") : row.sha256));
        auto *time = new QTableWidgetItem(row.createdAt.isEmpty() ? QStringLiteral("—") : row.createdAt);
        time->setFont(caption);
        if (row.createdAt.isEmpty())
            time->setForeground(secondary);
        m_table->setItem(r, TimestampColumn, time);
        m_table->setCellWidget(r, ReceiptColumn,
                               selectable(abridgedReceipt(row.receiptId),
                                          row.receiptId.isEmpty() ? QStringLiteral("No receipt") : row.receiptId));
        auto *scope = new QTableWidgetItem(row.scope);
        scope->setFont(caption);
        m_table->setItem(r, ScopeColumn, scope);
    }
    refreshEnabled();
    Q_EMIT resultsChanged();
}

void ContentView::exportResults(ExportFormat format)
{
    if (const auto status = ::exportResults(m_results, format, *m_save))
        setStatus(*status);
}

void ContentView::copyResults()
{
    if (const auto status = ::copyResults(m_results, m_config->defaults().output, *m_clipboard))
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
