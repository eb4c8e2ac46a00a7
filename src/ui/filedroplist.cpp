#include "ui/filedroplist.h"

#include "ui/filelistmodel.h"

#include <QDropEvent>
#include <QMimeData>
#include <QStyledItemDelegate>

namespace {

// Asks for no width, so every row is as wide as the list and a long path is
// elided in the middle instead of running off under a scroll bar.
class NarrowRowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        return { 1, QStyledItemDelegate::sizeHint(option, index).height() };
    }
};

void acceptAsCopy(QDropEvent *event)
{
    if (event->possibleActions() & Qt::CopyAction)
        event->setDropAction(Qt::CopyAction);
    event->accept();
}

} // namespace

FileDropList::FileDropList(FileListModel *model, QWidget *parent)
    : QListView(parent)
{
    setModel(model);
    setItemDelegate(new NarrowRowDelegate(this));
    setUniformItemSizes(true);
    setAcceptDrops(true);
    setDropIndicatorShown(false);
    setDragDropMode(QAbstractItemView::DropOnly);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setTextElideMode(Qt::ElideMiddle);
    setWordWrap(false);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setMinimumHeight(120);
}

void FileDropList::dragEnterEvent(QDragEnterEvent *event)
{
    acceptAsCopy(event);
}

void FileDropList::dragMoveEvent(QDragMoveEvent *event)
{
    acceptAsCopy(event);
}

void FileDropList::dropEvent(QDropEvent *event)
{
    QStringList paths;
    for (const QUrl &url : event->mimeData()->urls()) {
        if (url.isLocalFile() && !url.toLocalFile().isEmpty())
            paths.append(url.toLocalFile());
    }
    acceptAsCopy(event);
    Q_EMIT dropped(paths);
}
