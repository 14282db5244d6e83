#ifndef THUMBNAILLIST_H
#define THUMBNAILLIST_H

#include <QHash>
#include <QImage>
#include <QList>
#include <QObject>
#include <QPair>
#include <QStringList>
#include <QTimer>

#include <functional>

class QListWidget;
class QListWidgetItem;
class ThumbnailLoader;

// Fills a list widget with thumbnail rows: the file names first, the
// pictures as they are made. Built to stay cheap at ten thousand rows: all
// rows have one size, so that neither a new row nor a new picture lays the
// list out row by row; rows are inserted many at a time, as many in one
// event as a few milliseconds allow and the rest in the events after; the
// pictures of the rows on screen are made before the others, also after
// scrolling.
// Pictures are made at the screen's pixel density.
class ThumbnailList : public QObject
{
    Q_OBJECT

public:
    ThumbnailList(QListWidget *list, ThumbnailLoader *loader);

    // Appends one row per path, in order, and queues their thumbnails: the
    // rows that fit in this event at once (every row of a short list), the
    // others in the next events. loaded, when given, runs once per row when
    // its thumbnail is in or has failed, also for a row removed meanwhile;
    // rows not yet added when the list is cleared are dropped without it.
    void addRows(const QStringList &paths, const std::function<void()> &loaded = {});

    // Appends one row whose thumbnail was made already; a null one, or one
    // too small for the screen, is made from the file.
    void addRow(const QString &path, const QImage &thumbnail);

    // Removes these rows (ascending, each once), however scattered, in a
    // few passes over the list.
    void removeRows(const QList<int> &rows);

    // Pixels on the longer side of a thumbnail on this list's screen.
    int pixelSide() const;

    // The first row on screen and the last within screens heights of the
    // view below it (-1 as the last when there are no rows); found without
    // laying the list out.
    QPair<int, int> rowsInView(int screens = 1) const;

private:
    void addSlice();
    void request(int row, const QString &path, const std::function<void()> &loaded);
    void show(QListWidgetItem *item, const QImage &thumbnail);
    void prioritizeVisible();

    QListWidget *list;
    ThumbnailLoader *loader;
    // The rows whose picture is still to come, by a key of their own: the
    // item and the loader's ticket.
    struct Waiting
    {
        QListWidgetItem *item = nullptr;
        quint64 ticket = 0;
    };
    QHash<quint64, Waiting> waiting;
    quint64 lastKey = 0;
    // Each row's key, kept in step with the rows; 0 for none.
    QList<quint64> keys;
    QTimer visibleChanged;
    // What addRows() has still to add, in order.
    struct Pending
    {
        QStringList paths;
        qsizetype next = 0;
        std::function<void()> loaded;
    };
    QList<Pending> pending;
    QTimer moreRows;
};

#endif // THUMBNAILLIST_H
