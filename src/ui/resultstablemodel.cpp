#include "ui/resultstablemodel.h"

#include "core/text.h"
#include "ui/elidedlabel.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QPalette>

namespace StatusStyle {

QString label(ResultKind kind)
{
    switch (kind) {
    case ResultKind::registered:
        return QStringLiteral("Registered");
    case ResultKind::found:
        return QStringLiteral("Found");
    case ResultKind::valid:
        return QStringLiteral("Valid");
    case ResultKind::notFound:
        return QStringLiteral("Not found");
    case ResultKind::invalid:
        return QStringLiteral("Invalid");
    case ResultKind::error:
        return QStringLiteral("Error");
    }
    return {};
}

QColor colour(ResultKind kind)
{
    return ResultKinds::passes(kind) ? QColor(0x1f, 0x9d, 0x45) : QColor(0xd7, 0x26, 0x1e);
}

} // namespace StatusStyle

ResultsTableModel::ResultsTableModel(QObject *parent)
    : QAbstractTableModel(parent)
{
    m_caption = QGuiApplication::font();
    m_caption.setPointSizeF(m_caption.pointSizeF() * 0.9);
    m_monoCaption = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    m_monoCaption.setPointSizeF(m_caption.pointSizeF());
}

void ResultsTableModel::setRows(const QList<FileResult> &rows)
{
    beginResetModel();
    m_rows = rows;
    endResetModel();
}

QString ResultsTableModel::abridgedDigest(const QString &sha256)
{
    if (sha256.isEmpty())
        return QStringLiteral("—");
    if (Text::graphemeCount(sha256) >= 22)
        return Text::leftGraphemes(sha256, 12) + QStringLiteral("…") + Text::rightGraphemes(sha256, 8);
    return sha256;
}

QString ResultsTableModel::abridgedReceipt(const QString &receiptId)
{
    if (receiptId.isEmpty())
        return QStringLiteral("—");
    if (Text::graphemeCount(receiptId) > 17)
        return Text::leftGraphemes(receiptId, 10) + QStringLiteral("…") + Text::rightGraphemes(receiptId, 6);
    return receiptId;
}

int ResultsTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int ResultsTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ResultsTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const FileResult &row = m_rows.at(index.row());
    // The whole value a cell stands for: what its tooltip and a screen reader give.
    const auto whole = [&]() -> QString {
        switch (index.column()) {
        case StatusColumn:
            return row.status;
        case FileColumn:
            return row.path;
        case DigestColumn:
            return row.sha256.isEmpty() ? QStringLiteral("No hash") : row.sha256;
        case ReceiptColumn:
            return row.receiptId.isEmpty() ? QStringLiteral("No receipt") : row.receiptId;
        default:
            return {};
        }
    };
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        switch (index.column()) {
        case StatusColumn:
            return StatusStyle::label(row.kind);
        case FileColumn:
            return Text::lastPathComponent(row.path);
        case DigestColumn:
            return abridgedDigest(row.sha256);
        case TimestampColumn:
            return row.createdAt.isEmpty() ? QStringLiteral("—") : row.createdAt;
        case ReceiptColumn:
            return abridgedReceipt(row.receiptId);
        case ScopeColumn:
            return row.scope;
        }
        return {};
    case Qt::EditRole:
        if (index.column() == DigestColumn)
            return row.sha256;
        if (index.column() == ReceiptColumn)
            return row.receiptId;
        return {};
    case Qt::ToolTipRole:
        return plainToolTip(whole());
    case Qt::AccessibleDescriptionRole:
        return whole();
    case Qt::FontRole:
        if (index.column() == DigestColumn || index.column() == ReceiptColumn)
            return m_monoCaption;
        if (index.column() == FileColumn)
            return {};
        return m_caption;
    case Qt::ForegroundRole:
        if (index.column() == TimestampColumn && row.createdAt.isEmpty())
            return QGuiApplication::palette().color(QPalette::PlaceholderText);
        return {};
    case KindRole:
        return static_cast<int>(row.kind);
    default:
        return {};
    }
}

QVariant ResultsTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    static const char *const titles[ColumnCount] = { "Status", "File", "SHA-256", "Timestamp", "Receipt", "Scope" };
    return section >= 0 && section < ColumnCount ? QString::fromLatin1(titles[section]) : QVariant();
}

Qt::ItemFlags ResultsTableModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    if (!data(index, Qt::EditRole).toString().isEmpty())
        return Qt::ItemIsEnabled | Qt::ItemIsEditable;
    return Qt::ItemIsEnabled;
}
