#ifndef THUMBNAILLIST_H
#define THUMBNAILLIST_H

#include <QHash>
#include <QImage>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QStringList>
#include <QTimer>

#include <functional>

class QListWidget;
class QListWidgetItem;
class ThumbnailLoader;

// Fills a list widget with thumbnail rows: the file names first, the
// pictures as they are made. Built to stay cheap at a hundred thousand
// rows: all rows have one size, so that neither a new row nor a new picture
// lays the list out row by row; rows are inserted many at a time, as many
// in one event as a few milliseconds allow and the rest in the events
// after; the pictures of the rows on screen are made before the others,
// also after scrolling.
// Only the rows near the view have their picture made and hold it: a few
// screenfuls either side of it, within a bound in bytes. A row further off
// shows the box it shows while its picture is made, and has the picture
// read (from the shared thumbnail cache, through the loader) when it comes
// near. Pictures are made at the screen's pixel density.
// Rows go as they come, many at a time: a clearing or a large removal
// takes them out of the list from the end, a slice per event, and rows
// added meanwhile come in once they are gone.
class ThumbnailList : public QObject
{
    Q_OBJECT

public:
    // Screenfuls either side of the view whose rows keep their picture.
    static constexpr int screensAround = 2;
    // At most this many bytes of pictures, counted at four a pixel of a
    // full box, are kept; the rows on screen keep theirs whatever it says.
    static constexpr qint64 keptBytes = 32 << 20;
    // Rows taken out of the list in one event, at most, by a clearing or a
    // large removal.
    static constexpr int removedPerEvent = 4096;
    // Rows put into the list in one event, at most, whatever the clock
    // says: a long list comes in over several events on any machine.
    static constexpr int addedPerEvent = 4096;

    ThumbnailList(QListWidget *list, ThumbnailLoader *loader);

    // Appends one row per path, in order, and queues the thumbnails of
    // those near the view: the rows that fit in this event at once (every
    // row of a short list), the others in the next events. loaded, when
    // given, runs once per row: for a row near the view when it is added,
    // once its thumbnail is in or has failed (also should the row be
    // removed meanwhile); for the others when they are added. Rows not yet
    // added when the list is cleared are dropped without it.
    void addRows(const QStringList &paths, const std::function<void()> &loaded = {});

    // Appends one row whose thumbnail was made already; a null one, or one
    // too small for the screen, is made from the file.
    void addRow(const QString &path, const QImage &thumbnail);

    // Removes these rows (ascending, each once, below rowCount()), however
    // scattered, in a few passes over the list. The rows kept take their
    // new places at once; many rows removed leave the list over the next
    // events, from the end.
    void removeRows(const QList<int> &rows);

    // Removes every row, and the rows still to be added.
    void clear();

    // The rows that stay: the list's but those on their way out.
    int rowCount() const;

    // Pixels on the longer side of a thumbnail on this list's screen.
    int pixelSide() const;

    // The first row on screen and the last within screens heights of the
    // view below it (-1 as the last when there are no rows); found without
    // laying the list out.
    QPair<int, int> rowsInView(int screens = 1) const;

    // The rows that keep their picture: those on screen and the rows
    // around them (-1 as the last when there are none).
    QPair<int, int> keptRows() const;

private:
    void addSlice();
    void appendPaths(const QStringList &paths, const std::function<void()> &loaded);
    void appendMade(const QString &path, const QImage &thumbnail);
    void doom(int first, bool now);
    void dropDoomed();
    void removeRun(int first, int count);
    void request(int row, const QString &path, const std::function<void()> &loaded);
    void arrived(quint64 key, const QImage &thumbnail);
    void noteShownSize(QListWidgetItem *item, const QImage &thumbnail);
    void show(QListWidgetItem *item, const QImage &thumbnail);
    void viewMoved();
    bool isNear(quint64 key);
    void followView();

    QListWidget *list;
    ThumbnailLoader *loader;
    // A row's key stays its own while it is listed (0 until its picture
    // is first asked for): the rows whose picture is still to come, with
    // the loader's ticket; those holding it; those whose file gave none.
    struct Waiting
    {
        QListWidgetItem *item = nullptr;
        quint64 ticket = 0;
    };
    QHash<quint64, Waiting> waiting;
    QHash<quint64, QListWidgetItem *> held;
    QSet<quint64> failed;
    quint64 lastKey = 0;
    // Each row's key, kept in step with the rows.
    QList<quint64> keys;
    // The keys of keptRows(), found again once the view or the rows change.
    QSet<quint64> near;
    QPair<int, int> nearRows{0, -1};
    bool nearKnown = false;
    QTimer viewChanged;
    // What addRows() and addRow() have still to add, in order.
    struct Pending
    {
        QStringList paths;
        qsizetype next = 0;
        std::function<void()> loaded;
        QImage made; // addRow()'s thumbnail
        bool single = false;
    };
    QList<Pending> pending;
    // Rows from here to the end are on their way out (-1: none).
    int doomedFrom = -1;
    QTimer moreRows;
    static constexpr qint64 budgetMs = 15; // of adding rows, per event
};

#endif // THUMBNAILLIST_H
