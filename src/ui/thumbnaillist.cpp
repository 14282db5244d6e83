#include "ui/thumbnaillist.h"

#include "ui/thumbnaildelegate.h"
#include "thumbnail/thumbnailcache.h"
#include "thumbnail/thumbnailloader.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QListWidget>
#include <QScrollBar>
#include <QtMath>

#include <utility>

ThumbnailList::ThumbnailList(QListWidget *list, ThumbnailLoader *loader)
    : QObject(list), list(list), loader(loader)
{
    list->setUniformItemSizes(true);
    list->setItemDelegate(new ThumbnailDelegate(list->iconSize(), list));

    // Rows come and go through the widget as well (removal, clearing).
    const QAbstractItemModel *model = list->model();
    connect(model, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex &, int first, int last) {
                keys.insert(first, last - first + 1, 0);
                // Rows appended far below the view change nothing near it.
                if (first <= nearRows.second + 1)
                    viewMoved();
            });
    connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [this](const QModelIndex &, int first, int last) {
                for (int row = first; row <= last; ++row) {
                    const quint64 key = keys.at(row);
                    waiting.remove(key);
                    held.remove(key);
                    failed.remove(key);
                }
            });
    connect(model, &QAbstractItemModel::rowsRemoved, this,
            [this](const QModelIndex &, int first, int last) {
                keys.remove(first, last - first + 1);
                viewMoved();
            });
    connect(model, &QAbstractItemModel::modelAboutToBeReset, this, [this]() {
        waiting.clear();
        held.clear();
        failed.clear();
        pending.clear();
        doomedFrom = -1;
        moreRows.stop();
    });
    connect(model, &QAbstractItemModel::modelReset, this, [this]() {
        keys.clear();
        viewMoved();
    });

    // Once per burst of scrolling or resizing, after the view has moved.
    viewChanged.setSingleShot(true);
    viewChanged.setInterval(0);
    connect(&viewChanged, &QTimer::timeout, this, &ThumbnailList::followView);
    const QScrollBar *bar = list->verticalScrollBar();
    connect(bar, &QScrollBar::valueChanged, this, &ThumbnailList::viewMoved);
    connect(bar, &QScrollBar::rangeChanged, this, &ThumbnailList::viewMoved);

    moreRows.setSingleShot(true);
    moreRows.setInterval(0);
    connect(&moreRows, &QTimer::timeout, this, &ThumbnailList::addSlice);
}

int ThumbnailList::pixelSide() const
{
    return qCeil(list->iconSize().width() * list->devicePixelRatioF());
}

void ThumbnailList::addRows(const QStringList &paths, const std::function<void()> &loaded)
{
    if (paths.isEmpty())
        return;
    pending.append({paths, 0, loaded, {}, false});
    // Behind rows still to come, or still to go, these wait their turn.
    if (pending.size() == 1 && doomedFrom < 0)
        addSlice();
}

void ThumbnailList::addSlice()
{
    // Ten thousand rows take the window a good part of a tenth of a second:
    // they go in slices, as many as fit in a few milliseconds per event, so
    // that the window answers in between. A slice is one insertion, which
    // the view takes in at once. Rows on their way out go first.
    constexpr int sliceRows = 256;
    QElapsedTimer spent;
    spent.start();
    dropDoomed();
    int added = 0;
    while (doomedFrom < 0 && !pending.isEmpty() && spent.elapsed() < budgetMs
           && added < addedPerEvent) {
        Pending &rows = pending.first();
        if (rows.single) {
            const Pending row = pending.takeFirst();
            appendMade(row.paths.first(), row.made);
            ++added;
            continue;
        }
        const qsizetype count = qMin<qsizetype>(qMin(sliceRows, addedPerEvent - added),
                                                rows.paths.size() - rows.next);
        added += int(count);
        const QStringList slice = rows.paths.mid(rows.next, count);
        const std::function<void()> loaded = rows.loaded;
        rows.next += count;
        if (rows.next == rows.paths.size())
            pending.removeFirst();
        // Last: what it tells may come back here.
        appendPaths(slice, loaded);
    }
    if (doomedFrom >= 0 || !pending.isEmpty())
        moreRows.start();
}

void ThumbnailList::appendPaths(const QStringList &paths, const std::function<void()> &loaded)
{
    const int first = list->count();
    QStringList names;
    names.reserve(paths.size());
    for (const QString &path : paths)
        names << QFileInfo(path).fileName();
    list->addItems(names);
    // Pictures are made for the rows near the view; the others have theirs
    // made when they come near, if ever.
    const QPair<int, int> kept = keptRows();
    int listedOnly = 0;
    for (qsizetype i = 0; i < paths.size(); ++i) {
        const int row = first + int(i);
        if (row >= kept.first && row <= kept.second) {
            request(row, paths.at(i), loaded);
            continue;
        }
        keys[row] = ++lastKey;
        list->item(row)->setData(ThumbnailDelegate::PathRole, paths.at(i));
        ++listedOnly;
    }
    nearKnown = false;
    if (loaded) {
        for (int i = 0; i < listedOnly; ++i)
            loaded();
    }
}

