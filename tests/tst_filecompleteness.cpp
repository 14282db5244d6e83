#include "decode/filecompleteness.h"

#include <QBuffer>
#include <QImage>
#include <QImageWriter>
#include <QTest>

// Files that stop before their end but still decode: said so by a warning,
// so that a progressive picture missing its last scans is not written as
// if whole.
class tst_FileCompleteness : public QObject
{
    Q_OBJECT

private slots:
    void jpegEnd_data();
    void jpegEnd();
};

namespace {

QByteArray jpeg(bool progressive)
{
    QImage picture(96, 64, QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            picture.setPixel(x, y, qRgb(x * 2, y * 3, (x * y) % 256));
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setProgressiveScanWrite(progressive);
    writer.write(picture);
    return buffer.data();
}

// The file with an APP1 segment right after its start, whose contents
// hold end markers of their own (as an EXIF preview does).
QByteArray withPreviewSegment(const QByteArray &file)
{
    const QByteArray body = QByteArray("Exif\0\0", 6) + QByteArray("\xff\xd8\xff\xd9", 4);
    QByteArray segment("\xff\xe1", 2);
    segment += char((body.size() + 2) >> 8);
    segment += char((body.size() + 2) & 0xff);
    return file.left(2) + segment + body + file.mid(2);
}

QString warningOf(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return FileCompleteness::warning(&buffer, "jpeg");
}

} // namespace

void tst_FileCompleteness::jpegEnd_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("warned");

    const QByteArray progressive = jpeg(true);
    const QByteArray baseline = jpeg(false);
    QVERIFY(progressive.endsWith("\xff\xd9") && baseline.endsWith("\xff\xd9"));
    QTest::newRow("progressive, whole") << progressive << false;
    QTest::newRow("baseline, whole") << baseline << false;
    // Other data after the picture (a phone's trailer): still whole.
    QTest::newRow("baseline, trailer after the end")
            << baseline + QByteArray(300, '\x42') << false;
    // All its data there: decoders are expected to forgive the marker.
    QTest::newRow("baseline, end marker missing") << baseline.chopped(2) << false;
    QTest::newRow("progressive, end marker missing") << progressive.chopped(2) << true;
    QTest::newRow("progressive, cut at two thirds")
            << progressive.left(progressive.size() * 2 / 3) << true;
    // An end marker inside a segment before the picture is not the
    // picture's.
    QTest::newRow("preview's end marker only")
            << withPreviewSegment(progressive).chopped(2) << true;
}

void tst_FileCompleteness::jpegEnd()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, warned);
    const QString warning = warningOf(file);
    if (warned)
        QCOMPARE(warning, QStringLiteral("the file ends early: part of the picture may be missing"));
    else
        QVERIFY2(warning.isEmpty(), qPrintable(warning));
}

QTEST_MAIN(tst_FileCompleteness)
#include "tst_filecompleteness.moc"
