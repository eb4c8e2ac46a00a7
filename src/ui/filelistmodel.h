#pragma once

#include <QAbstractListModel>
#include <QSet>
#include <QStringList>

/// The file list: absolute paths in the order added, never one twice (paths
/// compared character for character). Adding many at once is one insertion.
class FileListModel : public QAbstractListModel {
    Q_OBJECT
public:
    using QAbstractListModel::QAbstractListModel;

    const QStringList &files() const { return m_files; }
    /// Appends, in order, the paths that are not listed yet (nor empty);
    /// returns how many were added.
    qsizetype appendNew(const QStringList &paths);
    void clear();
    /// Takes the rows off the list, in any order.
    void removeFiles(QList<int> rows);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    QStringList m_files;
    QSet<QString> m_listed;
};