void ThumbnailList::addRow(const QString &path, const QImage &thumbnail)
{
    if (doomedFrom >= 0 || !pending.isEmpty()) {
        pending.append({{path}, 0, {}, thumbnail, true});
        moreRows.start();
        return;
    }
    appendMade(path, thumbnail);
}

void ThumbnailList::appendMade(const QString &path, const QImage &thumbnail)
{
    const int row = list->count();
    list->addItem(QFileInfo(path).fileName());
    QListWidgetItem *item = list->item(row);
    item->setData(ThumbnailDelegate::PathRole, path);
    if (thumbnail.isNull() || qMax(thumbnail.width(), thumbnail.height()) < pixelSide()) {
        request(row, path, {});
        return;
    }
    const quint64 key = ++lastKey;
    keys[row] = key;
    noteShownSize(item, thumbnail);
    // A row far from the view has it read again when it comes near.
    if (isNear(key)) {
        show(item, thumbnail);
        held.insert(key, item);
    }
}

int ThumbnailList::rowCount() const
{
    return doomedFrom >= 0 ? doomedFrom : list->count();
}

void ThumbnailList::clear()
{
    pending.clear();
    waiting.clear();
    held.clear();
    failed.clear();
    keys.fill(0);
    // Let go of quietly: the selection would follow every slice's removal.
    list->selectionModel()->reset();
    list->viewport()->update();
    doom(0, true);
}

void ThumbnailList::removeRows(const QList<int> &rows)
{
    // A few runs of rows go at once, a run of adjacent rows at a time, from
    // the bottom up so that the rows above keep their numbers.
    int runs = 0;
    for (qsizetype i = 0; i < rows.size(); ++i)
        runs += i == 0 || rows.at(i - 1) != rows.at(i) - 1;
    if (runs <= 64 && rows.size() <= removedPerEvent) {
        for (qsizetype end = rows.size(); end > 0;) {
            qsizetype begin = end - 1;
            while (begin > 0 && rows.at(begin - 1) == rows.at(begin) - 1)
                --begin;
            removeRun(rows.at(begin), int(end - begin));
            end = begin;
        }
        if (doomedFrom >= 0)
            doomedFrom -= int(rows.size());
        return;
    }
    // Many: the model would walk its table of persistent indexes, and the
    // view and the selection hear of it, once per run. The rows kept move
    // up instead, each taking its data into an earlier row (which tells no
    // one), and the rows left below go from the end as a clearing's do. A
    // selection would stay with the rows' places: it goes, as rows go.
    list->selectionModel()->reset();
    int to = 0;
    qsizetype next = 0;
    const int live = rowCount();
    for (int row = 0; row < live; ++row) {
        const quint64 key = std::exchange(keys[row], 0);
        if (next < rows.size() && rows.at(next) == row) {
            ++next;
            waiting.remove(key);
            held.remove(key);
            failed.remove(key);
            continue;
        }
        QListWidgetItem *item = list->item(to);
        if (to != row) {
            *item = *list->item(row);
            const auto it = waiting.find(key);
            if (it != waiting.end())
                it->item = item;
            const auto shown = held.find(key);
            if (shown != held.end())
                *shown = item;
        }
        keys[to++] = key;
    }
    // The rows below hold no key now: their removal lets go of nothing.
    // Moving the rows up was this event's work when there were many.
    list->viewport()->update();
    viewMoved();
    doom(to, rows.size() <= removedPerEvent);
}

void ThumbnailList::doom(int first, bool now)
{
    if (first >= list->count())
        return;
    doomedFrom = doomedFrom < 0 ? first : qMin(doomedFrom, first);
    if (now)
        dropDoomed();
    if (doomedFrom >= 0)
        moreRows.start();
}

void ThumbnailList::dropDoomed()
{
    // Deleting a row's item is most of what taking it out costs, a few
    // microseconds in a heap the pictures have been through.
    if (doomedFrom < 0)
        return;
    const int count = list->count();
    const int first = qMax(doomedFrom, count - removedPerEvent);
    removeRun(first, count - first);
    if (first == doomedFrom)
        doomedFrom = -1;
}

void ThumbnailList::removeRun(int first, int count)
{
    // The list's model takes rows out one by one from the first of a run,
    // moving all those after it each time: fifty thousand rows take it a
    // quarter of a second. From the end a slice at a time, each moves no
    // more than its slice.
    constexpr int sliceRows = 1024;
    for (int end = first + count; end > first;) {
        const int slice = qMin(sliceRows, end - first);
        list->model()->removeRows(end - slice, slice);
        end -= slice;
    }
}

