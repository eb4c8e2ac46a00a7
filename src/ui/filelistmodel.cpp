#include "ui/filelistmodel.h"

#include "ui/elidedlabel.h"

#include <algorithm>
#include <functional>

qsizetype FileListModel::appendNew(const QStringList &paths)
{
    QStringList added;
    for (const QString &path : paths) {
        if (path.isEmpty() || m_listed.contains(path))
            continue;
        m_listed.insert(path);
        added.append(path);
    }
    if (added.isEmpty())
        return 0;
    const int first = static_cast<int>(m_files.size());
    beginInsertRows({}, first, first + static_cast<int>(added.size()) - 1);
    m_files.append(added);
    endInsertRows();
    return added.size();
}

void FileListModel::clear()
{
    beginResetModel();
    m_files.clear();
    m_listed.clear();
    endResetModel();
}

void FileListModel::removeFiles(QList<int> rows)
{
    // From the bottom up, so the rows still to go keep their numbers.
    std::sort(rows.begin(), rows.end(), std::greater<int>());
    for (const int row : rows) {
        if (row < 0 || row >= m_files.size())
            continue;
        beginRemoveRows({}, row, row);
        m_listed.remove(m_files.takeAt(row));
        endRemoveRows();
    }
}

int FileListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_files.size());
}

QVariant FileListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_files.size())
        return {};
    const QString &path = m_files.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        return path;
    case Qt::ToolTipRole:
        return plainToolTip(path);
    default:
        return {};
    }
}

Qt::ItemFlags FileListModel::flags(const QModelIndex &index) const
{
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}
