#include "ui/thumbnaildelegate.h"
#include "ui/thumbnaillist.h"
#include "thumbnail/thumbnailloader.h"

#include "testsupport.h"

#include <QListWidget>
#include <QScrollBar>

using namespace TestSupport;

// The rows of a thumbnail list: added in slices, and holding their
// pictures only near the view.
class tst_ThumbnailList : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void manyRowsComeInSlices_data();
    void manyRowsComeInSlices();
    void onlyRowsNearViewHoldPictures_data();
    void onlyRowsNearViewHoldPictures();
    void keptRowsWithinBytes_data();
    void keptRowsWithinBytes();
    void manyRowsGoInSlices_data();
    void manyRowsGoInSlices();

private:
    // Names of files that are not there: their thumbnails fail at once.
    QStringList missingFiles(const QString &folder, int count) const
    {
        QStringList paths;
        for (int i = 0; i < count; ++i)
            paths << tmp.filePath(QStringLiteral("%1/%2.jpg").arg(folder).arg(i));
        return paths;
    }

    QTemporaryDir tmp;
    QStringList photos; // a few hundred small ones
};

void tst_ThumbnailList::initTestCase()
{
    QVERIFY(tmp.isValid());
    for (int i = 0; i < 300; ++i)
        photos << writeImage(tmp.filePath(QStringLiteral("small/%1.png").arg(i, 3, 10, QLatin1Char('0'))),
                             QSize(16, 12));
    QVERIFY(!photos.last().isEmpty());
}

void tst_ThumbnailList::manyRowsComeInSlices_data()
{
    QTest::addColumn<QString>("midway"); // what happens while rows are still to come
    QTest::newRow("nothing") << QString();
    QTest::newRow("every other row removed") << "remove";
    QTest::newRow("list cleared") << "clear";
}

void tst_ThumbnailList::manyRowsComeInSlices()
{
    QFETCH(QString, midway);
    // Missing files: their thumbnails fail at once, and the rows are what
    // is looked at.
    const int count = 20000;
    const QStringList paths = missingFiles(QStringLiteral("slices"), count);
    QListWidget list;
    list.setIconSize(QSize(64, 64));
    ThumbnailLoader loader;
    ThumbnailList rows(&list, &loader);
    int loaded = 0;
    rows.addRows(paths, [&loaded]() { ++loaded; });
    // Some now, the others in the events after.
    QVERIFY(list.count() > 0 && list.count() < count);
    QStringList expected = paths;
    if (midway == QLatin1String("remove")) {
        QList<int> removed;
        for (int row = 0; row < list.count(); row += 2)
            removed << row;
        for (qsizetype i = removed.size() - 1; i >= 0; --i)
            expected.removeAt(removed.at(i));
        rows.removeRows(removed);
    } else if (midway == QLatin1String("clear")) {
        list.clear();
        for (int i = 0; i < 20; ++i) // the slices come on zero-time timers
            QCoreApplication::processEvents();
        QCOMPARE(list.count(), 0);
        return;
    }
    QTRY_COMPARE(list.count(), int(expected.size()));
    for (int row : {0, 1, int(expected.size()) / 2, int(expected.size()) - 1})
        QCOMPARE(list.item(row)->text(), QFileInfo(expected.at(row)).fileName());
    QTRY_COMPARE_WITH_TIMEOUT(loaded, count, 120000);
}

namespace {

// Whether every row the list keeps pictures for has one, and no other row.
bool onlyKeptHavePictures(QListWidget *list, const ThumbnailList &rows)
{
    const QPair<int, int> kept = rows.keptRows();
    for (int row = 0; row < list->count(); ++row) {
        const bool near = row >= kept.first && row <= kept.second;
        if (list->item(row)->icon().isNull() == near)
            return false;
    }
    return kept.second >= kept.first;
}

} // namespace

void tst_ThumbnailList::onlyRowsNearViewHoldPictures_data()
{
    QTest::addColumn<QString>("move"); // how the view comes to other rows
    QTest::newRow("scrolled to the end") << "scroll";
    QTest::newRow("every other row removed") << "remove";
    QTest::newRow("list made taller") << "resize";
}

// A few screenfuls around the view keep their pictures; the rest show the
// empty box, and have theirs read again when they come back into view.
void tst_ThumbnailList::onlyRowsNearViewHoldPictures()
{
    QFETCH(QString, move);
    QListWidget list;
    list.setIconSize(QSize(32, 32));
    list.resize(200, 150);
    ThumbnailLoader loader;
    ThumbnailList rows(&list, &loader);
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    int loaded = 0;
    rows.addRows(photos, [&loaded]() { ++loaded; });
    QTRY_COMPARE(loaded, int(photos.size()));
    QScrollBar *bar = list.verticalScrollBar();
    QTRY_VERIFY(bar->maximum() > 0);
    // The list is many times the rows kept.
    QVERIFY2(rows.keptRows().second < list.count() / 4,
             qPrintable(QString::number(rows.keptRows().second)));
    QTRY_VERIFY(onlyKeptHavePictures(&list, rows));
    // A row far off has had no picture made: the size its photo shows at
    // is not known yet.
    const QModelIndex last = list.model()->index(list.count() - 1, 0);
    QVERIFY(!last.data(ThumbnailDelegate::ShownRole).isValid());

    if (move == QLatin1String("scroll")) {
        bar->setValue(bar->maximum());
        QTRY_VERIFY(onlyKeptHavePictures(&list, rows));
        QVERIFY(list.item(0)->icon().isNull());
        // Once made, it is known, also far off.
        bar->setValue(0);
        QTRY_VERIFY(onlyKeptHavePictures(&list, rows));
        QCOMPARE(last.data(ThumbnailDelegate::ShownRole).toSize(), QSize(16, 12));
    } else if (move == QLatin1String("remove")) {
        QList<int> removed;
        for (int row = 0; row < list.count(); row += 2)
            removed << row;
        rows.removeRows(removed);
        QCOMPARE(list.count(), int(photos.size()) / 2);
        QTRY_VERIFY(onlyKeptHavePictures(&list, rows));
        QCOMPARE(list.item(0)->text(), QFileInfo(photos.at(1)).fileName());
    } else {
        const int before = rows.keptRows().second;
        list.resize(200, 300);
        QTRY_VERIFY(rows.keptRows().second > before);
        QTRY_VERIFY(onlyKeptHavePictures(&list, rows));
    }
    bar->setValue(0);
    QTRY_VERIFY(onlyKeptHavePictures(&list, rows));
    QVERIFY(!list.item(0)->icon().isNull());
}