void ThumbnailList::request(int row, const QString &path, const std::function<void()> &loaded)
{
    // The row may be removed, or the list cleared, before its thumbnail is
    // ready: it is then no longer waiting. (A persistent index per row
    // would do the same, but the model walks its table of them on every
    // insertion and removal, for good: the table never shrinks.)
    quint64 &rowKey = keys[row];
    if (rowKey == 0) {
        rowKey = ++lastKey;
        list->item(row)->setData(ThumbnailDelegate::PathRole, path);
    }
    const quint64 key = rowKey;
    const quint64 ticket = loader->request(
            path,
            [this, key, loaded](const QImage &thumbnail) {
                arrived(key, thumbnail);
                if (loaded)
                    loaded();
            },
            pixelSide());
    waiting.insert(key, {list->item(row), ticket});
}

void ThumbnailList::arrived(quint64 key, const QImage &thumbnail)
{
    const Waiting row = waiting.take(key);
    if (!row.item)
        return;
    if (thumbnail.isNull()) {
        failed.insert(key);
        return;
    }
    noteShownSize(row.item, thumbnail);
    // Made for a row that has gone far from the view (or was never near
    // it): the shared cache has it now, and the row shows the empty box.
    if (isNear(key)) {
        show(row.item, thumbnail);
        held.insert(key, row.item);
    }
}

void ThumbnailList::noteShownSize(QListWidgetItem *item, const QImage &thumbnail)
{
    const QSize shown(thumbnail.text(QString::fromLatin1(ThumbnailCache::shownWidthKey)).toInt(),
                      thumbnail.text(QString::fromLatin1(ThumbnailCache::shownHeightKey)).toInt());
    if (!shown.isEmpty())
        item->setData(ThumbnailDelegate::ShownRole, shown);
}

void ThumbnailList::show(QListWidgetItem *item, const QImage &thumbnail)
{
    // Kept as compact as drawing allows: a pixmap would widen an opaque
    // picture to four bytes a pixel, a third more than it holds. The
    // conversion when a row is painted costs little at this size.
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
    item->setIcon(QIcon(QPixmap::fromImage(std::move(kept), Qt::NoFormatConversion)));
}

QPair<int, int> ThumbnailList::rowsInView(int screens) const
{
    const int count = list->count();
    if (count == 0)
        return {0, -1};
    // Asking the view where a row is (visualRect, indexAt) makes it lay out
    // every row first, which at thousands of rows is one long event. All
    // rows have one height and the list runs down in one column, so the
    // rows follow from the scroll bar: in rows or in pixels.
    const int step = qMax(1, list->sizeHintForRow(0) + list->spacing());
    const int value = list->verticalScrollBar()->value();
    const int first = list->verticalScrollMode() == QAbstractItemView::ScrollPerItem
            ? value
            : value / step;
    const int shown = screens * list->viewport()->height() / step + 1;
    return {qBound(0, first, count - 1), qBound(0, first + shown, count - 1)};
}

QPair<int, int> ThumbnailList::keptRows() const
{
    const QPair<int, int> shown = rowsInView(1);
    if (shown.second < 0)
        return shown;
    const int screen = shown.second - shown.first + 1;
    const qint64 side = pixelSide();
    const qint64 affordable = keptBytes / qMax<qint64>(1, side * side * 4) - screen;
    const int around = int(qBound<qint64>(0, affordable / 2, qint64(screensAround) * screen));
    return {qMax(0, shown.first - around), qMin(list->count() - 1, shown.second + around)};
}

void ThumbnailList::viewMoved()
{
    nearKnown = false;
    viewChanged.start();
}

bool ThumbnailList::isNear(quint64 key)
{
    if (!nearKnown) {
        nearRows = keptRows();
        near.clear();
        for (int row = nearRows.first; row <= nearRows.second; ++row)
            near.insert(keys.at(row));
        near.remove(0);
        nearKnown = true;
    }
    return near.contains(key);
}

void ThumbnailList::followView()
{
    isNear(0);
    // The pictures of rows gone far from the view are let go.
    for (auto it = held.begin(); it != held.end();) {
        if (near.contains(it.key())) {
            ++it;
            continue;
        }
        it.value()->setData(Qt::DecorationRole, QVariant());
        it = held.erase(it);
    }
    // The rows near it without one have theirs read again; those on
    // screen come first, then those below, then those above.
    const QPair<int, int> shown = rowsInView(1);
    QList<quint64> wanted;
    const auto want = [this, &wanted](int row) {
        const quint64 key = keys.at(row);
        if (key == 0 || held.contains(key) || failed.contains(key))
            return;
        auto it = waiting.constFind(key);
        if (it == waiting.constEnd()) {
            const QString path = list->item(row)->data(ThumbnailDelegate::PathRole).toString();
            if (path.isEmpty())
                return;
            request(row, path, {});
            it = waiting.constFind(key);
        }
        wanted << it->ticket;
    };
    for (int row = shown.first; row <= shown.second; ++row)
        want(row);
    for (int row = shown.second + 1; row <= nearRows.second; ++row)
        want(row);
    for (int row = shown.first - 1; row >= nearRows.first; --row)
        want(row);
    if (!wanted.isEmpty())
        loader->prioritize(wanted);
}
