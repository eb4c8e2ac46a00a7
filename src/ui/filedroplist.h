#pragma once

#include <QListView>
#include <QStringList>

class FileListModel;

/// The file list: full paths on one line, elided in the middle, the
/// window's only drop target; selected rows can be removed. A drop copies:
/// the files stay where they are.
class FileDropList : public QListView {
    Q_OBJECT
public:
    FileDropList(FileListModel *model, QWidget *parent);

Q_SIGNALS:
    /// The local files of a drop, in its order.
    void dropped(const QStringList &paths);

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
};
