#include "base/orientation.h"

#include "testsupport.h"

#include <QImageReader>

// Turning pictures upright as their EXIF orientation says.
class tst_Orientation : public QObject
{
    Q_OBJECT

private slots:
    void likeReader_data();
    void likeReader();

private:
    QTemporaryDir tmp;
};

void tst_Orientation::likeReader_data()
{
    QTest::addColumn<int>("orientation");
    for (int orientation = 1; orientation <= 8; ++orientation)
        QTest::addRow("%d", orientation) << orientation;
}

// Tags read and images decoded some other way turn as Qt's readers turn
// theirs.
void tst_Orientation::likeReader()
{
    QFETCH(int, orientation);
    const QString path = TestSupport::writeRotatedJpeg(
            tmp.filePath(QStringLiteral("o%1.jpg").arg(orientation)), QSize(60, 30),
            quint16(orientation));
    QImageReader raw(path);
    raw.setAutoTransform(false);
    const QImage stored = raw.read();
    QImageReader turned(path);
    turned.setAutoTransform(true);
    const QImageIOHandler::Transformations turn = turned.transformation();
    QCOMPARE(Orientation::fromExifTag(orientation), turn);
    const QImage upright = turned.read();
    QCOMPARE(Orientation::shown(stored.size(), turn), upright.size());
    QCOMPARE(Orientation::stored(upright.size(), turn), stored.size());
    QCOMPARE(Orientation::applied(stored, turn), upright);
}

QTEST_MAIN(tst_Orientation)
#include "tst_orientation.moc"