void tst_ThumbnailList::keptRowsWithinBytes_data()
{
    QTest::addColumn<int>("side");   // of the icon box
    QTest::addColumn<int>("height"); // of the list
    QTest::addColumn<bool>("bounded"); // whether the bound takes rows off
    QTest::newRow("small box, short list") << 32 << 150 << false;
    QTest::newRow("large box, tall list") << 512 << 6000 << true;
}

// However many rows a screen holds, those kept around it stay within the
// bound; those on screen keep theirs whatever it says.
void tst_ThumbnailList::keptRowsWithinBytes()
{
    QFETCH(int, side);
    QFETCH(int, height);
    QFETCH(bool, bounded);
    QListWidget list;
    list.setIconSize(QSize(side, side));
    list.resize(300, height);
    ThumbnailLoader loader;
    ThumbnailList rows(&list, &loader);
    QStringList names;
    for (int i = 0; i < 5000; ++i)
        names << QStringLiteral("missing-%1.jpg").arg(i);
    list.addItems(names);
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    QScrollBar *bar = list.verticalScrollBar();
    QTRY_VERIFY(bar->maximum() > 0);
    bar->setValue(bar->maximum() / 2);
    const QPair<int, int> shown = rows.rowsInView(1);
    const QPair<int, int> kept = rows.keptRows();
    QVERIFY(kept.first <= shown.first && kept.second >= shown.second);
    const qint64 perRow = qint64(rows.pixelSide()) * rows.pixelSide() * 4;
    const qint64 keptCount = kept.second - kept.first + 1;
    const qint64 shownCount = shown.second - shown.first + 1;
    QVERIFY2(keptCount * perRow <= ThumbnailList::keptBytes || keptCount == shownCount,
             qPrintable(QStringLiteral("%1 rows kept").arg(keptCount)));
    // Never more than the screenfuls either side.
    const qint64 screenfuls = shownCount * (1 + 2 * ThumbnailList::screensAround);
    QCOMPARE(keptCount < screenfuls, bounded);
    QVERIFY(keptCount <= screenfuls);
}

void tst_ThumbnailList::manyRowsGoInSlices_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("cleared") << "clear";
    QTest::newRow("every other row removed") << "remove";
}

// Rows leave a long list over several events, from the end, and rows added
// meanwhile come in after they have gone.
void tst_ThumbnailList::manyRowsGoInSlices()
{
    QFETCH(QString, how);
    const int count = 3 * ThumbnailList::removedPerEvent;
    const QStringList paths = missingFiles(QStringLiteral("going"), count);
    QListWidget list;
    list.setIconSize(QSize(32, 32));
    ThumbnailLoader loader;
    ThumbnailList rows(&list, &loader);
    rows.addRows(paths);
    QTRY_COMPARE(list.count(), count);
    list.selectionModel()->select(list.model()->index(1, 0), QItemSelectionModel::Select);

    QStringList expected;
    if (how == QLatin1String("clear")) {
        rows.clear();
    } else {
        QList<int> removed;
        for (int row = 0; row < count; row += 2)
            removed << row;
        rows.removeRows(removed);
        for (int row = 1; row < count; row += 2)
            expected << QFileInfo(paths.at(row)).fileName();
    }
    // Not all in this call: the rows left below are on their way out.
    QCOMPARE(rows.rowCount(), int(expected.size()));
    QVERIFY(list.count() > rows.rowCount());
    QVERIFY(list.selectionModel()->selectedIndexes().isEmpty());
    if (!expected.isEmpty()) {
        QCOMPARE(list.item(0)->text(), expected.first());
        QCOMPARE(list.item(rows.rowCount() - 1)->text(), expected.last());
    }
    const QString added = tmp.filePath(QStringLiteral("going/added.png"));
    const QString made = tmp.filePath(QStringLiteral("going/made.png"));
    rows.addRows({added});
    rows.addRow(made, QImage());
    expected << QStringLiteral("added.png") << QStringLiteral("made.png");
    QTRY_COMPARE(list.count(), int(expected.size()));
    QCOMPARE(rows.rowCount(), list.count());
    QStringList texts;
    for (int row = 0; row < list.count(); ++row)
        texts << list.item(row)->text();
    QCOMPARE(texts, expected);
}

QTEST_MAIN(tst_ThumbnailList)
#include "tst_thumbnaillist.moc"
