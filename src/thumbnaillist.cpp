#include "thumbnaillist.h"

#include "thumbnaildelegate.h"
#include "thumbnailloader.h"

#include <QFileInfo>
#include <QListWidget>
#include <QPersistentModelIndex>
#include <QScrollBar>
#include <QtMath>

ThumbnailList::ThumbnailList(QListWidget *list, ThumbnailLoader *loader)
    : QObject(list), list(list), loader(loader)
{
    list->setUniformItemSizes(true);
    list->setItemDelegate(new ThumbnailDelegate(list->iconSize(), list));

    // Rows come and go through the widget as well (removal, clearing).
    const QAbstractItemModel *model = list->model();
    connect(model, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex &, int first, int last) {
                tickets.insert(first, last - first + 1, 0);
            });
    connect(model, &QAbstractItemModel::rowsRemoved, this,
            [this](const QModelIndex &, int first, int last) {
                tickets.remove(first, last - first + 1);
            });
    connect(model, &QAbstractItemModel::modelReset, this, [this]() { tickets.clear(); });

    // Once per burst of scrolling, after the view has moved.
    visibleChanged.setSingleShot(true);
    visibleChanged.setInterval(0);
    connect(&visibleChanged, &QTimer::timeout, this, &ThumbnailList::prioritizeVisible);
    connect(list->verticalScrollBar(), &QScrollBar::valueChanged, &visibleChanged,
            qOverload<>(&QTimer::start));
}

int ThumbnailList::pixelSide() const
{
    return qCeil(list->iconSize().width() * list->devicePixelRatioF());
}

void ThumbnailList::addRows(const QStringList &paths, const std::function<void()> &loaded)
{
    const int first = list->count();
    QStringList names;
    names.reserve(paths.size());
    for (const QString &path : paths)
        names << QFileInfo(path).fileName();
    // One insertion for all: the view takes in the rows once.
    list->addItems(names);
    for (int i = 0; i < paths.size(); ++i)
        request(first + i, paths.at(i), loaded);
    visibleChanged.start();
}

void ThumbnailList::addRow(const QString &path, const QImage &thumbnail)
{
    const int row = list->count();
    list->addItem(QFileInfo(path).fileName());
    if (!thumbnail.isNull() && qMax(thumbnail.width(), thumbnail.height()) >= pixelSide())
        show(row, thumbnail);
    else
        request(row, path, {});
}

void ThumbnailList::request(int row, const QString &path, const std::function<void()> &loaded)
{
    // The row may be removed, or the list cleared, before its thumbnail is
    // ready; a persistent index notices.
    const QPersistentModelIndex index(list->model()->index(row, 0));
    tickets[row] = loader->request(
            path,
            [this, index, loaded](const QImage &thumbnail) {
                if (index.isValid()) {
                    tickets[index.row()] = 0;
                    if (!thumbnail.isNull())
                        show(index.row(), thumbnail);
                }
                if (loaded)
                    loaded();
            },
            pixelSide());
}

void ThumbnailList::show(int row, const QImage &thumbnail)
{
    // Kept as compact as drawing allows: a pixmap would widen an opaque
    // picture to four bytes a pixel, a third more than it holds. Thousands
    // of rows make that tens of megabytes; the conversion when a row is
    // painted costs little at this size.
    QImage::Format format = QImage::Format_RGB888;
    if (thumbnail.hasAlphaChannel())
        format = QImage::Format_ARGB32_Premultiplied;
    else if (thumbnail.isGrayscale())
        format = QImage::Format_Grayscale8;
    // Made on a worker, the picture lies in that thread's heap among the
    // decoder's freed buffers, and would keep them from going back to the
    // system for as long as it is listed: the list keeps a copy of its own.
    QImage kept = thumbnail.format() == format ? thumbnail.copy()
                                                : thumbnail.convertToFormat(format);
    // The box is in device-independent pixels; a sharper picture says so.
    const int longest = qMax(kept.width(), kept.height());
    kept.setDevicePixelRatio(qMax(1.0, qreal(longest) / list->iconSize().width()));
    list->item(row)->setIcon(QIcon(QPixmap::fromImage(std::move(kept), Qt::NoFormatConversion)));
}

void ThumbnailList::prioritizeVisible()
{
    const QAbstractItemModel *model = list->model();
    const int count = model->rowCount();
    if (count == 0)
        return;
    // Rows run down the view in order: the first one on screen is the
    // first that ends below its top.
    int low = 0;
    int high = count - 1;
    while (low < high) {
        const int mid = (low + high) / 2;
        if (list->visualRect(model->index(mid, 0)).bottom() < 0)
            low = mid + 1;
        else
            high = mid;
    }
    // The rows shown, then those of the next screenful.
    const int reach = 2 * list->viewport()->height();
    QList<quint64> wanted;
    for (int row = low; row < count; ++row) {
        if (list->visualRect(model->index(row, 0)).top() > reach)
            break;
        if (tickets.at(row) != 0)
            wanted << tickets.at(row);
    }
    if (!wanted.isEmpty())
        loader->prioritize(wanted);
}
